#include "gui/form_view.h"

#include <QAbstractButton>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QStringList>
#include <QTabWidget>
#include <algorithm>
#include <memory>

namespace flashpost::gui {

namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }

bool Is(std::string_view property, std::string_view name) {
  return property.empty() || property == name;
}

// Text colour for the states in which the operator reads it; disabled text keeps Qt's grey.
void SetTextColor(QWidget* w, QPalette::ColorRole role, ui::Color color) {
  QPalette palette = w->palette();
  palette.setColor(QPalette::Active, role, ToQColor(color));
  palette.setColor(QPalette::Inactive, role, ToQColor(color));
  w->setPalette(palette);
}

void SetFillColor(QWidget* w, QPalette::ColorRole role, ui::Color color) {
  QPalette palette = w->palette();
  palette.setColor(role, ToQColor(color));
  w->setPalette(palette);
}

void SetFontName(QWidget* w, const std::string& name) {
  QFont font = w->font();
  font.setFamilies({Q(name)});
  // Where the named face is not installed, fontconfig's nearest sans serif stands in.
  font.setStyleHint(QFont::SansSerif);
  w->setFont(font);
}

// The status bar: sunken panels of the given widths side by side; the last one runs to the
// right edge.
class StatusBarWidget final : public QFrame {
 public:
  using QFrame::QFrame;

  void SetPanels(const ui::StatusBar& model) {
    for (QLabel* panel : panels_) delete panel;
    panels_.clear();
    widths_.clear();
    for (int i = 0; i < model.PanelCount(); ++i) {
      auto* panel = new QLabel(this);
      panel->setObjectName(QString("%1.Panel%2").arg(Q(model.Name())).arg(i));
      panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
      panel->setTextFormat(Qt::PlainText);
      panel->setText(Q(model.PanelAt(i).text));
      panel->show();
      panels_.push_back(panel);
      widths_.push_back(model.PanelAt(i).width);
    }
    Layout();
  }
  void SetTexts(const ui::StatusBar& model) {
    for (int i = 0; i < model.PanelCount() && i < static_cast<int>(panels_.size()); ++i) {
      panels_[i]->setText(Q(model.PanelAt(i).text));
    }
  }

 protected:
  void resizeEvent(QResizeEvent* e) override {
    QFrame::resizeEvent(e);
    Layout();
  }

 private:
  void Layout() {
    int x = 0;
    for (size_t i = 0; i < panels_.size(); ++i) {
      int w = i + 1 == panels_.size() ? std::max(widths_[i], width() - x) : widths_[i];
      panels_[i]->setGeometry(x, 0, w, height());
      x += w;
    }
  }
  std::vector<QLabel*> panels_;
  std::vector<int> widths_;
};

// Keeps a status bar along the bottom of its parent, the whole width, at its own height.
class BottomDock final : public QObject {
 public:
  BottomDock(QWidget* bar, int height) : QObject(bar), bar_(bar), height_(height) {
    bar_->parentWidget()->installEventFilter(this);
    Place();
  }
  void SetHeight(int height) {
    height_ = height;
    Place();
  }
  bool eventFilter(QObject* watched, QEvent* e) override {
    if (watched == bar_->parentWidget() && e->type() == QEvent::Resize) Place();
    return false;
  }

 private:
  void Place() {
    QWidget* parent = bar_->parentWidget();
    bar_->setGeometry(0, parent->height() - height_, parent->width(), height_);
  }
  QWidget* bar_;
  int height_;
};

QString AskWithFileDialog(QWidget* parent, const QString& preset, const QString& filter) {
  return QFileDialog::getOpenFileName(parent, QString(), preset, filter);
}

}  // namespace

QColor ToQColor(ui::Color color) {
  return QColor(color & 0xFF, (color >> 8) & 0xFF, (color >> 16) & 0xFF);
}

