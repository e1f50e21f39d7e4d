#pragma once

#include <string>

#include "ui/control.h"
#include "win32/windows_api.h"

namespace flashpost::win32 {

// A window's text (a control's caption or contents).
std::string TextOf(HWND window);

// Replaces the style bits under mask by bits and repaints, for the styles a control reads as it
// paints (a label's word wrap, a progress bar's smooth fill).
void SetStyle(HWND window, LONG_PTR mask, LONG_PTR bits);

// A font of the face at the given pixel height (of the characters, as 8 points are 11 pixels at
// 96 dpi). Where the face is not installed, as under Wine without Microsoft's fonts, the first
// installed of some sans serifs of like width stands in, rather than the system's pick, which
// may be a much wider face that the form's captions were not laid out for.
HFONT CreateFaceFont(const std::string& face, int pixels);

// Places a drop-down combo box at the rectangle: the window's height is its closed height, set
// through the height of the selection field; the list drops below it.
void FitComboBox(HWND combo, const ui::Rect& r);

}  // namespace flashpost::win32
