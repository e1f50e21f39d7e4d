#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <vector>

#include "platform/clock.h"
#include "ui/control.h"
#include "ui/headless_loop.h"
#include "ui/thread.h"
#include "ui/timer.h"

namespace flashpost::ui {
namespace {

using platform::ManualClock;
using platform::ScaledClock;

// Runs a function on its own thread, framework style.
class FunctionThread : public Thread {
 public:
  FunctionThread(MainLoop& loop, std::function<void(FunctionThread&)> body)
      : Thread(loop), body_(std::move(body)) {}
  using Thread::Synchronize;

 protected:
  void Execute() override { body_(*this); }

 private:
  std::function<void(FunctionThread&)> body_;
};

TEST(HeadlessLoopTest, PostedWorkRunsInOrderOnTheMainThread) {
  ManualClock clock;
  HeadlessLoop loop(clock);
  std::vector<int> order;
  loop.Post([&] { order.push_back(1); });
  loop.Post([&] {
    order.push_back(2);
    loop.Post([&] { order.push_back(3); });
  });
  EXPECT_TRUE(order.empty()) << "posting never runs work on the spot";
  loop.ProcessPending();
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(HeadlessLoopTest, TimersTickByTheClockAndMayStopThemselves) {
  ManualClock clock(0xFFFFFF00u);  // runs across the 32-bit wrap
  HeadlessLoop loop(clock);
  Timer timer("Timer1", nullptr, loop);
  int ticks = 0;
  timer.SetInterval(500);
  timer.OnTimer = [&] {
    if (++ticks == 3) timer.SetTimerEnabled(false);
  };
  timer.SetTimerEnabled(true);
  loop.ProcessFor(499);
  EXPECT_EQ(ticks, 0);
  loop.ProcessFor(10'000);
  EXPECT_EQ(ticks, 3);
  EXPECT_FALSE(timer.TimerEnabled());
}

TEST(HeadlessLoopTest, RunUntilStopsWhenTheConditionHoldsOrTheTimeIsUp) {
  ManualClock clock;
  HeadlessLoop loop(clock);
  int n = 0;
  int id = loop.StartTimer(100, [&] { ++n; });
  EXPECT_TRUE(loop.RunUntil([&] { return n == 4; }, 10'000));
  EXPECT_EQ(n, 4);
  loop.StopTimer(id);
  uint32_t before = clock.Ticks();
  EXPECT_FALSE(loop.RunUntil([] { return false; }, 2'000));
  EXPECT_GE(clock.Ticks() - before, 2'000u);
  EXPECT_EQ(n, 4);
}

TEST(HeadlessLoopTest, InvokeFromAWorkerWhileTimersRun) {
  ScaledClock clock(20.0);
  HeadlessLoop loop(clock);
  int ticks = 0;
  int id = loop.StartTimer(100, [&] { ++ticks; });
  int main_side = 0;  // touched on the main thread only
  std::atomic<bool> all_ran{true};
  auto worker = StartThread<FunctionThread>(loop, [&](FunctionThread& self) {
    for (int i = 0; i < 50; ++i) {
      bool ran = self.Synchronize([&] {
        EXPECT_TRUE(loop.IsMainThread());
        ++main_side;
      });
      if (!ran) all_ran = false;
    }
  });
  EXPECT_TRUE(loop.RunUntil([&] { return worker->Finished(); }, 60'000));
  worker->WaitFor();
  loop.StopTimer(id);
  EXPECT_TRUE(all_ran);
  EXPECT_EQ(main_side, 50);
}

TEST(HeadlessLoopTest, InvokeOnTheMainThreadRunsInline) {
  ManualClock clock;
  HeadlessLoop loop(clock);
  bool ran = false;
  EXPECT_TRUE(loop.Invoke([&] { ran = true; }));
  EXPECT_TRUE(ran);
}

TEST(HeadlessLoopTest, ShutdownReleasesAWorkerWaitingInInvoke) {
  ScaledClock clock(1.0);
  HeadlessLoop loop(clock);
  std::atomic<int> result{-1};
  std::atomic<bool> task_ran{false};
  std::atomic<bool> calling{false};
  auto worker = StartThread<FunctionThread>(loop, [&](FunctionThread& self) {
    calling = true;
    result = self.Synchronize([&] { task_ran = true; }) ? 1 : 0;
  });
  // Nobody serves the loop, so the worker sits in Invoke until the loop shuts down.
  while (!calling) clock.Sleep(1);
  clock.Sleep(20);
  EXPECT_FALSE(worker->Finished());
  loop.Shutdown();
  worker->WaitFor();
  EXPECT_EQ(result, 0);
  EXPECT_FALSE(task_ran);
  EXPECT_FALSE(loop.Invoke([] {})) << "after shutdown nothing runs, not even inline";
}

TEST(ThreadTest, TerminateIsSeenByTheLoopAndIsHarmlessAfterTheEnd) {
  ScaledClock clock(1.0);
  HeadlessLoop loop(clock);
  auto looping = StartThread<FunctionThread>(loop, [&](FunctionThread& self) {
    while (!self.Terminated()) clock.Sleep(1);
  });
  EXPECT_FALSE(looping->Finished());
  looping->Terminate();
  looping->WaitFor();
  EXPECT_TRUE(looping->Finished());
  looping->Terminate();  // ended already: nothing happens
  looping->WaitFor();
}

TEST(ThreadTest, AThreadNobodyHoldsFreesItselfWhenItEnds) {
  ScaledClock clock(1.0);
  HeadlessLoop loop(clock);
  auto flag = std::make_shared<std::atomic<bool>>(false);
  std::weak_ptr<FunctionThread> watch;
  {
    auto t = StartThread<FunctionThread>(loop, [flag](FunctionThread&) { flag->store(true); });
    watch = t;
  }
  // Released by its last holder on its own thread: no join from there, no leak either.
  while (!watch.expired()) clock.Sleep(1);
  EXPECT_TRUE(flag->load());
}

}  // namespace
}  // namespace flashpost::ui
