#pragma once

#include <cstdio>
#include <string>

namespace flashpost::win32 {

// Shows the window on the host's serial ports and the real clock and runs the message loop
// until it is closed, by its close box or by a request to end the program (Ctrl-C, the console
// closing), which closes it the same way; the exit status, 128 + the request's signal number
// after one. A window the system refuses to make is reported on err.
// Started from Explorer, the console the system opened for the program is let go, so that no
// empty console window stays behind the form.
// With a record path, every slot verdict is appended to that file.
int RunDesktop(bool all_pages, const std::string& record_path, std::FILE* err);

}  // namespace flashpost::win32
