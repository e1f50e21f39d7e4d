#include "gui/desktop.h"

#include <QApplication>
#include <QtGlobal>
#include <memory>

#include "ui/end_request_watch.h"

namespace flashpost::gui {

DesktopSession::DesktopSession(platform::Clock& clock, platform::SerialSystem& serial,
                               WindowOptions options)
    : loop_(clock),
      application_(clock, serial, loop_),
      window_(
          application_.Form(),
          [this] {
            application_.Close();
            QCoreApplication::quit();
          },
          std::move(options)) {}

DesktopSession::~DesktopSession() = default;

bool DisplayAvailable() {
  return !qEnvironmentVariableIsEmpty("DISPLAY") ||
         !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY") ||
         !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM");
}

int RunDesktop(WindowOptions options) {
  // Qt keeps references to these for the application's life; our own arguments stay ours.
  char program[] = "flashpost";
  char* argv[] = {program, nullptr};
  int argc = 1;
  QApplication qt(argc, argv);
  platform::SystemClock clock;
  auto serial = platform::MakeHostSerialSystem();
  DesktopSession session(clock, *serial, std::move(options));
  // A request to end the program closes the window as its close box does.
  ui::EndRequestWatch watch(session.Loop(), [&session] { session.Window().close(); });
  session.Window().show();
  return watch.ExitStatus(QApplication::exec());
}

}  // namespace flashpost::gui
