#pragma once

#include <string>

#include "win32/windows_api.h"

namespace flashpost::win32 {

// Asks the operator for a file to open with the system's dialog, owned by the window, starting
// from the preset file name, offering the filter (as Win32FileFilter makes it). The chosen path,
// or an empty string when the operator cancelled.
std::string AskWithOpenFileDialog(HWND owner, const std::string& preset, const std::string& filter);

}  // namespace flashpost::win32
