#include <windows.h>

#include "platform/clock.h"

namespace flashpost::platform {

// GetTickCount is the 32-bit millisecond tick the program's waits are counted in; it wraps
// after 49.7 days, which the unsigned arithmetic of Elapsed takes in its stride.
SystemClock::SystemClock() = default;

uint32_t SystemClock::Ticks() const { return static_cast<uint32_t>(GetTickCount()); }

void SystemClock::Sleep(uint32_t ms) { ::Sleep(ms); }

std::chrono::nanoseconds SystemClock::RealDuration(uint32_t ms) const {
  return std::chrono::milliseconds(ms);
}

}  // namespace flashpost::platform
