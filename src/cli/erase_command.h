#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "cli/command_line.h"
#include "platform/clock.h"
#include "platform/serial_device.h"

namespace flashpost::cli {

struct EraseOptions {
  std::string port;
  uint32_t timeout_s = 120;  // the eraser itself waits for a module without end
  bool json = false;
  std::string record;
};

const CommandGrammar& EraseCommand();
bool EraseOptionsFrom(const ParsedOptions& parsed, EraseOptions& options, std::string& error);

// The boot code's questions among the lines the eraser showed after choosing the erase item, for
// the operator: the eraser answers 'y' once for every 'E' the module printed, and each question
// holds one.
std::vector<std::string> QuestionsAnswered(const std::vector<std::string>& memo_lines);

// Runs the terminal page's flash eraser as an operator would: the port chosen, Start pressed,
// then its progress caption and what the module printed shown as they change until it has
// finished, or until the time limit (then Stop is pressed). Returns 0 only when the eraser
// finished after confirming at least one erase question (a module that asked none was not
// erased), 1 otherwise, 2 when the port is not among the ports found, 3 when it does not open.
int RunErase(const EraseOptions& options, platform::Clock& clock, platform::SerialSystem& serial,
             std::FILE* out, std::FILE* err);

}  // namespace flashpost::cli
