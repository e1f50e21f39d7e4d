#include <gtest/gtest.h>

#include <atomic>
#include <memory>

#include "conformance/loop_suite.h"
#include "ui/headless_loop.h"
#include "ui/stop_signal.h"

namespace flashpost::conformance {
INSTANTIATE_TYPED_TEST_SUITE_P(Headless, LoopSuite, ui::HeadlessLoop);
}  // namespace flashpost::conformance

namespace flashpost::ui {
namespace {

using conformance::FunctionThread;

TEST(ThreadTest, TerminateIsSeenByTheThreadAndIsHarmlessAfterTheEnd) {
  platform::ScaledClock clock(1.0);
  HeadlessLoop loop(clock);
  auto looping = StartThread<FunctionThread>(loop, [&](FunctionThread& self) {
    while (self.Stop().Sleep(clock, 1)) {
    }
    EXPECT_TRUE(self.Terminated());
    EXPECT_FALSE(self.Stop().Sleep(clock, 0)) << "no pause at all after the stop";
  });
  EXPECT_FALSE(looping->Finished());
  looping->Terminate();
  looping->WaitFor();
  looping->Terminate();  // ended already: nothing happens
  looping->WaitFor();
  StopSignal fresh;
  EXPECT_TRUE(fresh.Sleep(clock, 0)) << "a pause of nothing before any stop goes on";
}

TEST(ThreadTest, AThreadNobodyHoldsFreesItselfWhenItEnds) {
  platform::ScaledClock clock(1.0);
  HeadlessLoop loop(clock);
  auto flag = std::make_shared<std::atomic<bool>>(false);
  std::weak_ptr<FunctionThread> watch;
  {
    auto t = StartThread<FunctionThread>(loop, [flag](FunctionThread&) { flag->store(true); });
    watch = t;
  }
  // Released by its last holder on its own thread: no join from there, no leak either.
  while (!watch.expired()) conformance::RealPause();
  EXPECT_TRUE(flag->load());
}

}  // namespace
}  // namespace flashpost::ui
