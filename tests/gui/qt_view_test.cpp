// The Qt front end under the shared suites, and what is Qt's own: timers given back, filters,
// the window's end on SIGTERM.
#include <QTest>
#include <QtWidgets>
#include <csignal>
#include <fstream>
#include <optional>
#include <thread>

#include "conformance/loop_suite.h"
#include "conformance/view_probe.h"
#include "gui/desktop.h"
#include "gui/form_view.h"
#include "gui/qt_loop.h"
#include "platform/child_process.h"

namespace flashpost::conformance {
namespace {

QString Q(const std::string& s) { return QString::fromStdString(s); }
std::string S(const QString& s) { return s.toStdString(); }
ui::Rect R(const QRect& r) { return {r.x(), r.y(), r.width(), r.height()}; }

// Room for a one-line text; a push button's may run into its margins, not past its frame.
int TextRoom(const QWidget* w) {
  if (auto* label = qobject_cast<const QLabel*>(w)) return label->contentsRect().width();
  const QStyle* style = w->style();
  if (qobject_cast<const QPushButton*>(w) != nullptr)
    return w->width() - 2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth);
  return w->width() - style->pixelMetric(QStyle::PM_IndicatorWidth) -
         style->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
}

// Where the style writes a group's caption, in the group's own coordinates.
QRect CaptionArea(const QGroupBox* group) {
  QStyleOptionGroupBox option;
  option.initFrom(group);
  option.text = group->title();
  option.lineWidth = 1;
  option.textAlignment = group->alignment();
  option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
  return group->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel,
                                        group);
}

class QtProbe final : public ViewProbe {
 public:
  QtProbe() {
    options_.ask_open_file = [this](QWidget*, const QString& preset, const QString&) {
      ++asks;
      asked_preset = S(preset);
      return Q(answer);
    };
  }

  void Show(ui::Form& form, bool show_hidden_tabs) override {
    host_.emplace();
    host_->resize(500, 600);
    gui::ViewOptions options = options_;
    options.show_hidden_tabs = show_hidden_tabs;
    view_ = std::make_unique<gui::FormView>(form, *host_, options);
    host_->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&*host_));
  }
  app::Application& Open(platform::Clock& clock, platform::SerialSystem& serial,
                         bool all_pages) override {
    gui::WindowOptions options;
    options.all_pages = all_pages;
    options.view = options_;
    session_ = std::make_unique<gui::DesktopSession>(clock, serial, options);
    session_->Window().show();
    EXPECT_TRUE(QTest::qWaitForWindowExposed(&session_->Window()));
    return session_->Application();
  }
  ui::MainLoop& Loop() override { return session_->Loop(); }
  bool Close() override { return session_->Window().close() && !session_->Window().isVisible(); }
  void Drop() override {
    view_.reset();
    host_.reset();
    if (session_) session_->Window().close();
    session_.reset();
  }
  void ResizeHost(int width, int height) override {
    host_->resize(width, height);
    QCoreApplication::processEvents();
  }

  bool Exists(const ui::Control& c) override { return WidgetOf(c) != nullptr; }
  bool Shown(const ui::Control& c) override { return W(c)->isVisible(); }
  bool Enabled(const ui::Control& c) override { return W(c)->isEnabled(); }
  std::string Text(const ui::Control& c) override {
    for (const char* shown : {"text", "currentText", "title", "plainText"})
      if (const QVariant text = W(c)->property(shown); text.isValid()) return S(text.toString());
    return "?";
  }
  ui::Color TextColor(const ui::Control& c) override {
    const QColor color = W(c)->palette().color(QPalette::WindowText);
    return static_cast<ui::Color>(color.red() | color.green() << 8 | color.blue() << 16);
  }
  bool Checked(const ui::Control& c) override {
    return qobject_cast<QAbstractButton*>(W(c))->isChecked();
  }
  std::vector<std::string> Items(const ui::ComboBox& c) override {
    auto* combo = qobject_cast<QComboBox*>(W(c));
    std::vector<std::string> items;
    for (int i = 0; i < combo->count(); ++i) items.push_back(S(combo->itemText(i)));
    return items;
  }
  std::vector<bool> Ticks(const ui::CheckListBox& c) override {
    auto* list = qobject_cast<QListWidget*>(W(c));
    std::vector<bool> ticks;
    for (int i = 0; i < list->count(); ++i) ticks.push_back(list->item(i)->checkState());
    return ticks;
  }
  int Position(const ui::ProgressBar& c, bool maximum) override {
    auto* bar = qobject_cast<QProgressBar*>(W(c));
    return maximum ? bar->maximum() : bar->value();
  }
  std::string PanelText(const ui::StatusBar& c, int panel) override {
    auto* label = W(c)->findChild<QLabel*>(Q(c.Name() + ".Panel" + std::to_string(panel)));
    return label != nullptr ? S(label->text()) : "?";
  }
  std::vector<std::string> Tabs(const ui::PageControl& c) override {
    auto* tabs = qobject_cast<QTabWidget*>(W(c));
    std::vector<std::string> shown;
    for (int i = 0; i < tabs->count(); ++i)
      if (tabs->isTabVisible(i)) shown.push_back(S(tabs->tabText(i)));
    return shown;
  }
  Layout Measure(const ui::Control& c) override {
    QWidget* w = W(c);
    Layout l{w->isVisible(), w->parentWidget(), R(w->geometry()), R(w->parentWidget()->rect()),
             false,          ui::Rect{}};
    const bool captioned = qobject_cast<QLabel*>(w) || qobject_cast<QAbstractButton*>(w);
    const QString text = captioned ? Q(Text(c)) : QString();
    if (auto* label = qobject_cast<QLabel*>(w); label != nullptr && label->wordWrap())
      l.text_clipped = !text.isEmpty() && label->heightForWidth(w->width()) > w->height();
    else if (!text.isEmpty())
      l.text_clipped = w->fontMetrics().horizontalAdvance(text) > TextRoom(w);
    if (auto* group = qobject_cast<QGroupBox*>(w); group != nullptr && !group->title().isEmpty()) {
      l.caption = R(CaptionArea(group));
      l.text_clipped = !group->rect().contains(CaptionArea(group));
    }
    return l;
  }

  void Click(const ui::Control& c) override {
    QWidget* w = W(c);
    // Check boxes and radio buttons take a click on their indicator or their text only.
    const QPoint at =
        qobject_cast<QPushButton*>(w) ? w->rect().center() : QPoint(6, w->height() / 2);
    QTest::mouseClick(w, Qt::LeftButton, {}, at);
    QCoreApplication::processEvents();
  }
  void Type(const ui::Control& c, const std::string& keys) override {
    QWidget* w = W(c);
    auto* edit = qobject_cast<QLineEdit*>(w);
    if (edit == nullptr) edit = qobject_cast<QComboBox*>(w)->lineEdit();
    edit->selectAll();
    QTest::keyClicks(edit, Q(keys));
  }
  void Pick(const ui::ComboBox& c, int index) override {
    auto* combo = qobject_cast<QComboBox*>(W(c));
    combo->setFocus();
    for (int n = 0; n < combo->count() && combo->currentIndex() != index; ++n)
      QTest::keyClick(combo, combo->currentIndex() < index ? Qt::Key_Down : Qt::Key_Up);
  }
  void Tick(const ui::CheckListBox& c, int index, bool ticked) override {
    qobject_cast<QListWidget*>(W(c))->item(index)->setCheckState(ticked ? Qt::Checked
                                                                        : Qt::Unchecked);
  }
  void ClickTab(const ui::PageControl& c, int tab) override {
    QTabBar* bar = qobject_cast<QTabWidget*>(W(c))->tabBar();
    int index = -1;
    for (int shown = -1; shown < tab && index + 1 < bar->count();)
      shown += bar->isTabVisible(++index);
    QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(index).center());
    QCoreApplication::processEvents();
  }

 private:
  QWidget* WidgetOf(const ui::Control& c) {
    return session_ ? session_->Window().View().WidgetFor(c) : view_->WidgetFor(c);
  }
  QWidget* W(const ui::Control& c) {
    QWidget* w = WidgetOf(c);
    if (w == nullptr) ADD_FAILURE() << c.Name() << " has no widget";
    return w;
  }

  gui::ViewOptions options_;
  std::optional<QWidget> host_;
  std::unique_ptr<gui::FormView> view_;  // after the host: it goes first
  std::unique_ptr<gui::DesktopSession> session_;
};