QString QtFileFilter(const std::string& filter) {
  const QStringList parts = Q(filter).split('|');
  QStringList entries;
  for (int i = 0; i + 1 < parts.size(); i += 2) {
    QString description = parts[i].trimmed();
    if (!description.contains('(')) {
      description += " (" + parts[i + 1].split(';', Qt::SkipEmptyParts).join(' ') + ")";
    }
    entries.push_back(description);
  }
  return entries.join(";;");
}

FormView::FormView(ui::Control& root_model, QWidget& root_widget, ViewOptions options)
    : options_(std::move(options)), root_(root_widget) {
  if (!options_.ask_open_file) options_.ask_open_file = AskWithFileDialog;
  BuildChildren(root_model, &root_);
}

FormView::~FormView() {
  for (auto& [control, id] : observers_) control->RemoveObserver(id);
  for (ui::OpenDialog* dialog : dialogs_) dialog->Asker = nullptr;
}

QWidget* FormView::WidgetFor(const ui::Control& control) const {
  auto it = widgets_.find(&control);
  return it == widgets_.end() ? nullptr : it->second;
}

void FormView::Observe(ui::Control& model, ui::Control::Observer observer) {
  observers_.emplace_back(&model, model.AddObserver(std::move(observer)));
}

void FormView::Apply(const std::function<void()>& change) {
  ++applying_;
  change();
  --applying_;
}

void FormView::BuildChildren(ui::Control& model, QWidget* parent) {
  std::vector<QWidget*> status_bars;
  for (ui::Control* child : model.Children()) {
    QWidget* w = Build(*child, parent);
    if (w != nullptr && dynamic_cast<ui::StatusBar*>(child) != nullptr) status_bars.push_back(w);
  }
  // A status bar stays on top of whatever else reaches down to the bottom edge.
  for (QWidget* bar : status_bars) bar->raise();
}

QWidget* FormView::Build(ui::Control& model, QWidget* parent) {
  QWidget* w = MakeWidget(model, parent);
  if (w == nullptr) return nullptr;
  w->setObjectName(Q(model.Name()));
  widgets_[&model] = w;
  Place(model, w);
  if (auto* pages = dynamic_cast<ui::PageControl*>(&model)) {
    // The sheets were built as the tab widget's pages.
    for (ui::TabSheet* sheet : pages->Pages()) BuildChildren(*sheet, WidgetFor(*sheet));
  } else {
    BuildChildren(model, w);
  }
  return w;
}

void FormView::Place(ui::Control& model, QWidget* w) {
  // A page's place is its tab widget's business.
  const bool is_sheet = dynamic_cast<ui::TabSheet*>(&model) != nullptr;
  const bool is_status_bar = dynamic_cast<ui::StatusBar*>(&model) != nullptr;
  BottomDock* dock = is_status_bar ? new BottomDock(w, model.Geometry().height) : nullptr;
  auto sync = [this, w, is_sheet, dock](ui::Control& c, std::string_view property) {
    Apply([&] {
      if (Is(property, "geometry") && !is_sheet) {
        const ui::Rect& r = c.Geometry();
        if (dock != nullptr) {
          dock->SetHeight(r.height);
        } else {
          w->setGeometry(r.left, r.top, r.width, r.height);
        }
      }
      if (Is(property, "visible") && !is_sheet) w->setVisible(c.Visible());
      // Qt disables whatever lies inside a disabled widget, as the models do.
      if (Is(property, "enabled")) w->setEnabled(c.Enabled());
    });
  };
  sync(model, "");
  Observe(model, sync);
}

QButtonGroup* FormView::RadioGroupOf(QWidget* parent) {
  auto& group = radio_groups_[parent];
  if (group == nullptr) {
    group = new QButtonGroup(parent);
    group->setExclusive(true);
  }
  return group;
}

