#pragma once

#include "app/application.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "win32/main_window.h"
#include "win32/win32_loop.h"

namespace flashpost::win32 {

// One running tool on the desktop: the Win32 main loop, the application (board, then form),
// and the window over the form. Closing the window closes the application and ends the loop's
// Run.
class DesktopSession {
 public:
  DesktopSession(platform::Clock& clock, platform::SerialSystem& serial,
                 WindowOptions options = {});
  ~DesktopSession();
  DesktopSession(const DesktopSession&) = delete;
  DesktopSession& operator=(const DesktopSession&) = delete;

  Win32Loop& Loop() { return loop_; }
  app::Application& Application() { return application_; }
  MainWindow& Window() { return window_; }

 private:
  Win32Loop loop_;
  app::Application application_;
  MainWindow window_;
};

}  // namespace flashpost::win32
