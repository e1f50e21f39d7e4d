#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace flashpost::platform {

// The longest a close waits for the bytes still queued for a port to leave it: twice their time
// on the line (ten bits a byte: start, eight data, stop), since drivers hand bytes over in bursts,
// plus a little for the scheduler, and never more than two seconds. A line that has not emptied
// by then is held up (a handshake, an adapter gone) and will not empty. Without a known speed
// the whole two seconds.
inline std::chrono::milliseconds DrainTimeLimit(size_t queued_bytes, uint32_t baud) {
  constexpr std::chrono::milliseconds kLongest{2000};
  constexpr std::chrono::milliseconds kScheduling{20};
  if (baud == 0) return kLongest;
  const uint64_t bytes = std::min<uint64_t>(queued_bytes, UINT32_MAX);
  const uint64_t line_ms = (2 * bytes * 10 * 1000 + baud - 1) / baud;
  return std::min(kLongest, kScheduling + std::chrono::milliseconds(line_ms));
}

}  // namespace flashpost::platform
