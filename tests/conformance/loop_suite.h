// One suite for every main loop: headless, Qt and Win32 each instantiate it with their loop type.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "ui/thread.h"
#include "ui/timer.h"

namespace flashpost::conformance {

class FunctionThread : public ui::Thread {
 public:
  FunctionThread(ui::MainLoop& loop, std::function<void(FunctionThread&)> body)
      : ui::Thread(loop), body_(std::move(body)) {}
  using ui::Thread::Synchronize;

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(FunctionThread&)> body_;
};

inline void RealPause() { std::this_thread::sleep_for(std::chrono::milliseconds(20)); }

template <class Loop>
class LoopSuite : public ::testing::Test {
 protected:
  platform::ScaledClock clock_{20.0};
  Loop loop_{clock_};
};
TYPED_TEST_SUITE_P(LoopSuite);

TYPED_TEST_P(LoopSuite, PostsAndInvokesRunInOrderOnTheMainThread) {
  auto& loop = this->loop_;
  std::vector<int> order;
  loop.Post([&] { order.push_back(1); });
  loop.Post([&] {
    order.push_back(2);
    loop.Post([&] { order.push_back(3); });
  });
  EXPECT_TRUE(order.empty());
  loop.ProcessPending();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(loop.Invoke([&] { order.push_back(4); })) << "on the main thread: at once";
  EXPECT_EQ(order.size(), 4u);

  // From a worker too, in order, while a timer ticks and the main thread only waits.
  const int id = loop.StartTimer(100, [] {});
  std::vector<int> from_worker;
  auto worker = ui::StartThread<FunctionThread>(loop, [&](FunctionThread& self) {
    for (int i = 0; i < 200; ++i) {
      auto task = [&, i] { from_worker.push_back(loop.IsMainThread() ? i : -1); };
      if (i % 4 != 3)
        loop.Post(task);
      else
        self.Synchronize(task);  // what it returns is the manual clock test's
    }
  });
  while (!worker->Finished()) loop.ProcessFor(200);
  worker->WaitFor();
  loop.StopTimer(id);
  std::vector<int> expected(200);
  for (int i = 0; i < 200; ++i) expected[i] = i;
  EXPECT_EQ(from_worker, expected);
}

TYPED_TEST_P(LoopSuite, TimersTickByTheClockAndMayStopOrRestartThemselves) {
  auto& loop = this->loop_;
  ui::Timer timer("Timer1", nullptr, loop);
  int ticks = 0;
  uint32_t third_tick_at = 0;
  const uint32_t start = this->clock_.Ticks();
  timer.SetInterval(500);
  timer.OnTimer = [&] {
    EXPECT_TRUE(loop.IsMainThread());
    if (++ticks == 3) {
      third_tick_at = this->clock_.Ticks() - start;
      timer.SetTimerEnabled(false);
    }
  };
  timer.SetTimerEnabled(true);
  EXPECT_TRUE(loop.RunUntil([&] { return ticks == 3; }, 60'000));
  loop.ProcessFor(2'000);
  EXPECT_EQ(ticks, 3) << "a timer that stopped itself stays stopped";
  // One interval before the first tick; intervals taken as real milliseconds end past 20000.
  EXPECT_GE(third_tick_at, 1'500u);
  EXPECT_LT(third_tick_at, 20'000u);

  // A new interval from inside the tick restarts the timer; a tick may end its own timer.
  ticks = 0;
  timer.OnTimer = [&] { timer.SetInterval(++ticks % 2 == 0 ? 400 : 600); };
  timer.SetTimerEnabled(true);
  EXPECT_TRUE(loop.RunUntil([&] { return ticks >= 4; }, 60'000));
  timer.SetTimerEnabled(false);
  const uint32_t before = this->clock_.Ticks();
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 2'000));
  EXPECT_GE(this->clock_.Ticks() - before, 2'000u);
  int id = 0, once = 0;
  auto held = std::make_shared<int>(7);
  id = loop.StartTimer(100, [&, held] {
    ++once;
    loop.StopTimer(id);
  });
  held.reset();
  loop.ProcessFor(1'000);
  EXPECT_EQ(once, 1);
}

TYPED_TEST_P(LoopSuite, ATickIsNotReenteredWhileItServesTheLoop) {
  auto& loop = this->loop_;
  int depth = 0, deepest = 0, ticks = 0, other_ticks = 0;
  int id = loop.StartTimer(100, [&] {
    ++ticks;
    deepest = std::max(deepest, ++depth);
    loop.ProcessFor(4'000);  // many of its own intervals, as FormClose's wait would be
    --depth;
  });
  int other = loop.StartTimer(100, [&] { ++other_ticks; });
  EXPECT_TRUE(loop.RunUntil([&] { return ticks >= 2; }, 60'000));
  loop.StopTimer(id);
  loop.StopTimer(other);
  EXPECT_EQ(deepest, 1);
  EXPECT_GE(other_ticks, 5) << "other timers keep ticking during the nested wait";
}

TYPED_TEST_P(LoopSuite, ProcessForMovesAManualClockOnThroughItsSilentWaits) {
  platform::ManualClock clock(0xFFFFFF00u);  // across the 32-bit wrap
  TypeParam loop(clock);
  int posted = 0;
  loop.Post([&] { ++posted; });
  loop.ProcessFor(60'000);
  EXPECT_GE(clock.Ticks() - 0xFFFFFF00u, 60'000u);
  EXPECT_EQ(posted, 1);
  std::atomic<bool> ran{false};
  auto worker = ui::StartThread<FunctionThread>(
      loop, [&](FunctionThread& self) { ran = self.Synchronize([] {}); });
  while (!worker->Finished()) loop.ProcessFor(5'000);
  worker->WaitFor();
  EXPECT_TRUE(ran);
}

TYPED_TEST_P(LoopSuite, ShutdownReleasesAWorkerWaitingInInvokeAndStopsEverything) {
  auto& loop = this->loop_;
  std::atomic<int> result{-1};
  std::atomic<bool> calling{false};
  int ticks = 0, posted = 0;
  loop.StartTimer(10, [&] { ++ticks; });
  auto worker = ui::StartThread<FunctionThread>(loop, [&](FunctionThread& self) {
    calling = true;
    result = self.Synchronize([] {}) ? 1 : 0;
  });
  while (!calling) RealPause();  // nobody serves the loop: the worker sits in Invoke
  RealPause();
  EXPECT_FALSE(worker->Finished());
  loop.Post([&] { ++posted; });
  loop.Shutdown();
  worker->WaitFor();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(loop.Invoke([] {})) << "after shutdown nothing runs, not even inline";
  loop.Post([&] { ++posted; });
  const uint32_t before = this->clock_.Ticks();
  loop.ProcessFor(60'000);
  EXPECT_LT(this->clock_.Ticks() - before, 10'000u) << "a shut loop is not served";
  loop.ProcessPending();
  EXPECT_EQ(posted, 0);
  EXPECT_EQ(ticks, 0);
}

REGISTER_TYPED_TEST_SUITE_P(LoopSuite, PostsAndInvokesRunInOrderOnTheMainThread,
                            TimersTickByTheClockAndMayStopOrRestartThemselves,
                            ATickIsNotReenteredWhileItServesTheLoop,
                            ProcessForMovesAManualClockOnThroughItsSilentWaits,
                            ShutdownReleasesAWorkerWaitingInInvokeAndStopsEverything);

}  // namespace flashpost::conformance
