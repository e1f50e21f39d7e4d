#include "win32/main_window.h"

#include <algorithm>

namespace flashpost::win32 {

namespace {

constexpr const char* kWindowClass = "FlashpostMainWindow";

// The title bar of a fixed dialog-like window: the system menu (which carries Close) and the
// minimise button, no maximise button, no resizing.
constexpr DWORD kMinimizeOnlyStyle = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
// Tab and the arrow keys move between the controls, as in a dialog (see Win32Loop::Dispatch).
constexpr DWORD kExStyle = WS_EX_CONTROLPARENT;

void RegisterWindowClass(WNDPROC proc) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.hIcon = LoadIcon(nullptr, IDI_APPLICATION);
  wc.lpszClassName = kWindowClass;
  // A second window finds the class registered already, which is just as good.
  RegisterClassExA(&wc);
}

}  // namespace

MainWindow::MainWindow(ui::Form& form, std::function<void()> on_close, WindowOptions options)
    : form_(form), on_close_(std::move(on_close)), options_(std::move(options)) {
  InitCommonControlClasses();
  RegisterWindowClass(&MainWindow::WindowProc);
  window_ = CreateWindowExA(kExStyle, kWindowClass, form_.Caption().c_str(),
                            Style() | WS_CLIPCHILDREN, CW_USEDEFAULT, CW_USEDEFAULT, 0, 0, nullptr,
                            nullptr, GetModuleHandleA(nullptr), this);
  if (window_ == nullptr) {
    create_error_ = GetLastError();
    return;
  }
  ApplyFormSize();
  observer_ = form_.AddObserver([this](ui::Control&, std::string_view property) {
    if (property == "caption") SetWindowTextA(window_, form_.Caption().c_str());
    if (property == "clientSize" || property == "border") ApplyFormSize();
  });
  options_.view.show_hidden_tabs = options_.view.show_hidden_tabs || options_.all_pages;
  view_ = std::make_unique<FormView>(form_, window_, options_.view);
}

MainWindow::~MainWindow() {
  if (observer_ != 0) form_.RemoveObserver(observer_);
  view_.reset();
  if (window_ != nullptr) {
    SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
}

void MainWindow::Show(int how) {
  if (window_ == nullptr) return;
  ShowWindow(window_, how);
  UpdateWindow(window_);
}

void MainWindow::Close() {
  if (window_ != nullptr) SendMessageA(window_, WM_CLOSE, 0, 0);
}

DWORD MainWindow::Style() const {
  if (form_.MinimizeOnly()) return kMinimizeOnlyStyle;
  return form_.FixedBorder() ? WS_OVERLAPPEDWINDOW & ~(WS_THICKFRAME | WS_MAXIMIZEBOX)
                             : WS_OVERLAPPEDWINDOW;
}

void MainWindow::ApplyFormSize() {
  int width = form_.ClientWidth();
  int height = form_.ClientHeight();
  if (options_.all_pages) {
    // Room for everything the form places, with the status bars below it all.
    int right = 0, bottom = 0, bars = 0;
    for (ui::Control* child : form_.Children()) {
      const ui::Rect& r = child->Geometry();
      if (dynamic_cast<ui::StatusBar*>(child) != nullptr) {
        bars += r.height;
      } else {
        right = std::max(right, r.left + r.width);
        bottom = std::max(bottom, r.top + r.height);
      }
    }
    width = std::max(width, right);
    height = std::max(height, bottom + bars);
  }
  const DWORD style =
      (static_cast<DWORD>(GetWindowLongPtrA(window_, GWL_STYLE)) & ~WS_OVERLAPPEDWINDOW) | Style();
  SetWindowLongPtrA(window_, GWL_STYLE, style);
  RECT frame{0, 0, width, height};
  AdjustWindowRectEx(&frame, style, FALSE, kExStyle);
  SetWindowPos(window_, nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
               SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
}

LRESULT CALLBACK MainWindow::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<MainWindow*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  if (self == nullptr || self->window_ != window) {
    return DefWindowProcA(window, message, wparam, lparam);
  }
  return self->HandleMessage(message, wparam, lparam);
}

LRESULT MainWindow::HandleMessage(UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_CLOSE) {
    // The form's close stops every worker and serves the loop a while; a second close request
    // arriving meanwhile must not start it again. The window stays until this object goes, so
    // that the view never outlives its controls.
    if (!closing_) {
      closing_ = true;
      if (on_close_) on_close_();
    }
    ShowWindow(window_, SW_HIDE);
    return 0;
  }
  return DefWindowProcA(window_, message, wparam, lparam);
}

}  // namespace flashpost::win32
