#include "win32_view/window_support.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <functional>

#include "win32/native_control.h"

namespace flashpost::win32::testing {

namespace {

constexpr const char* kHostClass = "FlashpostTestHost";
// PW_RENDERFULLCONTENT, which older SDK headers lack.
constexpr UINT kRenderFullContent = 0x2;

// Room the native controls leave for their caption: a push button's edges and focus frame, a
// check box's or radio button's mark and the gap after it, a group caption's indent.
constexpr int kPushButtonMargins = 6;
constexpr int kCheckMarkRoom = 17;
constexpr int kGroupCaptionIndent = 8;

void ForEachControl(ui::Control& control, const std::function<void(ui::Control&)>& visit) {
  visit(control);
  for (ui::Control* child : control.Children()) ForEachControl(*child, visit);
}

// The caption a control shows on one line or, for a wrapping label, on several.
std::string CaptionOf(const ui::Control& control) {
  if (auto* label = dynamic_cast<const ui::Label*>(&control)) return label->Caption();
  if (auto* button = dynamic_cast<const ui::Button*>(&control)) return button->Caption();
  if (auto* box = dynamic_cast<const ui::CheckBox*>(&control)) return box->Caption();
  if (auto* radio = dynamic_cast<const ui::RadioButton*>(&control)) return radio->Caption();
  if (auto* group = dynamic_cast<const ui::GroupBox*>(&control)) return group->Caption();
  return {};
}

int CaptionRoom(const ui::Control& control, int client_width) {
  if (dynamic_cast<const ui::Button*>(&control) != nullptr) {
    return client_width - kPushButtonMargins;
  }
  if (dynamic_cast<const ui::CheckBox*>(&control) != nullptr ||
      dynamic_cast<const ui::RadioButton*>(&control) != nullptr) {
    return client_width - kCheckMarkRoom;
  }
  if (dynamic_cast<const ui::GroupBox*>(&control) != nullptr) {
    return client_width - 2 * kGroupCaptionIndent;
  }
  return client_width;
}

// Measures text in the control's own font.
class TextMeter {
 public:
  explicit TextMeter(HWND window) : window_(window), dc_(GetDC(window)) {
    auto font = reinterpret_cast<HFONT>(SendMessageA(window, WM_GETFONT, 0, 0));
    old_font_ = SelectObject(dc_, font != nullptr ? font : GetStockObject(DEFAULT_GUI_FONT));
  }
  ~TextMeter() {
    SelectObject(dc_, old_font_);
    ReleaseDC(window_, dc_);
  }
  SIZE Line(const std::string& text) const {
    SIZE size{};
    GetTextExtentPoint32A(dc_, text.c_str(), static_cast<int>(text.size()), &size);
    return size;
  }
  // The height of the text broken into lines of at most width.
  int WrappedHeight(const std::string& text, int width) const {
    RECT area{0, 0, width, 0};
    DrawTextA(dc_, text.c_str(), static_cast<int>(text.size()), &area,
              DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    return area.bottom;
  }

 private:
  HWND window_;
  HDC dc_;
  HGDIOBJ old_font_;
};

bool Overlap(const RECT& a, const RECT& b) {
  RECT common;
  return IntersectRect(&common, &a, &b) != FALSE;
}

bool Contains(const RECT& outer, const RECT& inner) {
  return inner.left >= outer.left && inner.top >= outer.top && inner.right <= outer.right &&
         inner.bottom <= outer.bottom;
}

LRESULT CALLBACK HostProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  return DefWindowProcA(window, message, wparam, lparam);
}

}  // namespace

Image CaptureClient(HWND window) {
  RECT client;
  GetClientRect(window, &client);
  Image image;
  image.width = client.right;
  image.height = client.bottom;
  if (image.width <= 0 || image.height <= 0) return image;

  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof(info.bmiHeader);
  info.bmiHeader.biWidth = image.width;
  info.bmiHeader.biHeight = -image.height;  // rows from the top
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HDC screen = GetDC(nullptr);
  HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HDC memory = CreateCompatibleDC(screen);
  ReleaseDC(nullptr, screen);
  HGDIOBJ old = SelectObject(memory, bitmap);

  // Everything painted first, then the client area as the window shows it.
  RedrawWindow(window, nullptr, nullptr,
               RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN | RDW_UPDATENOW | RDW_FRAME);
  // Windows 8.1 and later render the composed window, children and all. Wine's PrintWindow
  // paints the window's own background only, and so gives a flat picture: there the client
  // area is copied as it shows on the screen instead.
  PrintWindow(window, memory, PW_CLIENTONLY | kRenderFullContent);
  GdiFlush();
  const auto* first = static_cast<const uint32_t*>(bits);
  if (std::all_of(first, first + static_cast<size_t>(image.width) * image.height,
                  [&](uint32_t p) { return p == *first; })) {
    HDC source = GetDC(window);
    BitBlt(memory, 0, 0, image.width, image.height, source, 0, 0, SRCCOPY);
    ReleaseDC(window, source);
  }
  GdiFlush();

  const auto* pixels = static_cast<const uint32_t*>(bits);
  image.pixels.assign(pixels, pixels + static_cast<size_t>(image.width) * image.height);
  for (uint32_t& p : image.pixels) p &= 0xFFFFFF;
  SelectObject(memory, old);
  DeleteDC(memory);
  DeleteObject(bitmap);
  return image;
}

bool WriteBmp(const Image& image, const std::string& path) {
  const int row_bytes = (image.width * 3 + 3) & ~3;
  const uint32_t data_bytes = static_cast<uint32_t>(row_bytes) * image.height;
  BITMAPFILEHEADER file{};
  BITMAPINFOHEADER header{};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof(file) + sizeof(header);
  file.bfSize = file.bfOffBits + data_bytes;
  header.biSize = sizeof(header);
  header.biWidth = image.width;
  header.biHeight = image.height;  // rows from the bottom, as BMP readers expect
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  header.biSizeImage = data_bytes;
  std::ofstream out(path, std::ios::binary);
  if (!out) return false;
  out.write(reinterpret_cast<const char*>(&file), sizeof(file));
  out.write(reinterpret_cast<const char*>(&header), sizeof(header));
  std::vector<char> row(row_bytes, 0);
  for (int y = image.height - 1; y >= 0; --y) {
    for (int x = 0; x < image.width; ++x) {
      const uint32_t p = image.At(x, y);
      row[x * 3] = static_cast<char>(Blue(p));
      row[x * 3 + 1] = static_cast<char>(Green(p));
      row[x * 3 + 2] = static_cast<char>(Red(p));
    }
    out.write(row.data(), row_bytes);
  }
  return static_cast<bool>(out);
}

bool KeepScreenshot(const Image& image, const std::string& name) {
  const char* folder = std::getenv("FLASHPOST_SCREENSHOT_DIR");
  if (folder == nullptr || *folder == '\0') return true;
  return WriteBmp(image, std::string(folder) + "/" + name + ".bmp");
}

RECT RectIn(HWND window, HWND reference) {
  RECT r;
  GetWindowRect(window, &r);
  MapWindowPoints(HWND_DESKTOP, reference, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

std::vector<std::string> LayoutFaults(const FormView& view, ui::Control& root) {
  std::vector<std::string> faults;
  std::vector<ui::Control*> shown;
  ForEachControl(root, [&](ui::Control& c) {
    HWND w = view.WindowFor(c);
    if (&c != &root && w != nullptr && IsWindowVisible(w)) shown.push_back(&c);
  });
  auto name_of = [&view](HWND w) {
    ui::Control* model = view.ModelFor(w);
    return model != nullptr ? model->Name() : std::string("the window");
  };

  for (ui::Control* c : shown) {
    HWND w = view.WindowFor(*c);
    HWND parent = GetParent(w);
    RECT inside;
    GetClientRect(parent, &inside);
    if (!Contains(inside, RectIn(w, parent))) {
      faults.push_back(c->Name() + " reaches outside " + name_of(parent));
    }
    const std::string caption = CaptionOf(*c);
    if (caption.empty()) continue;
    RECT client;
    GetClientRect(w, &client);
    const TextMeter meter(w);
    auto* label = dynamic_cast<ui::Label*>(c);
    if (label != nullptr && label->WordWrap()) {
      if (meter.WrappedHeight(caption, client.right) > client.bottom) {
        faults.push_back(c->Name() + "'s text \"" + caption + "\" runs past its last line");
      }
    } else if (const int room = CaptionRoom(*c, client.right); meter.Line(caption).cx > room) {
      faults.push_back(c->Name() + "'s text \"" + caption + "\" is clipped (" +
                       std::to_string(meter.Line(caption).cx) + " pixels in " +
                       std::to_string(room) + ")");
    }
    if (dynamic_cast<ui::GroupBox*>(c) == nullptr) continue;
    // The caption sits on the frame's top edge, from the indent on.
    const SIZE text = meter.Line(caption);
    const RECT caption_area{kGroupCaptionIndent, 0, kGroupCaptionIndent + text.cx, text.cy};
    for (ui::Control* child : c->Children()) {
      HWND cw = view.WindowFor(*child);
      if (cw == nullptr || !IsWindowVisible(cw)) continue;
      RECT common;
      const RECT child_area = RectIn(cw, w);
      // A pixel row shared with the caption's padding hides nothing of its letters.
      if (IntersectRect(&common, &child_area, &caption_area) && common.bottom - common.top > 2) {
        faults.push_back(child->Name() + " covers the caption of " + c->Name());
      }
    }
  }
  for (size_t i = 0; i < shown.size(); ++i) {
    for (size_t j = i + 1; j < shown.size(); ++j) {
      HWND a = view.WindowFor(*shown[i]);
      HWND b = view.WindowFor(*shown[j]);
      if (GetParent(a) == GetParent(b) &&
          Overlap(RectIn(a, GetParent(a)), RectIn(b, GetParent(b)))) {
        faults.push_back(shown[i]->Name() + " overlaps " + shown[j]->Name());
      }
    }
  }
  return faults;
}

std::string Joined(const std::vector<std::string>& lines) {
  std::string all;
  for (const std::string& line : lines) all += "\n  " + line;
  return all;
}

void PumpMessages() {
  MSG msg;
  for (int n = 0; n < 1000 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++n) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

HostWindow::HostWindow(int width, int height) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = HostProc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.lpszClassName = kHostClass;
  RegisterClassExA(&wc);
  window_ = CreateWindowExA(0, kHostClass, "Flashpost view test", WS_OVERLAPPEDWINDOW, 0, 0, 100,
                            100, nullptr, nullptr, GetModuleHandleA(nullptr), nullptr);
  ResizeClient(width, height);
  ShowWindow(window_, SW_SHOWNOACTIVATE);
  UpdateWindow(window_);
}

HostWindow::~HostWindow() {
  if (window_ != nullptr) DestroyWindow(window_);
}

void HostWindow::ResizeClient(int width, int height) {
  RECT frame{0, 0, width, height};
  AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, 0);
  SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace flashpost::win32::testing
