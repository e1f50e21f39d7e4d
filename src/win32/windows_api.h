#pragma once

// The Windows headers as the desktop front end uses them: without the min and max macros, which
// would break std::min and std::max, and without the rarely used pieces of the API.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

// The common controls: list view, progress bar, status bar, tab control, window subclassing.
#include <commctrl.h>
