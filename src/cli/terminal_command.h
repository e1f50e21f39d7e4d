#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "cli/command_line.h"
#include "platform/clock.h"
#include "platform/serial_device.h"

namespace flashpost::cli {

struct TerminalOptions {
  std::string port;
  std::string baud = "115200";
  bool vbi = false;
  bool switch_protocol = false;
  std::optional<uint32_t> seconds;  // without it: until interrupted
};

const CommandGrammar& TerminalCommand();
bool TerminalOptionsFrom(const ParsedOptions& parsed, TerminalOptions& options, std::string& error);

// Works the terminal page as an engineer does (port, baud and protocol chosen, Open pressed,
// Switch Protocol pressed when asked) and prints every line the page adds to its terminal memo
// until the given seconds of clock time have passed. Returns kAllPassed after a run,
// kStationFailed when the port does not open (with the port layer's message on err).
int RunTerminal(const TerminalOptions& options, platform::Clock& clock,
                platform::SerialSystem& serial, std::FILE* out, std::FILE* err);

}  // namespace flashpost::cli
