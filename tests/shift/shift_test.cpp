// The shift on the headless loop: one application instance, job after job.
#include <gtest/gtest.h>

#include <thread>

#include "shift/shift.h"
#include "ui/headless_loop.h"

namespace flashpost::shift {
namespace {

// The operator's click on the control model itself.
void ClickModel(ui::Control& control) {
  if (auto* button = dynamic_cast<ui::Button*>(&control)) return button->Click();
  if (auto* box = dynamic_cast<ui::CheckBox*>(&control)) return box->Click();
  if (auto* radio = dynamic_cast<ui::RadioButton*>(&control)) return radio->Click();
  ADD_FAILURE() << control.Name() << " takes no click";
}

TEST(ShiftTest, OneApplicationWorksAShiftOfJobs) {
  // A sanitizer starts a helper thread of its own with the first thread: it is there before the
  // count.
  std::thread([] {}).join();
  ExpectNothingLeftOver([] {
    platform::ScaledClock clock(kShiftSpeedUp);
    ui::HeadlessLoop loop(clock);
    WatchedSerial serial;
    app::Application application(clock, serial, loop);
    auto serve_until = [&loop](const std::function<bool()>& done, uint32_t limit_ms) {
      return loop.RunUntil(done, limit_ms);
    };
    EXPECT_EQ(RunShift({application, serial, clock, serve_until, ClickModel}, "headless"), 0);
    application.Close();
  });
}

}  // namespace
}  // namespace flashpost::shift
