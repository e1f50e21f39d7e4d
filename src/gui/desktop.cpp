#include "gui/desktop.h"

#include <QApplication>
#include <QtGlobal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "cli/without_window.h"
#include "ui/end_request_watch.h"

namespace flashpost::gui {

DesktopSession::DesktopSession(platform::Clock& clock, platform::SerialSystem& serial,
                               WindowOptions options)
    : loop_(clock),
      application_(clock, serial, loop_, options.record_path),
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

namespace {

// The display settings Qt was given, as the operator set them ("DISPLAY=:99").
std::string DisplaySettings() {
  std::string named;
  for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
    if (qEnvironmentVariableIsEmpty(name)) continue;
    if (!named.empty()) named += ", ";
    named += std::string(name) + "=" + qEnvironmentVariable(name).toStdString();
  }
  return named;
}

// Qt aborts the program when its platform plugin cannot start, as for a display nobody serves
// (a stale DISPLAY over SSH). While QApplication is being built, its fatal message ends the
// program with a message of ours and the usage status instead; nothing is open yet, so ending on
// the spot loses nothing. Its other messages (which say why the display failed) pass as they are.
void EndOnUnusableDisplay(QtMsgType type, const QMessageLogContext& context, const QString& text) {
  if (type != QtFatalMsg) {
    std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
    return;
  }
  // Qt's own fatal text suggests reinstalling, which is no help for a display nobody serves.
  std::fprintf(stderr, "flashpost: cannot open the window on the display given by %s.\n",
               DisplaySettings().c_str());
  std::fputs(cli::kWithoutWindow, stderr);
  std::fflush(stderr);
  std::_Exit(2);
}

}  // namespace

int RunDesktop(WindowOptions options) {
  // Qt keeps references to these for the application's life; our own arguments stay ours.
  char program[] = "flashpost";
  char* argv[] = {program, nullptr};
  int argc = 1;
  const QtMessageHandler qt_handler = qInstallMessageHandler(EndOnUnusableDisplay);
  QApplication qt(argc, argv);
  qInstallMessageHandler(qt_handler);
  platform::SystemClock clock;
  auto serial = platform::MakeHostSerialSystem();
  DesktopSession session(clock, *serial, std::move(options));
  // A request to end the program closes the window as its close box does.
  ui::EndRequestWatch watch(session.Loop(), [&session] { session.Window().close(); });
  session.Window().show();
  return watch.ExitStatus(QApplication::exec());
}

}  // namespace flashpost::gui
