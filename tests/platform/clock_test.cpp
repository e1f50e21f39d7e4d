#include "platform/clock.h"

#include <gtest/gtest.h>

#include <chrono>

namespace flashpost::platform {
namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::steady_clock;

TEST(ElapsedTest, CountsAcrossTheTickWrap) {
  // 0xFFFFFF00 to 0x100 is 256 ticks before the wrap plus 256 after.
  EXPECT_TRUE(Elapsed(0x100, 0xFFFFFF00u, 512));
  EXPECT_FALSE(Elapsed(0x100, 0xFFFFFF00u, 513));
  EXPECT_FALSE(Elapsed(0xFFFFFFFFu, 0xFFFFFF00u, 512));
  EXPECT_TRUE(Elapsed(7, 7, 0));
}

TEST(ScaledClockTest, StartsAtTheChosenTickAndWrapsFromThere) {
  ScaledClock clock(20, 0xFFFFFFF0u);
  uint32_t start = clock.Ticks();
  EXPECT_LT(static_cast<uint32_t>(start - 0xFFFFFFF0u), 1000u);

  auto real_start = steady_clock::now();
  clock.Sleep(100);
  auto real_ms = duration_cast<microseconds>(steady_clock::now() - real_start).count() / 1000.0;
  uint32_t advanced = clock.Ticks() - start;

  EXPECT_GE(real_ms, 4.5);
  EXPECT_LT(real_ms, 60.0);  // a sleep at the real pace would take 100 ms
  EXPECT_GE(advanced, 100u);
  EXPECT_LT(advanced, 2000u);
  EXPECT_LT(clock.Ticks(), 0xFFFFFFF0u) << "the clock should have wrapped past zero";
}

TEST(SystemClockTest, TicksFollowRealSleeps) {
  SystemClock clock;
  uint32_t start = clock.Ticks();
  clock.Sleep(100);
  uint32_t advanced = clock.Ticks() - start;
  // The Windows tick counter moves in steps of about 15.6 ms, so a reading may lag by one step.
  EXPECT_GE(advanced, 100u - 16u);
  EXPECT_LT(advanced, 1000u);
}

TEST(ManualClockTest, MovesOnlyWhenToldAndSleepReturnsAtOnce) {
  ManualClock clock(0xFFFFFFFEu);
  EXPECT_EQ(clock.Ticks(), 0xFFFFFFFEu);
  EXPECT_EQ(clock.Ticks(), 0xFFFFFFFEu);

  auto real_start = steady_clock::now();
  clock.Sleep(60000);
  EXPECT_LT(steady_clock::now() - real_start, std::chrono::milliseconds(50));
  EXPECT_EQ(clock.Ticks(), static_cast<uint32_t>(0xFFFFFFFEu + 60000u));

  clock.Advance(2);
  EXPECT_TRUE(Elapsed(clock.Ticks(), 0xFFFFFFFEu, 60002));
  EXPECT_FALSE(Elapsed(clock.Ticks(), 0xFFFFFFFEu, 60003));
}

}  // namespace
}  // namespace flashpost::platform
