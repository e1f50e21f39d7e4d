#include "win32/native_control.h"

#include <algorithm>
#include <vector>

namespace flashpost::win32 {

namespace {
// Room for the dropped list of a combo box, below its selection field.
constexpr int kDroppedListHeight = 200;

// Narrow sans serifs, in the order they are tried for a face that is not installed: Windows'
// own successor of MS Sans Serif, Arial and its metric twin, a condensed face that Linux has.
constexpr const char* kStandIns[] = {"Microsoft Sans Serif", "Arial", "Liberation Sans",
                                     "DejaVu Sans Condensed"};

HFONT CreateFontOf(const std::string& face, int pixels) {
  // FF_SWISS: the system's own pick, should even the stand-ins be missing, is a sans serif.
  return CreateFontA(-pixels, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                     OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY,
                     DEFAULT_PITCH | FF_SWISS, face.c_str());
}

// The face the system actually chose for the font.
std::string ChosenFace(HFONT font) {
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  char face[LF_FACESIZE] = {};
  GetTextFaceA(dc, sizeof(face), face);
  SelectObject(dc, old);
  DeleteDC(dc);
  return face;
}

bool IsFace(HFONT font, const std::string& face) {
  return lstrcmpiA(ChosenFace(font).c_str(), face.c_str()) == 0;
}

}  // namespace

HFONT CreateFaceFont(const std::string& face, int pixels) {
  HFONT font = CreateFontOf(face, pixels);
  if (font == nullptr || IsFace(font, face)) return font;
  for (const char* stand_in : kStandIns) {
    HFONT other = CreateFontOf(stand_in, pixels);
    if (other != nullptr && IsFace(other, stand_in)) {
      DeleteObject(font);
      return other;
    }
    if (other != nullptr) DeleteObject(other);
  }
  return font;
}

std::string TextOf(HWND window) {
  const int length = GetWindowTextLengthA(window);
  if (length <= 0) return {};
  std::vector<char> text(static_cast<size_t>(length) + 1);
  const int got = GetWindowTextA(window, text.data(), length + 1);
  return std::string(text.data(), static_cast<size_t>(std::max(got, 0)));
}

void SetStyle(HWND window, LONG_PTR mask, LONG_PTR bits) {
  const LONG_PTR style = GetWindowLongPtrA(window, GWL_STYLE);
  const LONG_PTR wanted = (style & ~mask) | (bits & mask);
  if (wanted == style) return;
  SetWindowLongPtrA(window, GWL_STYLE, wanted);
  SetWindowPos(window, nullptr, 0, 0, 0, 0,
               SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  InvalidateRect(window, nullptr, TRUE);
}

void FitComboBox(HWND combo, const ui::Rect& r) {
  SetWindowPos(combo, nullptr, r.left, r.top, r.width, r.height + kDroppedListHeight,
               SWP_NOZORDER | SWP_NOACTIVATE);
  // The closed height follows the selection field's height and the font; further looks correct
  // for the borders, whose size the system decides. The field's height is stepped from what was
  // asked, not read back: Wine reports two pixels more than it was given.
  auto field = static_cast<int>(SendMessageA(combo, CB_GETITEMHEIGHT, WPARAM(-1), 0));
  for (int pass = 0; pass < 4; ++pass) {
    RECT shown;
    GetWindowRect(combo, &shown);
    const int off_by = r.height - (shown.bottom - shown.top);
    if (off_by == 0) break;
    field += off_by;
    SendMessageA(combo, CB_SETITEMHEIGHT, WPARAM(-1), field);
  }
}

}  // namespace flashpost::win32
