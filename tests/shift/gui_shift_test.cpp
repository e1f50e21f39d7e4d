// The shift in the Qt window on the offscreen platform: the operator's clicks go to the real
// widgets, the window's main loop is Qt's.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QTest>

#include "gui/desktop.h"
#include "shift/shift.h"

namespace flashpost::shift {
namespace {

TEST(GuiShiftTest, OneWindowWorksAShiftOfJobs) {
  platform::ScaledClock clock(kShiftSpeedUp);
  // The engineering view; in the file dialog the operator takes the file it offers.
  gui::WindowOptions options;
  options.all_pages = true;
  options.view.ask_open_file = [](QWidget*, const QString& offered, const QString&) {
    return offered;
  };
  // Shows a window, works a shift in it when asked, and closes it.
  auto window = [&](bool shift) {
    WatchedSerial serial;
    gui::DesktopSession session(clock, serial, options);
    session.Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&session.Window()));
    auto click = [&session](ui::Control& control) {
      auto* button = qobject_cast<QAbstractButton*>(session.Window().View().WidgetFor(control));
      if (!button) return void(ADD_FAILURE() << control.Name() << " has no button in the window");
      button->click();
    };
    const auto serve_until = std::bind_front(&gui::QtLoop::RunUntil, &session.Loop());
    if (shift) RunShift({session.Application(), serial, clock, serve_until, click}, "Qt window");
    session.Window().close();
  };
  // Qt starts threads and opens files of its own for the first window it shows, and keeps them
  // for the life of the process: they are there before the count.
  window(false);
  ExpectNothingLeftOver([&] { window(true); });
}

}  // namespace
}  // namespace flashpost::shift
