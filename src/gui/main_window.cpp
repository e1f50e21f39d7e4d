#include "gui/main_window.h"

#include <QCloseEvent>
#include <QFont>
#include <QPalette>
#include <algorithm>

namespace flashpost::gui {

namespace {

// The title bar of a fixed dialog-like window: the system menu (which carries Close) and the
// minimise button, no maximise button, no resizing.
constexpr Qt::WindowFlags kFormFlags = Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                       Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                                       Qt::WindowCloseButtonHint;

}  // namespace

MainWindow::MainWindow(ui::Form& form, std::function<void()> on_close, WindowOptions options)
    : QWidget(nullptr, kFormFlags),
      form_(form),
      on_close_(std::move(on_close)),
      options_(std::move(options)) {
  setObjectName(QString::fromStdString(form_.Name()));
  QFont font(kFormFont);
  font.setStyleHint(QFont::SansSerif);
  font.setPixelSize(kFormFontPixels);
  setFont(font);
  QPalette palette = this->palette();
  palette.setColor(QPalette::Window, ToQColor(kFaceColor));
  setPalette(palette);
  setAutoFillBackground(true);

  setWindowTitle(QString::fromStdString(form_.Caption()));
  ApplyFormSize();
  observer_ = form_.AddObserver([this](ui::Control&, std::string_view property) {
    if (property == "caption") setWindowTitle(QString::fromStdString(form_.Caption()));
    if (property == "clientSize" || property == "border") ApplyFormSize();
  });

  options_.view.show_hidden_tabs = options_.view.show_hidden_tabs || options_.all_pages;
  view_ = std::make_unique<FormView>(form_, *this, options_.view);
}

MainWindow::~MainWindow() {
  form_.RemoveObserver(observer_);
  view_.reset();
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
  if (form_.FixedBorder()) {
    setFixedSize(width, height);
  } else {
    setMinimumSize(0, 0);
    setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
    resize(width, height);
  }
  Qt::WindowFlags flags = form_.MinimizeOnly() ? kFormFlags : Qt::WindowFlags(Qt::Window);
  if (windowFlags() != flags) setWindowFlags(flags);
}

void MainWindow::closeEvent(QCloseEvent* event) {
  // The form's close stops every worker and serves the loop a while; a second close request
  // arriving meanwhile must not start it again.
  if (!closing_) {
    closing_ = true;
    if (on_close_) on_close_();
  }
  event->accept();
}

}  // namespace flashpost::gui
