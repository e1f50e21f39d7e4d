#include <chrono>
#include <thread>

#include "platform/clock.h"

namespace flashpost::platform {

using std::chrono::duration_cast;
using std::chrono::milliseconds;
using std::chrono::steady_clock;

// POSIX has no 32-bit tick of its own: the monotonic clock counts from the clock's creation.
SystemClock::SystemClock() : origin_(steady_clock::now()) {}

uint32_t SystemClock::Ticks() const {
  auto ms = duration_cast<milliseconds>(steady_clock::now() - origin_).count();
  return static_cast<uint32_t>(ms);
}

void SystemClock::Sleep(uint32_t ms) { std::this_thread::sleep_for(milliseconds(ms)); }

std::chrono::nanoseconds SystemClock::RealDuration(uint32_t ms) const { return milliseconds(ms); }

}  // namespace flashpost::platform
