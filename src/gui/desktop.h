#pragma once

#include "app/application.h"
#include "gui/main_window.h"
#include "gui/qt_loop.h"
#include "platform/clock.h"
#include "platform/serial_device.h"

namespace flashpost::gui {

// One running tool on the desktop: the Qt main loop, the application (board, then form), and
// the window over the form. Needs a QApplication. Closing the window closes the application and
// quits Qt's event loop.
class DesktopSession {
 public:
  DesktopSession(platform::Clock& clock, platform::SerialSystem& serial,
                 WindowOptions options = {});
  ~DesktopSession();
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  QtLoop& Loop() { return loop_; }
  app::Application& Application() { return application_; }
  MainWindow& Window() { return window_; }

 private:
  QtLoop loop_;
  app::Application application_;
  MainWindow window_;
};

// True when Qt has somewhere to put a window: an X11 or Wayland display, or a platform chosen
// through QT_QPA_PLATFORM (such as offscreen).
bool DisplayAvailable();

// Shows the window on the host's serial ports and the real clock and runs until it is closed,
// by its close box or by a request to end the program (platform/end_request.h), which closes it
// the same way. The exit status of Qt's event loop, or 128 + the request's signal number.
int RunDesktop(WindowOptions options);

}  // namespace flashpost::gui
