#pragma once

#include <chrono>
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

  // For a device that keeps its own time (the simulated module), which must neither stall nor
  // merge replies the way the test helpers above do.
  // Far end: hands over what the program side's queue takes now and drops the rest, as a real
  // line does when nobody reads it; returns the number of bytes taken.
  size_t SendNow(const uint8_t* data, size_t n);
  // Far end: waits at most `wait` for the first byte, then returns what has arrived by then,
  // with no quiet period.
  std::vector<uint8_t> ReceiveNow(std::chrono::nanoseconds wait, size_t max = 65536);

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
