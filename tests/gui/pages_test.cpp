// The engineering view's multi-port, C/N0 and terminal pages as the operator sees them: each page
// grabbed as a picture and checked by its group captions, by its layout, and by a slot box that
// shows a finished run. FLASHPOST_WRITE_DOCS=<folder> also writes the two slot pages' pictures
// there (mcd-page.png, cno-page.png), as kept in the repository's docs.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDir>
#include <QFontMetrics>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionGroupBox>
#include <QTabWidget>
#include <QTest>
#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "board/colors.h"
#include "download/port_selection.h"
#include "gui/desktop.h"
#include "platform/clock.h"
#include "support/fake_serial.h"

namespace flashpost::gui {
namespace {

std::string S(const QString& s) { return s.toStdString(); }

// The text a widget shows in one line, where it has one.
QString ShownText(const QWidget* w) {
  if (auto* label = qobject_cast<const QLabel*>(w)) return label->text();
  if (auto* button = qobject_cast<const QAbstractButton*>(w)) return button->text();
  return {};
}

// Room for that text: a label's contents, a button's face less its margins and, for a check or
// radio box, its indicator.
int TextRoom(const QWidget* w) {
  if (auto* label = qobject_cast<const QLabel*>(w)) return label->contentsRect().width();
  if (qobject_cast<const QPushButton*>(w) != nullptr) {
    return w->width() - 2 * w->style()->pixelMetric(QStyle::PM_ButtonMargin);
  }
  if (qobject_cast<const QAbstractButton*>(w) != nullptr) {
    return w->width() - w->style()->pixelMetric(QStyle::PM_IndicatorWidth) -
           w->style()->pixelMetric(QStyle::PM_CheckBoxLabelSpacing);
  }
  return 0;
}

// Where the style writes a group's caption, in the group's own coordinates.
QRect CaptionArea(const QGroupBox* group) {
  QStyleOptionGroupBox option;
  option.initFrom(group);
  option.text = group->title();
  option.lineWidth = 1;
  option.textAlignment = group->alignment();
  option.subControls = QStyle::SC_GroupBoxFrame | QStyle::SC_GroupBoxLabel;
  option.features = group->isFlat() ? QStyleOptionFrame::Flat : QStyleOptionFrame::None;
  return group->style()->subControlRect(QStyle::CC_GroupBox, &option, QStyle::SC_GroupBoxLabel,
                                        group);
}

// What the screenshot shows wrong under `root`: a control reaching outside the widget it lies
// in, a one-line text wider than its control, a group caption cut by the group's edge or covered
// by a control of the group, two controls of one parent over each other. Each fault names the
// controls by their form names.
std::vector<std::string> LayoutFaults(QWidget* root) {
  std::vector<std::string> faults;
  QList<QWidget*> all = root->findChildren<QWidget*>();
  all.push_back(root);
  auto shown = [root](const QWidget* w) {
    return !w->objectName().isEmpty() && (w == root || w->isVisibleTo(root));
  };
  for (QWidget* w : all) {
    if (!shown(w)) continue;
    const std::string name = S(w->objectName());
    QWidget* parent = w->parentWidget();
    if (w != root && !parent->rect().contains(w->geometry())) {
      faults.push_back(name + " reaches outside " + S(parent->objectName()));
    }
    const QString text = ShownText(w);
    auto* wrapped = qobject_cast<QLabel*>(w);
    if (wrapped != nullptr && wrapped->wordWrap()) {
      if (!text.isEmpty() && wrapped->heightForWidth(wrapped->width()) > wrapped->height()) {
        faults.push_back(name + "'s text \"" + S(text) + "\" runs past its last line");
      }
    } else if (!text.isEmpty() && w->fontMetrics().horizontalAdvance(text) > TextRoom(w)) {
      faults.push_back(name + "'s text \"" + S(text) + "\" is clipped");
    }
    auto* group = qobject_cast<QGroupBox*>(w);
    if (group == nullptr || group->title().isEmpty()) continue;
    const QRect caption = CaptionArea(group);
    if (!group->rect().contains(caption)) {
      faults.push_back(name + "'s caption \"" + S(group->title()) + "\" is clipped");
    }
    for (QWidget* child : group->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      // A pixel row shared with the caption's padding hides nothing of its letters.
      if (shown(child) && child->geometry().intersected(caption).height() > 2) {
        faults.push_back(S(child->objectName()) + " covers the caption of " + name);
      }
    }
  }
  for (qsizetype i = 0; i < all.size(); ++i) {
    for (qsizetype j = i + 1; j < all.size(); ++j) {
      const QWidget* w = all[i];
      const QWidget* other = all[j];
      if (w == root || other == root || !shown(w) || !shown(other)) continue;
      if (other->parentWidget() == w->parentWidget() &&
          w->geometry().intersects(other->geometry())) {
        faults.push_back(S(w->objectName()) + " overlaps " + S(other->objectName()));
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

// A label's text colour as Qt names it.
std::string TextColor(const QWidget* w) {
  return S(w->palette().color(QPalette::WindowText).name());
}
constexpr const char* kGreenText = "#008000";
constexpr const char* kRedText = "#ff0000";

// Pixels of text drawn in a colour on the light face, its edges blended into the face.
bool IsGreenInk(QRgb p) { return qGreen(p) > qRed(p) + 40 && qGreen(p) > qBlue(p) + 40; }
bool IsRedInk(QRgb p) { return qRed(p) > qGreen(p) + 60 && qRed(p) > qBlue(p) + 60; }
bool IsDarkInk(QRgb p) { return qRed(p) < 100 && qGreen(p) < 100 && qBlue(p) < 100; }
bool IsNavyInk(QRgb p) {
  return qRed(p) < 100 && qGreen(p) < 100 && qBlue(p) > qRed(p) + 40 && qBlue(p) <= 160;
}

class PagesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    WindowOptions options;
    options.all_pages = true;
    session_ = std::make_unique<DesktopSession>(clock_, serial_, options);
    session_->Window().show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&session_->Window()));
  }
  void TearDown() override {
    if (session_) session_->Window().close();
    session_.reset();
  }

  MainWindow& window() { return session_->Window(); }
  app::TMainForm& form() { return session_->Application().Form(); }
  app::PortBoard& board() { return session_->Application().Board(); }

  // Brings the page's tab to the front and lets it paint.
  QWidget* ShowPage(const char* name) {
    auto* tabs = window().findChild<QTabWidget*>("PageControl1");
    if (tabs == nullptr) return nullptr;
    auto* page = tabs->findChild<QWidget*>(name);
    if (page == nullptr) return nullptr;
    tabs->setCurrentWidget(page);
    QCoreApplication::processEvents();
    return page;
  }

  template <class W>
  W* Find(const char* name) {
    W* w = window().findChild<W*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  // The window as it is now, kept in the test's temporary folder and, when asked for, in the
  // documentation folder.
  QImage Shoot(const QString& file, bool for_docs) {
    const QImage shot = window().grab().toImage();
    const QString kept =
        QDir(QString::fromStdString(::testing::TempDir())).filePath("flashpost-" + file);
    EXPECT_TRUE(shot.save(kept)) << S(kept);
    const QString docs = qEnvironmentVariable("FLASHPOST_WRITE_DOCS");
    if (for_docs && !docs.isEmpty()) {
      EXPECT_TRUE(shot.save(QDir(docs).filePath(file))) << S(docs);
    }
    return shot;
  }

  // The widget's place in the window's picture.
  QRect AreaOf(const QWidget* w) { return {w->mapTo(&window(), QPoint(0, 0)), w->size()}; }

  int CountPixels(const QImage& shot, const QRect& area, const std::function<bool(QRgb)>& is) {
    int n = 0;
    for (int y = area.top(); y <= area.bottom(); ++y) {
      for (int x = area.left(); x <= area.right(); ++x) n += is(shot.pixel(x, y));
    }
    return n;
  }

  int CountPixelsOutside(const QImage& shot, const QRect& area,
                         const std::function<bool(QRgb)>& is) {
    return CountPixels(shot, shot.rect(), is) - CountPixels(shot, area, is);
  }

  // How far along a progress bar its fill reaches, 0 to 1: the share of its middle row that
  // differs from the same row of an empty bar of the same size.
  double FilledShare(const QImage& shot, const QProgressBar* bar, const QProgressBar* empty) {
    const QRect area = AreaOf(bar);
    const QRect groove = AreaOf(empty);
    const int row = area.height() / 2;
    int filled = 0;
    for (int x = 0; x < area.width(); ++x) {
      filled += shot.pixel(area.left() + x, area.top() + row) !=
                shot.pixel(groove.left() + x, groove.top() + row);
    }
    return static_cast<double>(filled) / area.width();
  }

  // Shown whole in the window, not under another control.
  void ExpectInSight(const QWidget* w) {
    const QRect area = AreaOf(w);
    EXPECT_TRUE(w->isVisible()) << S(w->objectName());
    EXPECT_TRUE(window().rect().contains(area)) << S(w->objectName()) << " lies in the window";
    const QWidget* top = window().childAt(area.center());
    EXPECT_TRUE(top == w || w->isAncestorOf(top))
        << S(w->objectName()) << " is under " << (top ? S(top->objectName()) : "nothing");
  }

  std::vector<std::string> VisibleGroupTitles(QWidget* page) {
    std::vector<std::string> titles;
    for (auto* group : page->findChildren<QGroupBox*>()) {
      if (group->isVisibleTo(&window())) titles.push_back(S(group->title()));
    }
    return titles;
  }

  void ExpectGroups(QWidget* page, const std::vector<std::string>& expected) {
    const std::vector<std::string> shown = VisibleGroupTitles(page);
    for (const std::string& title : expected) {
      EXPECT_NE(std::find(shown.begin(), shown.end(), title), shown.end())
          << S(page->objectName()) << " lacks the group \"" << title << "\"";
    }
  }

  platform::ScaledClock clock_{20.0};
  testing::FakeSerialSystem serial_{{"/dev/ttyUSB0", "/dev/ttyUSB1"}};
  std::unique_ptr<DesktopSession> session_;
};

// The multi-port page after a run in which the module of slot 2 took its firmware: its box says
// so in green over a full bar, with the port's name as its caption; the other boxes still wait.
TEST_F(PagesTest, McdPageShowsAFinishedSlotInItsBox) {
  QWidget* page = ShowPage("McdPage");
  ASSERT_NE(page, nullptr);
  ExpectGroups(page, {"Download  Status ", "Com Port List", "Open File", "Run MCD Downloader",
                      "Message", "Update Option"});
  auto& mcd = form().McdPage;
  mcd.ComPortList.SetItems({"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"});
  for (int i = 0; i < 3; ++i) mcd.ComPortList.SetChecked(i, true);
  mcd.CollectSelectedPorts();
  mcd.ShowSelectedPorts();
  // What a slot's successful update leaves on the board.
  board().StatusColor[2].store(app::kGreen);
  board().StatusText[2].Set(" FW(AP) update OK!(OK)");
  board().ProgressPercent[2].store(100);
  form().RefreshBoard();
  QCoreApplication::processEvents();

  auto* box = Find<QGroupBox>("GroupBox5");
  auto* status = Find<QLabel>("Label3");
  auto* percent = Find<QLabel>("Label4");
  auto* bar = Find<QProgressBar>("ProgressBar3");
  auto* waiting = Find<QLabel>("Label5");  // slot 3
  auto* empty_bar = Find<QProgressBar>("ProgressBar4");
  auto* panel = Find<QLabel>("StatusBar1.Panel1");
  ASSERT_TRUE(box && status && percent && bar && waiting && empty_bar && panel);
  EXPECT_EQ(S(box->title()), "/dev/ttyUSB2");
  EXPECT_EQ(S(status->text()), " FW(AP) update OK!(OK)");
  EXPECT_EQ(TextColor(status), kGreenText);
  EXPECT_EQ(S(percent->text()), "100%");
  EXPECT_EQ(bar->maximum(), 100);
  EXPECT_EQ(bar->value(), 100);
  EXPECT_EQ(S(waiting->text()), "Select file to be transferred");
  EXPECT_EQ(S(panel->text()), "Selected Com Port : /dev/ttyUSB0/dev/ttyUSB1/dev/ttyUSB2");
  EXPECT_TRUE(LayoutFaults(page).empty()) << Joined(LayoutFaults(page));

  const QImage shot = Shoot("mcd-page.png", /*for_docs=*/true);
  for (const QWidget* w : {static_cast<QWidget*>(status), static_cast<QWidget*>(percent),
                           static_cast<QWidget*>(bar)}) {
    ExpectInSight(w);
  }
  EXPECT_GT(CountPixels(shot, AreaOf(status), IsGreenInk), 20) << "the text is green";
  EXPECT_EQ(CountPixelsOutside(shot, AreaOf(status), IsGreenInk), 0)
      << "and nothing else on the page is";
  EXPECT_GT(CountPixels(shot, AreaOf(waiting), IsNavyInk), 20) << "the waiting slots stay navy";
  EXPECT_GT(FilledShare(shot, bar, empty_bar), 0.95) << "the bar is full to its end";
}

// The C/N0 page after its judging: slot 3 passed on satellite 12 at 45 dB-Hz, slot 1 failed at
// 30 dB-Hz; each box shows its verdict and C/N0 in the verdict's colour over a bar on the
// page's 0..55 scale.
// Every text Start can leave on the message line is shown whole.
TEST_F(PagesTest, McdMessageLineHoldsEveryRefusal) {
  QWidget* page = ShowPage("McdPage");
  ASSERT_NE(page, nullptr);
  for (const char* text :
       {"Cannot open file!(NG)", "File size is not 512KB!(NG)", "File size is not 8KB!(NG)",
        "File size is over 480K or small than 470K!(NG)",
        "Waiting Time must be a whole number of ms!(NG)", "Please re-select Com Port",
        "Please make sure Ref. GPS on VBI mode!", " Error !( Com Port can't over 8 ports)",
        " No Com Port Selected !", "Please Open Ref. GPS! ", "Downloading....", "Testing...."}) {
    board().MessageColor.store(app::kRed);
    board().MessageText.Set(text);
    form().RefreshBoard();
    QCoreApplication::processEvents();
    EXPECT_TRUE(LayoutFaults(page).empty()) << Joined(LayoutFaults(page));
  }
}

TEST_F(PagesTest, CnoPageShowsTheVerdictsInTheSlotBoxes) {
  QWidget* page = ShowPage("CnoPage");
  ASSERT_NE(page, nullptr);
  ExpectGroups(page, {"C/N0 Status", "Com Port List", "Limitation Setting", "Message",
                      "Baud Rate Setting", "Test Option", "Customer ID Setting"});
  auto& cno = form().CnoPage;
  const std::vector<std::string> ports = {"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2",
                                          "/dev/ttyUSB3"};
  cno.CheckListBox1.SetItems(ports);
  for (int i = 0; i < 4; ++i) cno.CheckListBox1.SetChecked(i, true);
  download::SlotBoxes boxes{};
  for (int slot = 0; slot < app::kModuleSlotCount; ++slot) boxes[slot] = &cno.SlotBox(slot);
  download::CollectSelectedPorts(board(), cno.CheckListBox1, boxes, ports.size());
  download::ShowSelectedPorts(board(), form().StatusBar1);
  // What the judging leaves: the sorted satellites and each slot's verdict.
  cno.SortedSatPrn[3][0] = 12;
  cno.SortedSatSnr[3][0] = 45;
  cno.SortedSatPrn[3][1] = 5;
  cno.SortedSatSnr[3][1] = 38;
  board().TestStatusColor[3].store(app::kGreen);
  board().TestStatusText[3].Set("SV 12 : Pass!");
  cno.SortedSatPrn[1][0] = 7;
  cno.SortedSatSnr[1][0] = 30;
  board().TestStatusColor[1].store(app::kRed);
  board().TestStatusText[1].Set("SV 7 : Fail!");
  cno.RefreshTestPage();
  QCoreApplication::processEvents();

  auto* box = Find<QGroupBox>("GroupBox28");
  auto* passed = Find<QLabel>("Label43");
  auto* passed_cno = Find<QLabel>("Label44");
  auto* passed_bar = Find<QProgressBar>("ProgressBar12");
  auto* failed = Find<QLabel>("Label39");
  auto* failed_cno = Find<QLabel>("Label40");
  auto* failed_bar = Find<QProgressBar>("ProgressBar10");
  auto* idle = Find<QLabel>("Label47");  // slot 5, not selected
  auto* idle_cno = Find<QLabel>("Label48");
  auto* empty_bar = Find<QProgressBar>("ProgressBar14");
  ASSERT_TRUE(box && passed && passed_cno && passed_bar && failed && failed_cno && failed_bar &&
              idle && idle_cno && empty_bar);
  EXPECT_EQ(S(box->title()), "/dev/ttyUSB3");
  EXPECT_EQ(S(passed->text()), "SV 12 : Pass!");
  EXPECT_EQ(TextColor(passed), kGreenText);
  EXPECT_EQ(S(passed_cno->text()), "45dBHz");
  EXPECT_EQ(TextColor(passed_cno), kGreenText);
  EXPECT_EQ(passed_bar->maximum(), 55);
  EXPECT_EQ(passed_bar->value(), 45);
  EXPECT_EQ(S(failed->text()), "SV 7 : Fail!");
  EXPECT_EQ(TextColor(failed), kRedText);
  EXPECT_EQ(S(failed_cno->text()), "30dBHz");
  EXPECT_EQ(failed_bar->value(), 30);
  EXPECT_EQ(S(idle->text()), "Testing C/No");
  EXPECT_EQ(S(idle_cno->text()), "0dBHz");
  EXPECT_TRUE(LayoutFaults(page).empty()) << Joined(LayoutFaults(page));

  const QImage shot = Shoot("cno-page.png", /*for_docs=*/true);
  for (const QWidget* w : {static_cast<QWidget*>(passed), static_cast<QWidget*>(passed_cno),
                           static_cast<QWidget*>(passed_bar)}) {
    ExpectInSight(w);
  }
  const QRect verdict = AreaOf(passed).united(AreaOf(passed_cno));
  EXPECT_GT(CountPixels(shot, AreaOf(passed), IsGreenInk), 20);
  EXPECT_GT(CountPixels(shot, AreaOf(passed_cno), IsGreenInk), 10);
  EXPECT_EQ(CountPixelsOutside(shot, verdict, IsGreenInk), 0) << "green belongs to slot 3";
  EXPECT_GT(CountPixels(shot, AreaOf(failed), IsRedInk), 20);
  EXPECT_GT(CountPixels(shot, AreaOf(idle), IsNavyInk), 20);
  // The bars run to 55 dB-Hz: 45 fills about four fifths, 30 a little over half.
  EXPECT_NEAR(FilledShare(shot, passed_bar, empty_bar), 45.0 / 55, 0.05);
  EXPECT_NEAR(FilledShare(shot, failed_bar, empty_bar), 30.0 / 55, 0.05);
}

// The terminal page's flash eraser before a Start: its buttons, its caption asking for the
// Start button and its empty memo, all whole inside the group.
TEST_F(PagesTest, TerminalPageShowsTheFlashEraserWaitingForStart) {
  QWidget* page = ShowPage("TerminalPage");
  ASSERT_NE(page, nullptr);
  ExpectGroups(page, {"Com Port Setting", "Flash Eraser"});
  auto* group = Find<QGroupBox>("FlashEraserGroup");
  auto* start = Find<QPushButton>("SpeedButton3");
  auto* stop = Find<QPushButton>("Button4");
  auto* caption = Find<QLabel>("Label21");
  auto* memo = Find<QPlainTextEdit>("Memo2");
  ASSERT_TRUE(group && start && stop && caption && memo);
  EXPECT_EQ(S(group->title()), "Flash Eraser");
  EXPECT_EQ(S(caption->text()), "Press Start Button.......");
  EXPECT_EQ(S(start->text()), "Start");
  EXPECT_EQ(S(stop->text()), "Stop");
  EXPECT_TRUE(start->isEnabled()) << "the terminal port is closed: the eraser may start";
  EXPECT_TRUE(memo->isReadOnly());
  EXPECT_TRUE(memo->toPlainText().isEmpty());
  EXPECT_TRUE(page->rect().contains(group->geometry()));
  EXPECT_TRUE(LayoutFaults(group).empty()) << Joined(LayoutFaults(group));

  const QImage shot = Shoot("terminal-page.png", /*for_docs=*/false);
  for (const QWidget* w : {static_cast<QWidget*>(start), static_cast<QWidget*>(stop),
                           static_cast<QWidget*>(caption), static_cast<QWidget*>(memo)}) {
    ExpectInSight(w);
  }
  EXPECT_GT(CountPixels(shot, AreaOf(caption), IsDarkInk), 20) << "the caption is written";
}
}  // namespace
}  // namespace flashpost::gui
