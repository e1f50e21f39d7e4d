#include "win32/win32_loop.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <vector>

#include "platform/clock.h"
#include "ui/thread.h"
#include "ui/timer.h"

namespace flashpost::win32 {
namespace {

using platform::ManualClock;
using platform::ScaledClock;

// Runs a function on its own thread, framework style.
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

TEST(Win32LoopTest, PostedWorkRunsInOrderOnTheMainThread) {
  ScaledClock clock(20.0);
  Win32Loop loop(clock);
  ASSERT_NE(loop.MessageWindow(), nullptr);
  std::vector<int> order;
  loop.Post([&] { order.push_back(1); });
  loop.Post([&] {
    order.push_back(2);
    loop.Post([&] { order.push_back(3); });
  });
  EXPECT_TRUE(order.empty()) << "posting never runs work on the spot";
  loop.ProcessPending();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

  // From another thread too, and mixed with synchronous calls, in the order they were made.
  std::vector<int> from_worker;
  auto worker = ui::StartThread<FunctionThread>(loop, [&](FunctionThread& self) {
    for (int i = 0; i < 200; ++i) {
      if (i % 50 == 49) {
        self.Synchronize([&, i] { from_worker.push_back(i); });
      } else {
        loop.Post([&, i] {
          EXPECT_TRUE(loop.IsMainThread());
          from_worker.push_back(i);
        });
      }
    }
  });
  EXPECT_TRUE(loop.RunUntil([&] { return from_worker.size() == 200; }, 60'000));
  worker->WaitFor();
  ASSERT_EQ(from_worker.size(), 200u);
  for (int i = 0; i < 200; ++i) ASSERT_EQ(from_worker[i], i);
}

// The wake-up reaches a thread that sits in the plain message loop, not only in RunUntil.
TEST(Win32LoopTest, RunServesPostsFromOtherThreadsUntilQuit) {
  ScaledClock clock(20.0);
  Win32Loop loop(clock);
  int served = 0;
  auto worker = ui::StartThread<FunctionThread>(loop, [&](FunctionThread& self) {
    for (int i = 0; i < 20; ++i) self.Synchronize([&] { ++served; });
    loop.Post([&] { loop.Quit(); });
  });
  EXPECT_EQ(loop.Run(), 0);
  worker->WaitFor();
  EXPECT_EQ(served, 20);

  // A WM_QUIT ends it too, with the exit code it carries, even when a nested wait took it.
  PostQuitMessage(3);
  loop.ProcessFor(100);
  EXPECT_EQ(loop.Run(), 3);
}

TEST(Win32LoopTest, TimersTickByTheClockAndMayStopThemselves) {
  ScaledClock clock(20.0);
  Win32Loop loop(clock);
  ui::Timer timer("Timer1", nullptr, loop);
  int ticks = 0;
  uint32_t third_tick_at = 0;
  const uint32_t start = clock.Ticks();
  timer.SetInterval(500);
  timer.OnTimer = [&] {
    EXPECT_TRUE(loop.IsMainThread());
    if (++ticks == 3) {
      third_tick_at = clock.Ticks() - start;
      timer.SetTimerEnabled(false);
    }
  };
  timer.SetTimerEnabled(true);
  loop.ProcessFor(300);
  EXPECT_EQ(ticks, 0) << "the first tick comes one interval after the start";
  EXPECT_TRUE(loop.RunUntil([&] { return ticks == 3; }, 60'000));
  loop.ProcessFor(2'000);
  EXPECT_EQ(ticks, 3) << "a timer that stopped itself stays stopped";
  EXPECT_FALSE(timer.TimerEnabled());
  // Three intervals of the clock: 75 ms of real time here. Intervals taken as real milliseconds
  // would have needed 1.5 s, which is 30000 of this clock's.
  EXPECT_GE(third_tick_at, 1'500u);
  EXPECT_LT(third_tick_at, 20'000u);
}

TEST(Win32LoopTest, ATickMayRestartOrEndItsOwnTimer) {
  ScaledClock clock(20.0);
  Win32Loop loop(clock);
  // A new interval from inside the tick: the timer is stopped and started anew while it runs.
  ui::Timer timer("Timer2", nullptr, loop);
  int ticks = 0;
  timer.SetInterval(400);
  timer.OnTimer = [&] {
    ++ticks;
    timer.SetInterval(ticks % 2 == 0 ? 400 : 600);
  };
  timer.SetTimerEnabled(true);
  EXPECT_TRUE(loop.RunUntil([&] { return ticks >= 4; }, 60'000));
  timer.SetTimerEnabled(false);

  // A tick that ends its timer and lets go of what the tick holds.
  int id = 0, once = 0;
  auto held = std::make_shared<int>(7);
  id = loop.StartTimer(100, [&, held] {
    ++once;
    loop.StopTimer(id);
  });
  held.reset();
  EXPECT_TRUE(loop.RunUntil([&] { return once == 1; }, 60'000));
  loop.ProcessFor(1'000);
  EXPECT_EQ(once, 1);
}

TEST(Win32LoopTest, ATickIsNotReenteredWhileItServesTheLoop) {
  ScaledClock clock(20.0);
  Win32Loop loop(clock);
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

TEST(Win32LoopTest, RunUntilStopsWhenTheConditionHoldsOrTheTimeIsUp) {
  ScaledClock clock(20.0);
  Win32Loop loop(clock);
  int n = 0;
  int id = loop.StartTimer(100, [&] { ++n; });
  EXPECT_TRUE(loop.RunUntil([&] { return n == 4; }, 60'000));
  EXPECT_EQ(n, 4);
  loop.StopTimer(id);
  const uint32_t before = clock.Ticks();
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 2'000));
  EXPECT_GE(clock.Ticks() - before, 2'000u);
  loop.ProcessFor(500);
  EXPECT_EQ(n, 4) << "a stopped timer does not tick";
}

// A clock that moves only when told: the loop's silent waits move it on, so a long wait of the
// main thread is over at once, and work posted meanwhile is still served.
TEST(Win32LoopTest, ProcessForMovesAManualClockOnThroughItsSilentWaits) {
  ManualClock clock(1'000);
  Win32Loop loop(clock);
  int posted = 0;
  loop.Post([&] { ++posted; });
  loop.ProcessFor(60'000);
  EXPECT_GE(clock.Ticks(), 61'000u);
  EXPECT_EQ(posted, 1);

  std::atomic<bool> ran{false};
  auto worker = ui::StartThread<FunctionThread>(
      loop, [&](FunctionThread& self) { ran = self.Synchronize([] {}); });
  while (!worker->Finished()) loop.ProcessFor(5'000);
  worker->WaitFor();
  EXPECT_TRUE(ran);
}

TEST(Win32LoopTest, InvokeFromAWorkerWhileTimersRunAndWhileTheMainThreadWaits) {
  ScaledClock clock(20.0);
  Win32Loop loop(clock);
  int ticks = 0;
  int id = loop.StartTimer(100, [&] { ++ticks; });
  int main_side = 0;  // touched on the main thread only
  std::atomic<bool> all_ran{true};
  auto worker = ui::StartThread<FunctionThread>(loop, [&](FunctionThread& self) {
    for (int i = 0; i < 50; ++i) {
      bool ran = self.Synchronize([&] {
        EXPECT_TRUE(loop.IsMainThread());
        ++main_side;
      });
      if (!ran) all_ran = false;
    }
  });
  // A plain wait of the main thread, such as the close's, keeps serving the worker's calls.
  while (!worker->Finished()) loop.ProcessFor(200);
  worker->WaitFor();
  loop.StopTimer(id);
  EXPECT_TRUE(all_ran);
  EXPECT_EQ(main_side, 50);
}

TEST(Win32LoopTest, InvokeOnTheMainThreadRunsInline) {
  ScaledClock clock(20.0);
  Win32Loop loop(clock);
  bool ran = false;
  EXPECT_TRUE(loop.Invoke([&] { ran = true; }));
  EXPECT_TRUE(ran);
}

TEST(Win32LoopTest, ShutdownReleasesAWorkerWaitingInInvokeAndStopsEverything) {
  ScaledClock clock(1.0);
  Win32Loop loop(clock);
  std::atomic<int> result{-1};
  std::atomic<bool> task_ran{false};
  std::atomic<bool> calling{false};
  int ticks = 0, posted = 0;
  loop.StartTimer(10, [&] { ++ticks; });
  auto worker = ui::StartThread<FunctionThread>(loop, [&](FunctionThread& self) {
    calling = true;
    result = self.Synchronize([&] { task_ran = true; }) ? 1 : 0;
  });
  // Nobody serves the loop, so the worker sits in Invoke until the loop shuts down.
  while (!calling) clock.Sleep(1);
  clock.Sleep(20);
  EXPECT_FALSE(worker->Finished());
  loop.Post([&] { ++posted; });
  loop.Shutdown();
  worker->WaitFor();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(task_ran);
  EXPECT_FALSE(loop.Invoke([] {})) << "after shutdown nothing runs, not even inline";
  loop.Post([&] { ++posted; });
  const uint32_t before = clock.Ticks();
  loop.ProcessFor(60'000);
  EXPECT_LT(clock.Ticks() - before, 10'000u) << "a shut loop is not served";
  loop.ProcessPending();
  EXPECT_EQ(posted, 0);
  EXPECT_EQ(ticks, 0);
}

// Another thread may shut the loop down while the main thread waits in it.
TEST(Win32LoopTest, AShutdownFromAnotherThreadEndsTheMainThreadsWait) {
  ScaledClock clock(20.0);
  Win32Loop loop(clock);
  int ticks = 0;
  loop.StartTimer(100, [&] { ++ticks; });
  auto worker = ui::StartThread<FunctionThread>(loop, [&](FunctionThread& self) {
    self.Synchronize([] {});
    loop.Shutdown();
  });
  const uint32_t before = clock.Ticks();
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 600'000));
  EXPECT_LT(clock.Ticks() - before, 60'000u);
  worker->WaitFor();
  const int ticks_at_shutdown = ticks;
  loop.ProcessFor(1'000);
  loop.ProcessPending();
  EXPECT_EQ(ticks, ticks_at_shutdown) << "no tick runs once the loop is shut";
}

}  // namespace
}  // namespace flashpost::win32
