#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_device.h"

namespace flashpost::cli {

struct UpdateOptions {
  std::string port;
  std::string baud = "115200";
  bool json = false;
};

// Parses the arguments after "update"; false with a message in error on bad usage.
bool ParseUpdateOptions(const std::vector<std::string>& args, UpdateOptions& options,
                        std::string& error);

// Runs the automatic page's update as an operator would: port and baud chosen, OK clicked, the
// window's loop run until OK is given back or the run is given up. Prints every new status line
// and the progress. Returns 0 when the final status is a green "(OK)" text, 1 otherwise.
int RunUpdate(const UpdateOptions& options, platform::Clock& clock, platform::SerialSystem& serial,
              std::FILE* out);

}  // namespace flashpost::cli
