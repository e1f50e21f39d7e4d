#include <gtest/gtest.h>

#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <algorithm>
#include <string>
#include <vector>

#include "gui/desktop.h"
#include "platform/clock.h"
#include "support/fake_serial.h"

namespace flashpost::gui {
namespace {

class WindowTest : public ::testing::Test {
 protected:
  template <class W>
  W* Widget(DesktopSession& session, const char* name) {
    W* w = session.Window().findChild<W*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  platform::ScaledClock clock_{20.0};
  testing::FakeSerialSystem serial_{{"/dev/ttyUSB0", "/dev/ttyUSB1"}};
};

// Pixels of a glyph drawn in navy on silver, its edges blended into the silver.
bool IsNavyInk(QRgb p) {
  return qRed(p) < 100 && qGreen(p) < 100 && qBlue(p) > qRed(p) + 40 && qBlue(p) <= 160;
}
bool IsSilver(QRgb p) { return qRed(p) == 192 && qGreen(p) == 192 && qBlue(p) == 192; }

TEST_F(WindowTest, AtStartTheOperatorSeesTheAutomaticPage) {
  DesktopSession session(clock_, serial_);
  MainWindow& window = session.Window();
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

  EXPECT_EQ(window.windowTitle(), "FlashpostV103_KX420");
  EXPECT_EQ(window.size(), QSize(305, 165));
  EXPECT_EQ(window.minimumSize(), window.maximumSize()) << "a fixed border: no resizing";
  const Qt::WindowFlags flags = window.windowFlags();
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);

  auto* tabs = Widget<QTabWidget>(session, "PageControl1");
  ASSERT_NE(tabs, nullptr);
  ASSERT_EQ(tabs->count(), 4);
  EXPECT_EQ(tabs->size(), QSize(601, 681));
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(tabs->isTabVisible(i)) << tabs->tabText(i).toStdString();
  EXPECT_TRUE(tabs->isTabVisible(3));
  EXPECT_EQ(tabs->currentWidget()->objectName(), "AutoUpdatePage");

  auto* label63 = Widget<QLabel>(session, "Label63");
  auto* label64 = Widget<QLabel>(session, "Label64");
  auto* ports = Widget<QComboBox>(session, "ComboBox6");
  auto* bauds = Widget<QComboBox>(session, "ComboBox9");
  auto* ok = Widget<QPushButton>(session, "Button13");
  auto* scan = Widget<QPushButton>(session, "Button12");
  ASSERT_TRUE(label63 && label64 && ports && bauds && ok && scan);
  EXPECT_EQ(label63->text(), "Flashpost");
  EXPECT_EQ(label63->palette().color(QPalette::WindowText), QColor(0, 0, 128));
  EXPECT_EQ(label63->palette().color(QPalette::Window), QColor(192, 192, 192));
  EXPECT_EQ(label63->font().families().value(0), "Arial");
  EXPECT_FALSE(QFontInfo(label63->font()).family().isEmpty());
  EXPECT_EQ(ok->text(), "OK");
  EXPECT_EQ(scan->text(), "Scan ComPort");
  EXPECT_EQ(bauds->currentText(), "115200");
  ASSERT_EQ(ports->count(), 2) << "the design-time list is replaced by the port scan";
  EXPECT_EQ(ports->itemText(0), "/dev/ttyUSB0");
  EXPECT_EQ(ports->itemText(1), "/dev/ttyUSB1");

  session.Application().Form().RefreshBoard();
  EXPECT_EQ(label64->text(), "0%");
  EXPECT_EQ(label63->text(), "Flashpost") << "nothing written yet: the caption stays";

  auto* status = Widget<QWidget>(session, "StatusBar1");
  ASSERT_NE(status, nullptr);
  EXPECT_EQ(status->geometry(), QRect(0, 146, 305, 19));
  EXPECT_EQ(status->findChild<QLabel*>("StatusBar1.Panel0")->width(), 186);
  EXPECT_EQ(status->findChild<QLabel*>("StatusBar1.Panel1")->x(), 186);

