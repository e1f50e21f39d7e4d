// The shift on the headless loop: one application instance, job after job.
#include <gtest/gtest.h>

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
  ExpectNothingLeftOver([] {
    platform::ScaledClock clock(kShiftSpeedUp);
    ui::HeadlessLoop loop(clock);
    WatchedSerial serial;
    app::Application application(clock, serial, loop);
    const auto serve_until = std::bind_front(&ui::HeadlessLoop::RunUntil, &loop);
    RunShift({application, serial, clock, serve_until, ClickModel}, "headless");
    application.Close();
  });
}

}  // namespace
}  // namespace flashpost::shift
