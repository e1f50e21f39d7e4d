#pragma once

#include <functional>
#include <memory>
#include <string>

#include "ui/control.h"
#include "win32/form_view.h"
#include "win32/windows_api.h"

namespace flashpost::win32 {

struct WindowOptions {
  // The engineering view: every page's tab, and a window large enough for a whole page.
  bool all_pages = false;
  ViewOptions view;
  // Every slot verdict is appended to this file as one JSON line; empty: nothing is stored.
  std::string record_path;
};

// The desktop window of a form: its caption, its client size (fixed when the form's border is),
// a title bar with the system menu and the minimise button only when the form asks for that,
// and the form's controls through a FormView. Closing it runs on_close once and hides it; the
// window itself goes with this object. Made hidden: Show puts it on the screen.
class MainWindow {
 public:
  MainWindow(ui::Form& form, std::function<void()> on_close, WindowOptions options = {});
  ~MainWindow();
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  // Null when the system refused to make the window; CreateError says why.
  HWND Handle() const { return window_; }
  DWORD CreateError() const { return create_error_; }
  // Null when there is no window.
  FormView* View() { return view_.get(); }

  void Show(int how = SW_SHOWNORMAL);
  // What the close box does.
  void Close();

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam);
  LRESULT HandleMessage(UINT message, WPARAM wparam, LPARAM lparam);
  // The window's style as the form's border asks for it.
  DWORD Style() const;
  void ApplyFormSize();

  ui::Form& form_;
  std::function<void()> on_close_;
  WindowOptions options_;
  HWND window_ = nullptr;
  DWORD create_error_ = 0;
  int observer_ = 0;
  bool closing_ = false;
  std::unique_ptr<FormView> view_;  // goes before the window: it destroys its controls
};

}  // namespace flashpost::win32
