#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ui/control.h"
#include "win32/form_view.h"
#include "win32/windows_api.h"

namespace flashpost::win32::testing {

// A picture of a window's client area, one 0x00RRGGBB pixel per point, rows from the top.
struct Image {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;

  uint32_t At(int x, int y) const { return pixels[static_cast<size_t>(y) * width + x]; }
};
inline int Red(uint32_t p) { return (p >> 16) & 0xFF; }
inline int Green(uint32_t p) { return (p >> 8) & 0xFF; }
inline int Blue(uint32_t p) { return p & 0xFF; }

// The client area of the window and everything on it as the system paints it.
Image CaptureClient(HWND window);

// Writes the picture as a 24-bit BMP file; false when the file cannot be written.
bool WriteBmp(const Image& image, const std::string& path);

// The picture kept as FLASHPOST_SCREENSHOT_DIR/<name>.bmp when that variable names a folder;
// nothing is written without it. False only when a file was due and could not be written.
bool KeepScreenshot(const Image& image, const std::string& name);

// A window's rectangle in the coordinates of another window's client area.
RECT RectIn(HWND window, HWND reference);

// What a picture of the controls under `root` would show wrong: a control reaching outside the
// client area of the window it lies in, a one-line caption wider than the room its control
// gives it (measured with the control's own font), a wrapped caption running past the label's
// last line, a group caption covered by a control of the group, two controls of one parent over
// each other. Only controls that show now are looked at; each fault names them.
std::vector<std::string> LayoutFaults(const FormView& view, ui::Control& root);

// The faults one per line, for a test's message.
std::string Joined(const std::vector<std::string>& lines);

// Lets the windows handle what is queued for them (painting, sizing).
void PumpMessages();

// A plain top-level window to hold a view, client area width x height, shown without taking
// the focus.
class HostWindow {
 public:
  HostWindow(int width, int height);
  ~HostWindow();
  HostWindow(const HostWindow&) = delete;
  HostWindow& operator=(const HostWindow&) = delete;

  HWND Handle() const { return window_; }
  void ResizeClient(int width, int height);

 private:
  HWND window_ = nullptr;
};

}  // namespace flashpost::win32::testing
