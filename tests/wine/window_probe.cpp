// Looks at the window of a running flashpost.exe from outside, as an operator would see it:
//   window_probe <seconds to wait for it> <expected port> [bitmap file]
// Waits for the main window, checks its client size, the automatic page's captions and the port
// list, writes a picture of it when asked, then closes it. Exit status 0 when all was as expected;
// each finding otherwise goes to the standard output.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr const char* kCaption = "FlashpostV103_KX420";

struct Child {
  HWND hwnd;
  std::string class_name;
  std::string text;
  bool visible;
};

std::string TextOf(HWND hwnd) {
  char text[512] = {};
  GetWindowTextA(hwnd, text, sizeof text);
  return text;
}

std::vector<Child> ChildrenOf(HWND top) {
  std::vector<Child> children;
  EnumChildWindows(
      top,
      [](HWND hwnd, LPARAM param) -> BOOL {
        char class_name[128] = {};
        GetClassNameA(hwnd, class_name, sizeof class_name);
        reinterpret_cast<std::vector<Child>*>(param)->push_back(
            {hwnd, class_name, TextOf(hwnd), IsWindowVisible(hwnd) != FALSE});
        return TRUE;
      },
      reinterpret_cast<LPARAM>(&children));
  return children;
}

// A control showing the text, a visible one first: the hidden pages repeat some captions.
const Child* Find(const std::vector<Child>& children, const std::string& text) {
  const Child* found = nullptr;
  for (const Child& c : children) {
    if (c.text == text && (found == nullptr || (c.visible && !found->visible))) found = &c;
  }
  return found;
}

// The window's client area as it is on the screen, as a 24-bit bottom-up BMP.
bool WriteBitmap(HWND hwnd, const std::string& path) {
  RECT r;
  GetClientRect(hwnd, &r);
  const int w = r.right, h = r.bottom;
  POINT origin = {0, 0};
  ClientToScreen(hwnd, &origin);
  HDC screen = GetDC(nullptr);
  HDC memory = CreateCompatibleDC(screen);
  BITMAPINFO info = {};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = w;
  info.bmiHeader.biHeight = h;
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 24;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  HGDIOBJ old = SelectObject(memory, bitmap);
  const bool printed = BitBlt(memory, 0, 0, w, h, screen, origin.x, origin.y, SRCCOPY) != FALSE;
  GdiFlush();
  const int stride = (w * 3 + 3) & ~3;
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;
  file.bfOffBits = sizeof file + sizeof info.bmiHeader;
  file.bfSize = file.bfOffBits + stride * h;
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(&file), sizeof file);
  out.write(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
  out.write(static_cast<const char*>(bits), stride * h);
  SelectObject(memory, old);
  DeleteObject(bitmap);
  DeleteDC(memory);
  ReleaseDC(nullptr, screen);
  return printed && out.good();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::puts("usage: window_probe SECONDS PORT [BITMAP]");
    return 2;
  }
  const DWORD wait_ms = static_cast<DWORD>(std::atoi(argv[1])) * 1000;
  const std::string port = argv[2];

  HWND top = nullptr;
  const DWORD start = GetTickCount();
  while ((top = FindWindowA(nullptr, kCaption)) == nullptr && GetTickCount() - start < wait_ms) {
    Sleep(100);
  }
  if (top == nullptr) {
    std::printf("no window captioned %s appeared\n", kCaption);
    return 1;
  }
  // The window exists while the form is still filling it; the program shows it once it is whole.
  // Give the first paint a moment.
  while (!IsWindowVisible(top) && GetTickCount() - start < wait_ms) Sleep(100);
  Sleep(500);

  int problems = 0;
  auto problem = [&problems](const std::string& text) {
    std::printf("%s\n", text.c_str());
    ++problems;
  };

  RECT client;
  GetClientRect(top, &client);
  if (client.right != 305 || client.bottom != 165) {
    problem("client area " + std::to_string(client.right) + " x " + std::to_string(client.bottom) +
            ", not 305 x 165");
  }
  if (!IsWindowVisible(top)) problem("the window is not visible");

  const std::vector<Child> children = ChildrenOf(top);
  for (const char* caption :
       {"Flashpost", "0%", "COM Port :", "Baud Rate :", "Scan ComPort", "OK"}) {
    const Child* c = Find(children, caption);
    if (c == nullptr) {
      problem(std::string("no control shows \"") + caption + "\"");
    } else if (!c->visible) {
      problem(std::string("\"") + caption + "\" is hidden");
    }
  }
  // The port list was filled from the registry when the window was made.
  bool port_listed = false;
  for (const Child& c : children) {
    if (lstrcmpiA(c.class_name.c_str(), "ComboBox") != 0 || !c.visible) continue;
    const LRESULT count = SendMessageA(c.hwnd, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
      // Wine carries this message's text to another process only in its wide form.
      wchar_t item[256] = {};
      if (SendMessageW(c.hwnd, CB_GETLBTEXTLEN, i, 0) < 256) {
        SendMessageW(c.hwnd, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(item));
      }
      port_listed = port_listed || std::wstring(port.begin(), port.end()) == item;
    }
  }
  if (!port_listed) {
    std::string lists;
    for (const Child& c : children) {
      if (lstrcmpiA(c.class_name.c_str(), "ComboBox") == 0 && c.visible) {
        lists += " " + std::to_string(SendMessageA(c.hwnd, CB_GETCOUNT, 0, 0));
      }
    }
    problem("no port list offers " + port + " (items in the visible lists:" + lists + ")");
  }

  // On top, so that the screen shows the window and nothing over it.
  SetForegroundWindow(top);
  Sleep(300);
  if (argc > 3 && !WriteBitmap(top, argv[3])) problem(std::string("cannot write ") + argv[3]);

  PostMessageA(top, WM_CLOSE, 0, 0);
  return problems == 0 ? 0 : 1;
}
