#include "platform/clock.h"

#include <thread>

namespace flashpost::platform {

using std::chrono::nanoseconds;
using std::chrono::steady_clock;

ScaledClock::ScaledClock(double speed_up, uint32_t start_tick)
    : speed_up_(speed_up > 0 ? speed_up : 1.0),
      start_tick_(start_tick),
      origin_(steady_clock::now()) {}

uint32_t ScaledClock::Ticks() const {
  double real_ms = std::chrono::duration<double, std::milli>(steady_clock::now() - origin_).count();
  auto scaled = static_cast<uint64_t>(real_ms * speed_up_);
  return start_tick_ + static_cast<uint32_t>(scaled);
}

void ScaledClock::Sleep(uint32_t ms) { std::this_thread::sleep_for(RealDuration(ms)); }

nanoseconds ScaledClock::RealDuration(uint32_t ms) const {
  return nanoseconds(static_cast<int64_t>(ms * 1e6 / speed_up_));
}

}  // namespace flashpost::platform
