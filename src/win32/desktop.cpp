#include "win32/desktop.h"

#include <cstdio>
#include <memory>

#include "ui/end_request_watch.h"
#include "win32/desktop_session.h"

namespace flashpost::win32 {

DesktopSession::DesktopSession(platform::Clock& clock, platform::SerialSystem& serial,
                               WindowOptions options)
    : loop_(clock),
      application_(clock, serial, loop_, options.record_path),
      window_(
          application_.Form(),
          [this] {
            application_.Close();
            loop_.Quit();
          },
          std::move(options)) {}

DesktopSession::~DesktopSession() = default;

namespace {

// A console that only this process uses was opened for it by the system: the program was
// started from Explorer rather than from a command prompt.
bool OwnsItsConsoleAlone() {
  DWORD processes[2];
  return GetConsoleProcessList(processes, 2) == 1;
}

}  // namespace

int RunDesktop(bool all_pages, const std::string& record_path, std::FILE* err) {
  platform::SystemClock clock;
  auto serial = platform::MakeHostSerialSystem();
  WindowOptions options;
  options.all_pages = all_pages;
  options.record_path = record_path;
  DesktopSession session(clock, *serial, options);
  if (session.Window().Handle() == nullptr) {
    std::fprintf(err, "flashpost: the window could not be created (Windows error %lu).\n",
                 static_cast<unsigned long>(session.Window().CreateError()));
    return 1;
  }
  if (OwnsItsConsoleAlone()) FreeConsole();
  // Ctrl-C or a closing console closes the window as its close box does.
  ui::EndRequestWatch watch(session.Loop(), [&session] { session.Window().Close(); });
  session.Window().Show();
  return watch.ExitStatus(session.Loop().Run());
}

}  // namespace flashpost::win32
