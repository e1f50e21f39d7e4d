#pragma once

#include <QColor>
#include <QString>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ui/control.h"

class QButtonGroup;
class QWidget;

namespace flashpost::gui {

// 0x00BBGGRR as the models keep it.
QColor ToQColor(ui::Color color);

// The form's filter, pairs of "description|patterns" joined by '|', as Qt's file dialogs take it:
// the descriptions joined by ";;" ("Binary File (*.bin)|*.bin|All Files (*.*)|*.*" becomes
// "Binary File (*.bin);;All Files (*.*)"). A description without its patterns in brackets gets
// them added, since Qt reads the patterns from there.
QString QtFileFilter(const std::string& filter);

struct ViewOptions {
  // The engineering view: every page's tab shows, whatever the form hides.
  bool show_hidden_tabs = false;
  // Asks the operator for a file to open: (dialog parent, preset file name, Qt filter); an empty
  // result means cancelled. A QFileDialog unless replaced.
  std::function<QString(QWidget*, const QString&, const QString&)> ask_open_file;
};

// A Qt Widgets view of a tree of control models: one widget per control of a kind it knows,
// placed at the control's geometry inside its parent's widget, named after the control, and kept
// in step with the model through observers. What the operator does to a widget (typing,
// selecting, ticking, clicking) goes to the model and its handler. The tree is walked once at
// construction; controls of other kinds (timers) get no widget, nor does anything inside them.
// The view must go before the models it observes; it must live on the main thread.
class FormView {
 public:
  // Builds widgets for every child of root_model inside root_widget.
  FormView(ui::Control& root_model, QWidget& root_widget, ViewOptions options = {});
  ~FormView();
  FormView(const FormView&) = delete;
  FormView& operator=(const FormView&) = delete;

  // The widget shown for a control, or nullptr.
  QWidget* WidgetFor(const ui::Control& control) const;

 private:
  void BuildChildren(ui::Control& model, QWidget* parent);
  // The widget for one control and its subtree; nullptr for a kind without one.
  QWidget* Build(ui::Control& model, QWidget* parent);
  QWidget* MakeWidget(ui::Control& model, QWidget* parent);
  void Place(ui::Control& model, QWidget* widget);
  void Observe(ui::Control& model, ui::Control::Observer observer);
  // Runs a change of the widgets that the model asked for; the widgets' signals it sets off are
  // not taken for the operator's input.
  void Apply(const std::function<void()>& change);
  bool Applying() const { return applying_ > 0; }
  QButtonGroup* RadioGroupOf(QWidget* parent);

  ViewOptions options_;
  QWidget& root_;
  std::map<const ui::Control*, QWidget*> widgets_;
  std::vector<std::pair<ui::Control*, int>> observers_;
  std::vector<ui::OpenDialog*> dialogs_;
  std::map<QWidget*, QButtonGroup*> radio_groups_;
  int applying_ = 0;
};

}  // namespace flashpost::gui
