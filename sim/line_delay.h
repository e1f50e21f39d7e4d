#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

#include "sim/device.h"

namespace flashpost::sim {

// One direction of a serial line at its real rate: a byte takes ten bit times (start bit, eight
// data bits, stop bit) at the speed it was sent at, and starts only once the byte before it is
// through. Bytes go in when they are written and come out when their stop bit has crossed.
class LineDelay {
 public:
  struct Piece {
    LineState line;  // how the bytes were sent
    uint64_t write;  // which Push they came from, counted from 1
    uint32_t tick;   // when the last of them was through
    std::vector<uint8_t> bytes;
  };

  // Bytes written at `tick` on a line in state `line`. At speed 0 (a line never set up) they
  // take no time.
  void Push(uint32_t tick, const LineState& line, const uint8_t* data, size_t n);
  // The bytes through by `tick`, in order, one piece per write they came from.
  std::vector<Piece> Take(uint32_t tick);
  // Milliseconds from `tick` until the next byte is through (0 when one is);
  // Device::kMaxIdleMs when none is on the way.
  uint32_t NextIn(uint32_t tick) const;
  bool Empty() const { return writes_.empty(); }
  // Bytes not yet through.
  size_t Queued() const { return queued_; }

 private:
  struct Write {
    uint64_t start_ns;  // since origin_
    LineState line;
    uint64_t id;
    std::vector<uint8_t> bytes;
    size_t taken = 0;
  };

  uint64_t SinceOrigin(uint32_t tick) const;
  static uint64_t Duration(uint32_t baud, size_t bytes);  // ns
  static size_t Through(const Write& w, uint64_t now_ns);

  std::deque<Write> writes_;
  uint32_t origin_ = 0;  // the tick times count from while bytes are on the way
  uint64_t writes_made_ = 0;
  size_t queued_ = 0;
};

}  // namespace flashpost::sim
