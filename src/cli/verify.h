#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "app/run_record.h"
#include "board/port_board.h"
#include "ui/headless_loop.h"

namespace flashpost::cli {

// A module that passed its update, to be checked for its new firmware: the slot, the port and the
// speed its firmware talks at.
struct VerifyTarget {
  int slot;
  std::string port;
  std::string baud;
  app::RunRecord* record;
};

// Checks every target's module at once, each on a thread of its own, serving the loop until all
// are done: the version the module reports goes into its record, and a module that does not
// answer within limit_ms fails its record with a text that says what was missing.
void VerifyBoots(ui::HeadlessLoop& loop, app::PortBoard& board,
                 const std::vector<VerifyTarget>& targets, uint32_t limit_ms);

}  // namespace flashpost::cli
