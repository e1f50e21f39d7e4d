#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace flashpost::sim {

// The line as the program set up its side of it.
struct LineState {
  uint32_t baud = 0;
  bool eight_n_one = false;  // 8 data bits, no parity, 1 stop bit
};

// The far end of one serial line as a state machine with no I/O of its own: bytes and the time go
// in, bytes to transmit come out. The pty pump (PtyPump) drives it; tests can drive it directly
// with ticks of their choosing. A device is used from one thread at a time.
class Device {
 public:
  virtual ~Device() = default;

  // The speed the device's UART runs at now.
  virtual uint32_t Baud() const = 0;

  // Whether bytes sent over a line in state `line` make sense to the device: bytes sent at a
  // speed or framing it does not listen at reach its UART as garbage. A device listens at its
  // own speed, and may listen at others as well.
  virtual bool Understands(const LineState& line) const {
    return line.eight_n_one && line.baud == Baud();
  }

  // Bytes the program sent, arriving at `tick` over a line in state `line`.
  virtual void Receive(uint32_t tick, const LineState& line, const uint8_t* data, size_t n) = 0;

  // The time has come to `tick`: returns what the device transmits now. A device whose speed the
  // program does not share still goes through its output, but the bytes are not returned: at the
  // program's speed they would only be garbage.
  virtual std::vector<uint8_t> Transmit(uint32_t tick, const LineState& line) = 0;

  // Milliseconds from `tick` until the device next has something to transmit (it may be asked
  // earlier; it answers at most kMaxIdleMs).
  virtual uint32_t IdleFor(uint32_t tick) const = 0;

  static constexpr uint32_t kMaxIdleMs = 1000;
};

// True once `now` has reached `due`, for ticks that wrap at 2^32 and lie within 2^31 ms.
inline bool Reached(uint32_t now, uint32_t due) { return static_cast<int32_t>(now - due) >= 0; }

}  // namespace flashpost::sim
