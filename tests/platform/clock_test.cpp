#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>

namespace flashpost::platform {
namespace {

double RealMsOf(Clock& clock, uint32_t ms) {
  const auto start = std::chrono::steady_clock::now();
  clock.Sleep(ms);
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

TEST(ClockTest, EachClockSleepsAtItsOwnPaceAndCountsAcrossTheTickWrap) {
  // 0xFFFFFF00 to 0x100 is 256 ticks before the wrap plus 256 after.
  EXPECT_TRUE(Elapsed(0x100, 0xFFFFFF00u, 512));
  EXPECT_FALSE(Elapsed(0x100, 0xFFFFFF00u, 513));
  EXPECT_FALSE(Elapsed(0xFFFFFFFFu, 0xFFFFFF00u, 512));
  SystemClock system;
  uint32_t start = system.Ticks();
  EXPECT_GE(RealMsOf(system, 100), 90.0);
  // The Windows tick counter moves in steps of about 15.6 ms, so a reading may lag by one step.
  EXPECT_GE(system.Ticks() - start, 100u - 16u);
  EXPECT_LT(system.Ticks() - start, 1000u);

  ScaledClock scaled(20, 0xFFFFFFF0u);
  start = scaled.Ticks();
  EXPECT_LT(static_cast<uint32_t>(start - 0xFFFFFFF0u), 1000u) << "it starts at the chosen tick";
  const double real_ms = RealMsOf(scaled, 100);
  EXPECT_GE(real_ms, 4.5);
  EXPECT_LT(real_ms, 60.0) << "a sleep at the real pace would take 100 ms";
  EXPECT_GE(scaled.Ticks() - start, 100u);
  EXPECT_LT(scaled.Ticks() - start, 2000u);
}

}  // namespace
}  // namespace flashpost::platform
