// The shift in the Qt window on the offscreen platform: the operator's clicks go to the real
// widgets, the window's main loop is Qt's.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QTest>

#include "gui/desktop.h"
#include "shift/shift.h"

namespace flashpost::shift {
namespace {

// The engineering view; in the file dialog the operator takes the file it offers.
gui::WindowOptions EngineeringView() {
  gui::WindowOptions options;
  options.all_pages = true;
  options.view.ask_open_file = [](QWidget*, const QString& offered, const QString&) {
    return offered;
  };
  return options;
}

TEST(GuiShiftTest, OneWindowWorksAShiftOfJobs) {
  platform::ScaledClock clock(kShiftSpeedUp);
  {
    // Qt starts threads and opens files of its own for the first window it shows, and keeps
    // them for the life of the process: they are there before the count.
    WatchedSerial serial;
    gui::DesktopSession first(clock, serial, EngineeringView());
    first.Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&first.Window()));
    first.Window().close();
  }
  ExpectNothingLeftOver([&clock] {
    WatchedSerial serial;
    gui::DesktopSession session(clock, serial, EngineeringView());
    session.Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&session.Window()));
    auto click = [&session](ui::Control& control) {
      auto* button = qobject_cast<QAbstractButton*>(session.Window().View().WidgetFor(control));
      if (!button) return void(ADD_FAILURE() << control.Name() << " has no button in the window");
      button->click();
    };
    auto serve_until = [&session](const std::function<bool()>& done, uint32_t limit_ms) {
      return session.Loop().RunUntil(done, limit_ms);
    };
    EXPECT_EQ(RunShift({session.Application(), serial, clock, serve_until, click}, "Qt window"), 0);
    session.Window().close();
  });
}

}  // namespace
}  // namespace flashpost::shift
