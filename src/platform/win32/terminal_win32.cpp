#include <io.h>
#include <windows.h>

#include "platform/terminal.h"

namespace flashpost::platform {

// _isatty alone says yes to every character device, NUL and COM ports included; only a console
// can have its progress line redrawn in place.
bool IsTerminal(std::FILE* stream) {
  HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetFileType(handle) == FILE_TYPE_CHAR &&
         GetConsoleMode(handle, &mode);
}

}  // namespace flashpost::platform