  // The picture, kept as the build's artefact.
  const QImage shot = window.grab().toImage();
  EXPECT_TRUE(shot.save(FLASHPOST_GUI_ARTEFACT_DIR "/window.png"));
  ASSERT_EQ(shot.size(), QSize(305, 165));
  const QRect area(label63->mapTo(&window, QPoint(0, 0)), label63->size());
  ASSERT_TRUE(QRect(0, 0, 305, 146).contains(area)) << "Label63 lies in the client area";
  int silver = 0, navy = 0;
  for (int y = area.top(); y <= area.bottom(); ++y) {
    for (int x = area.left(); x <= area.right(); ++x) {
      silver += IsSilver(shot.pixel(x, y));
      navy += IsNavyInk(shot.pixel(x, y));
    }
  }
  const int pixels = area.width() * area.height();
  EXPECT_GT(silver, pixels / 2) << "Label63 is silver";
  EXPECT_GT(navy, 20) << "with navy text";
  // Navy belongs to the label: the window around it has none.
  int navy_elsewhere = 0;
  for (int y = 0; y < shot.height(); ++y) {
    for (int x = 0; x < shot.width(); ++x) {
      if (!area.contains(x, y)) navy_elsewhere += IsNavyInk(shot.pixel(x, y));
    }
  }
  EXPECT_EQ(navy_elsewhere, 0);
  window.close();
}

TEST_F(WindowTest, TheEngineeringViewShowsEveryPageWhole) {
  WindowOptions options;
  options.all_pages = true;
  DesktopSession session(clock_, serial_, options);
  MainWindow& window = session.Window();
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  EXPECT_EQ(window.size(), QSize(601, 681 + 19));
  auto* tabs = Widget<QTabWidget>(session, "PageControl1");
  ASSERT_NE(tabs, nullptr);
  for (int i = 0; i < tabs->count(); ++i) EXPECT_TRUE(tabs->isTabVisible(i)) << i;
  EXPECT_EQ(tabs->currentWidget()->objectName(), "AutoUpdatePage");
  EXPECT_EQ(Widget<QWidget>(session, "StatusBar1")->geometry(), QRect(0, 681, 601, 19));
  // The multi-port page's controls are there to be seen.
  auto* start = Widget<QPushButton>(session, "Button1");
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(start->text(), "Start");
  QImage shot = window.grab().toImage();
  EXPECT_TRUE(shot.save(FLASHPOST_GUI_ARTEFACT_DIR "/window-all-pages.png"));
  window.close();
}

// Each page of the engineering view, as a picture and by the captions of its groups.
TEST_F(WindowTest, EveryPageShowsItsGroups) {
  WindowOptions options;
  options.all_pages = true;
  DesktopSession session(clock_, serial_, options);
  MainWindow& window = session.Window();
  window.show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
  auto* tabs = Widget<QTabWidget>(session, "PageControl1");
  ASSERT_NE(tabs, nullptr);

  struct Expected {
    const char* page;
    std::vector<std::string> groups;
  };
  const std::vector<Expected> pages = {
      {"TerminalPage", {"Com Port Setting", "Terminal", "Terminal-Thread[0] ", "Flash Eraser"}},
      {"McdPage", {"Com Port List", "Update Option"}},
      {"AutoUpdatePage", {}},
  };
  for (const Expected& expected : pages) {
    auto* page = tabs->findChild<QWidget*>(expected.page);
    ASSERT_NE(page, nullptr) << expected.page;
    tabs->setCurrentWidget(page);
    QCoreApplication::processEvents();
    std::vector<std::string> shown;
    for (auto* group : page->findChildren<QGroupBox*>()) {
      if (group->isVisibleTo(&window)) shown.push_back(group->title().toStdString());
    }
    for (const std::string& title : expected.groups) {
      EXPECT_NE(std::find(shown.begin(), shown.end(), title), shown.end())
          << expected.page << " lacks the group \"" << title << "\"";
    }
    const QImage shot = window.grab().toImage();
    EXPECT_TRUE(shot.save(QString(FLASHPOST_GUI_ARTEFACT_DIR "/page-") + expected.page + ".png"));
    // A page that paints nothing but the face colour has lost its controls.
    int other = 0;
    for (int y = 30; y < shot.height() - 30; y += 3) {
      for (int x = 10; x < shot.width() - 10; x += 3) {
        other += shot.pixel(x, y) != shot.pixel(5, 40);
      }
    }
    EXPECT_GT(other, 100) << expected.page;
  }
  window.close();
}

TEST_F(WindowTest, ClosingTheWindowClosesTheApplication) {
  DesktopSession session(clock_, serial_);
  MainWindow& window = session.Window();
  window.show();
  auto& form = session.Application().Form();
  form.Timer1.SetTimerEnabled(true);
  ASSERT_EQ(serial_.Log("/dev/ttyUSB0")->opens.load(), 0);
  auto& board = session.Application().Board();
  form.AutoPage.ComboBox6.SetText("/dev/ttyUSB0");
  QTest::mouseClick(Widget<QPushButton>(session, "Button13"), Qt::LeftButton);
  ASSERT_EQ(board.ReadEnabled[0].load(), 1) << "OK opened the port for the probe";
  auto worker = board.Worker[0].Get();
  EXPECT_TRUE(window.close());
  EXPECT_TRUE(worker->Finished()) << "the close waits for the workers to leave";
  EXPECT_FALSE(form.Timer1.TimerEnabled());
  EXPECT_EQ(board.ReadEnabled[0].load(), 0);
  EXPECT_TRUE(session.Loop().IsShutDown());
  EXPECT_FALSE(window.isVisible());
}

}  // namespace
}  // namespace flashpost::gui