std::unique_ptr<ViewProbe> MakeQtProbe() { return std::make_unique<QtProbe>(); }

INSTANTIATE_TEST_SUITE_P(Qt, ViewSuite, ::testing::Values(&MakeQtProbe));
INSTANTIATE_TYPED_TEST_SUITE_P(Qt, LoopSuite, gui::QtLoop);

// Counts the children that objects gain and lose; Qt drops the filter when it goes.
class ChildCount final : public QObject {
 public:
  ChildCount() { QCoreApplication::instance()->installEventFilter(this); }
  int live = 0;

 protected:
  bool eventFilter(QObject*, QEvent* e) override {
    live += (e->type() == QEvent::ChildAdded) - (e->type() == QEvent::ChildRemoved);
    return false;
  }
};

TEST(QtLoopTest, AStoppedTimerIsGivenBack) {
  platform::ScaledClock clock(20.0);
  gui::QtLoop loop(clock);
  ChildCount children;
  for (int round = 0; round < 3; ++round) loop.StopTimer(loop.StartTimer(100, [] {}));
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(children.live, 0) << "timers stopped for good still live";
}

TEST(QtViewTest, FiltersInQtsTerms) {
  EXPECT_EQ(gui::QtFileFilter("Binary File (*.bin)|*.bin|All Files (*.*)|*.*"),
            "Binary File (*.bin);;All Files (*.*)");
  EXPECT_EQ(gui::QtFileFilter("Images|*.bmp;*.png"), "Images (*.bmp *.png)");
}

// The window sent SIGTERM closes as its close box closes it and exits with 143.
TEST(WindowSignalTest, SigtermClosesTheWindowAndExitsWith143) {
  std::string error;
  auto child =
      platform::StartChildProcess({FLASHPOST_BINARY}, {"QT_QPA_PLATFORM=offscreen"}, error);
  ASSERT_NE(child, nullptr) << error;
  // Signalled once it catches SIGTERM, as its status tells.
  auto catches_sigterm = [&child] {
    std::ifstream status("/proc/" + std::to_string(child->Id()) + "/status");
    std::string line;
    while (std::getline(status, line) && !line.starts_with("SigCgt:")) continue;
    return !line.empty() && (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
  };
  for (int i = 0; i < 1000 && !catches_sigterm(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  child->Signal(SIGTERM);
  EXPECT_EQ(child->Wait(std::chrono::seconds(30)), 143) << child->Output();
  EXPECT_FALSE(child->EndedBySignal()) << "killed instead of closed";
}

}  // namespace
}  // namespace flashpost::conformance
