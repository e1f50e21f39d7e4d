#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#include "cli/command_line.h"
#include "platform/clock.h"
#include "platform/serial_device.h"

namespace flashpost::cli {

struct UpdateOptions {
  std::string port;
  std::string baud = "115200";  // the module's NMEA speed now
  bool json = false;
  std::string record;  // the record file; empty: none
  bool verify = false;
  uint32_t verify_timeout_s = 10;
};

const CommandGrammar& UpdateCommand();
// The options of a parsed command line; false with the reason for a combination that makes no
// sense or a missing option.
bool UpdateOptionsFrom(const ParsedOptions& parsed, UpdateOptions& options, std::string& error);

// Runs the automatic page's update as an operator would: port and baud chosen, OK clicked, the
// window's loop run until OK is given back or the run is given up. Prints every status the page
// writes and the progress, then the run's result (and keeps it in the record file). Returns an
// ExitStatus: passed only on a green "(OK)" text (and, with verify, a module that then reports
// its version).
int RunUpdate(const UpdateOptions& options, platform::Clock& clock, platform::SerialSystem& serial,
              std::FILE* out, std::FILE* err);

}  // namespace flashpost::cli
