#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/serial_device.h"

namespace flashpost::platform {

// A pseudo-terminal pair standing in for a serial line: the program opens SlavePath() as its
// port; the test or simulator plays the far end on the master side. The slave is also held open
// here, so the line settings the program chose can be read back and the master never sees the
// line hang up when the program closes its port.
class PseudoTerminal {
 public:
  PseudoTerminal();
  ~PseudoTerminal();
  PseudoTerminal(const PseudoTerminal&) = delete;
  PseudoTerminal& operator=(const PseudoTerminal&) = delete;

  bool ok() const { return master_ >= 0; }
  const std::string& SlavePath() const { return slave_path_; }

  // Far end: bytes the program will receive.
  bool Send(const std::vector<uint8_t>& bytes);
  bool Send(const std::string& text);
  // Far end: bytes the program sent, waiting at most timeout_ms real milliseconds for the first.
  std::vector<uint8_t> Receive(int timeout_ms, size_t max = 65536);

  // Settings of the program's side of the line as it set them.
  LineSettings ProgramSideSettings() const;
  // True when the program's side is in raw mode: no echo, no line editing, no translation.
  bool IsRaw() const;

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string slave_path_;
};

}  // namespace flashpost::platform
