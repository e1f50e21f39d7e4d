#pragma once

#include <QWidget>
#include <functional>
#include <memory>

#include "gui/form_view.h"
#include "ui/control.h"

class QCloseEvent;

namespace flashpost::gui {

struct WindowOptions {
  // The engineering view: every page's tab, and a window large enough for a whole page.
  bool all_pages = false;
  ViewOptions view;
  // Every slot verdict is appended to this file as one JSON line; empty: nothing is stored.
  std::string record_path;
};

// The desktop window of a form: its caption, its client size (fixed when the form's border is),
// a title bar with the system menu and the minimise button only, and the form's controls through
// a FormView. Closing it runs on_close first.
class MainWindow final : public QWidget {
 public:
  MainWindow(ui::Form& form, std::function<void()> on_close, WindowOptions options = {});
  ~MainWindow() override;

  FormView& View() { return *view_; }

  // The form's default font, "MS Sans Serif" at 8 points (11 pixels at 96 dpi).
  static constexpr const char* kFormFont = "MS Sans Serif";
  static constexpr int kFormFontPixels = 11;
  // The form's face colour (clBtnFace), under every control that does not paint its own.
  static constexpr ui::Color kFaceColor = 0xF0F0F0;

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void ApplyFormSize();

  ui::Form& form_;
  std::function<void()> on_close_;
  WindowOptions options_;
  int observer_ = 0;
  bool closing_ = false;
  std::unique_ptr<FormView> view_;  // before the child widgets go: it observes the models
};

}  // namespace flashpost::gui