QWidget* FormView::MakeWidget(ui::Control& model, QWidget* parent) {
  if (auto* m = dynamic_cast<ui::Label*>(&model)) {
    auto* w = new QLabel(parent);
    w->setTextFormat(Qt::PlainText);
    w->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    w->setAutoFillBackground(true);
    auto sync = [this, w](ui::Control& c, std::string_view property) {
      auto& label = static_cast<ui::Label&>(c);
      Apply([&] {
        if (Is(property, "caption")) w->setText(Q(label.Caption()));
        if (Is(property, "fontColor")) SetTextColor(w, QPalette::WindowText, label.FontColor());
        if (Is(property, "backgroundColor")) {
          SetFillColor(w, QPalette::Window, label.BackgroundColor());
        }
        if (Is(property, "fontName")) SetFontName(w, label.FontName());
        if (Is(property, "wordWrap")) w->setWordWrap(label.WordWrap());
      });
    };
    sync(*m, "");
    Observe(*m, sync);
    return w;
  }

  if (auto* m = dynamic_cast<ui::Button*>(&model)) {
    auto* w = new QPushButton(parent);
    auto sync = [this, w](ui::Control& c, std::string_view property) {
      if (Is(property, "caption")) {
        Apply([&] { w->setText(Q(static_cast<ui::Button&>(c).Caption())); });
      }
    };
    sync(*m, "");
    Observe(*m, sync);
    QObject::connect(w, &QPushButton::clicked, [this, m] {
      if (!Applying()) m->Click();
    });
    return w;
  }

  if (auto* m = dynamic_cast<ui::Edit*>(&model)) {
    auto* w = new QLineEdit(parent);
    auto sync = [this, w](ui::Control& c, std::string_view property) {
      auto& edit = static_cast<ui::Edit&>(c);
      Apply([&] {
        // Only a real change: setText puts the cursor at the end, under the operator's typing.
        if (Is(property, "text") && w->text() != Q(edit.Text())) w->setText(Q(edit.Text()));
        if (Is(property, "readOnly")) w->setReadOnly(edit.ReadOnly());
        if (Is(property, "maxLength")) {
          w->setMaxLength(edit.MaxLength() > 0 ? edit.MaxLength() : 32767);
        }
        if (Is(property, "backgroundColor")) {
          SetFillColor(w, QPalette::Base, edit.BackgroundColor());
        }
      });
    };
    sync(*m, "");
    Observe(*m, sync);
    QObject::connect(w, &QLineEdit::textEdited, [this, w, m](const QString& text) {
      if (Applying()) return;
      m->SetText(S(text));
      if (w->text() != Q(m->Text())) Apply([&] { w->setText(Q(m->Text())); });
    });
    return w;
  }

  if (auto* m = dynamic_cast<ui::ComboBox*>(&model)) {
    auto* w = new QComboBox(parent);
    w->setEditable(true);
    w->setInsertPolicy(QComboBox::NoInsert);
    auto show_selection = [w](const ui::ComboBox& combo) {
      if (w->currentIndex() != combo.ItemIndex()) w->setCurrentIndex(combo.ItemIndex());
      if (w->currentText() != Q(combo.Text())) w->setEditText(Q(combo.Text()));
    };
    auto sync = [this, w, show_selection](ui::Control& c, std::string_view property) {
      auto& combo = static_cast<ui::ComboBox&>(c);
      Apply([&] {
        QSignalBlocker quiet(w);
        if (Is(property, "items")) {
          w->clear();
          for (const auto& item : combo.Items()) w->addItem(Q(item));
        }
        if (Is(property, "items") || Is(property, "text") || Is(property, "itemIndex")) {
          show_selection(combo);
        }
      });
    };
    sync(*m, "");
    Observe(*m, sync);
    QObject::connect(w->lineEdit(), &QLineEdit::textEdited, [this, m](const QString& text) {
      if (Applying()) return;
      m->SetText(S(text));
      if (m->OnChange) m->OnChange();
    });
    QObject::connect(w, &QComboBox::activated, [this, m, show_selection](int index) {
      if (Applying()) return;
      m->SetItemIndex(index);
      Apply([&] { show_selection(*m); });
      if (m->OnChange) m->OnChange();
    });
    return w;
  }

  if (auto* m = dynamic_cast<ui::CheckListBox*>(&model)) {
    auto* w = new QListWidget(parent);
    auto sync = [this, w](ui::Control& c, std::string_view property) {
      auto& list = static_cast<ui::CheckListBox&>(c);
      Apply([&] {
        QSignalBlocker quiet(w);
        if (Is(property, "items")) {
          w->clear();
          for (const auto& text : list.Items()) {
            auto* item = new QListWidgetItem(Q(text), w);
            item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
          }
        }
        if (Is(property, "items") || Is(property, "checked")) {
          for (int i = 0; i < w->count(); ++i) {
            w->item(i)->setCheckState(list.Checked(i) ? Qt::Checked : Qt::Unchecked);
          }
        }
      });
    };
    sync(*m, "");
    Observe(*m, sync);
    QObject::connect(w, &QListWidget::itemChanged, [this, w, m](QListWidgetItem* item) {
      if (Applying()) return;
      const int row = w->row(item);
      m->SetChecked(row, item->checkState() == Qt::Checked);
      const auto shown = m->Checked(row) ? Qt::Checked : Qt::Unchecked;
      if (item->checkState() != shown) Apply([&] { item->setCheckState(shown); });
    });
    return w;
  }

  if (auto* m = dynamic_cast<ui::CheckBox*>(&model)) {
    auto* w = new QCheckBox(parent);
    auto sync = [this, w](ui::Control& c, std::string_view property) {
      auto& box = static_cast<ui::CheckBox&>(c);
      Apply([&] {
        if (Is(property, "caption")) w->setText(Q(box.Caption()));
        if (Is(property, "checked")) w->setChecked(box.Checked());
      });
    };
    sync(*m, "");
    Observe(*m, sync);
    QObject::connect(w, &QCheckBox::clicked, [this, w, m] {
      if (Applying()) return;
      m->Click();
      // The model may have refused the click.
      Apply([&] { w->setChecked(m->Checked()); });
    });
    return w;
  }

  if (auto* m = dynamic_cast<ui::RadioButton*>(&model)) {
    auto* w = new QRadioButton(parent);
    QButtonGroup* group = RadioGroupOf(parent);
    group->addButton(w);
    auto set_checked = [w, group](bool checked) {
      // An exclusive group never lets its checked button go; the models may have none checked.
      group->setExclusive(false);
      w->setChecked(checked);
      group->setExclusive(true);
    };
    auto sync = [this, w, set_checked](ui::Control& c, std::string_view property) {
      auto& radio = static_cast<ui::RadioButton&>(c);
      Apply([&] {
        if (Is(property, "caption")) w->setText(Q(radio.Caption()));
        if (Is(property, "checked") && w->isChecked() != radio.Checked()) {
          set_checked(radio.Checked());
        }
      });
    };
    sync(*m, "");
    Observe(*m, sync);
    QObject::connect(w, &QRadioButton::clicked, [this, w, m, set_checked] {
      if (Applying()) return;
      m->Click();
      if (w->isChecked() != m->Checked()) Apply([&] { set_checked(m->Checked()); });
    });
    return w;
  }

  if (auto* m = dynamic_cast<ui::Memo*>(&model)) {
    auto* w = new QPlainTextEdit(parent);
    w->setReadOnly(true);
    w->setLineWrapMode(QPlainTextEdit::NoWrap);
    w->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    auto shown = std::make_shared<int>(0);  // lines the widget holds
    auto sync = [this, w, shown](ui::Control& c, std::string_view property) {
      if (!Is(property, "lines")) return;
      auto& memo = static_cast<ui::Memo&>(c);
      Apply([&] {
        if (memo.LineCount() == *shown + 1) {
          // The common case, a line added: no rebuild of a long traffic log.
          w->appendPlainText(Q(memo.Lines().back()));
        } else {
          QStringList lines;
          for (const auto& line : memo.Lines()) lines.push_back(Q(line));
          w->setPlainText(lines.join('\n'));
        }
        *shown = memo.LineCount();
      });
    };
    sync(*m, "");
    Observe(*m, sync);
    return w;
  }

  if (auto* m = dynamic_cast<ui::ProgressBar*>(&model)) {
    auto* w = new QProgressBar(parent);
    w->setTextVisible(false);
    auto sync = [this, w](ui::Control& c, std::string_view property) {
      auto& bar = static_cast<ui::ProgressBar&>(c);
      Apply([&] {
        if (Is(property, "range")) w->setRange(bar.Min(), bar.Max());
        if (Is(property, "range") || Is(property, "position")) w->setValue(bar.Position());
      });
    };
    sync(*m, "");
    Observe(*m, sync);
    return w;
  }

  if (auto* m = dynamic_cast<ui::StatusBar*>(&model)) {
    auto* w = new StatusBarWidget(parent);
    auto sync = [this, w](ui::Control& c, std::string_view property) {
      auto& bar = static_cast<ui::StatusBar&>(c);
      Apply([&] {
        if (Is(property, "panels")) w->SetPanels(bar);
        if (Is(property, "panelText")) w->SetTexts(bar);
      });
    };
    sync(*m, "");
    Observe(*m, sync);
    return w;
  }

  if (auto* m = dynamic_cast<ui::GroupBox*>(&model)) {
    auto* w = new QGroupBox(parent);
    auto sync = [this, w](ui::Control& c, std::string_view property) {
      if (Is(property, "caption")) {
        Apply([&] { w->setTitle(Q(static_cast<ui::GroupBox&>(c).Caption())); });
      }
    };
    sync(*m, "");
    Observe(*m, sync);
    return w;
  }

  if (auto* m = dynamic_cast<ui::PageControl*>(&model)) {
    auto* w = new QTabWidget(parent);
    const std::vector<ui::TabSheet*> sheets = m->Pages();
    for (ui::TabSheet* sheet : sheets) {
      auto* page = new QWidget;
      page->setObjectName(Q(sheet->Name()));
      // The form's face colour, as under the labels, rather than the style's lighter pane.
      page->setAutoFillBackground(true);
      w->addTab(page, Q(sheet->Caption()));
      widgets_[sheet] = page;
      Place(*sheet, page);
      auto sync = [this, w, page](ui::Control& c, std::string_view property) {
        auto& s = static_cast<ui::TabSheet&>(c);
        const int index = w->indexOf(page);
        Apply([&] {
          if (Is(property, "caption")) w->setTabText(index, Q(s.Caption()));
          if (Is(property, "tabVisible") || Is(property, "visible")) {
            w->setTabVisible(index, options_.show_hidden_tabs || (s.TabVisible() && s.Visible()));
          }
        });
      };
      sync(*sheet, "");
      Observe(*sheet, sync);
    }
    auto show_active = [this, w](ui::Control& c, std::string_view property) {
      if (!Is(property, "activePage")) return;
      ui::TabSheet* active = static_cast<ui::PageControl&>(c).ActivePage();
      if (QWidget* page = active != nullptr ? WidgetFor(*active) : nullptr) {
        Apply([&] { w->setCurrentWidget(page); });
      }
    };
    show_active(*m, "");
    Observe(*m, show_active);
    QObject::connect(w, &QTabWidget::currentChanged, [this, m, sheets](int index) {
      if (Applying() || index < 0 || index >= static_cast<int>(sheets.size())) return;
      m->SetActivePage(sheets[index]);
    });
    return w;
  }

  if (auto* m = dynamic_cast<ui::OpenDialog*>(&model)) {
    // No widget: the dialog appears only while Execute asks.
    m->Asker = [this](ui::OpenDialog& dialog) {
      QString name =
          options_.ask_open_file(&root_, Q(dialog.FileName()), QtFileFilter(dialog.Filter()));
      if (name.isEmpty()) return false;
      dialog.SetFileName(S(name));
      return true;
    };
    dialogs_.push_back(m);
    return nullptr;
  }

  return nullptr;
}

}  // namespace flashpost::gui
