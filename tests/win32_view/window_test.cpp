// The desktop window as the operator sees it: the form's caption, size and title bar, the
// automatic page at start, the engineering view's pages, and the close. Each picture is checked
// by its layout and by its pixels; with FLASHPOST_SCREENSHOT_DIR=<folder> the pictures are also
// kept there as BMP files (window.bmp, window-all-pages.bmp, page-<name>.bmp).
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "board/colors.h"
#include "platform/clock.h"
#include "support/fake_serial.h"
#include "win32/desktop_session.h"
#include "win32/native_control.h"
#include "win32_view/window_support.h"

namespace flashpost::win32 {
namespace {

using testing::CaptureClient;
using testing::Image;
using testing::RectIn;

// Pixels of a glyph drawn in navy on silver, its edges blended into the silver.
bool IsNavyInk(uint32_t p) {
  using namespace testing;
  return Red(p) < 100 && Green(p) < 100 && Blue(p) > Red(p) + 40 && Blue(p) <= 160;
}
bool IsSilver(uint32_t p) { return p == 0xC0C0C0; }

int CountPixels(const Image& shot, const RECT& area, const std::function<bool(uint32_t)>& is) {
  int n = 0;
  for (int y = std::max<int>(area.top, 0); y < std::min<int>(area.bottom, shot.height); ++y) {
    for (int x = std::max<int>(area.left, 0); x < std::min<int>(area.right, shot.width); ++x) {
      n += is(shot.At(x, y));
    }
  }
  return n;
}

int CountPixelsOutside(const Image& shot, const RECT& area,
                       const std::function<bool(uint32_t)>& is) {
  return CountPixels(shot, {0, 0, shot.width, shot.height}, is) - CountPixels(shot, area, is);
}

// How far along a progress bar its fill reaches, 0 to 1: the share of its middle row that
// differs from the same row when the bar was empty.
double FilledShare(const Image& shot, const Image& empty, const RECT& bar) {
  const int row = (bar.top + bar.bottom) / 2;
  int filled = 0;
  for (int x = bar.left; x < bar.right; ++x) filled += shot.At(x, row) != empty.At(x, row);
  return static_cast<double>(filled) / (bar.right - bar.left);
}

std::string TabText(HWND tabs, int i) {
  char text[128] = {};
  TCITEMA item{};
  item.mask = TCIF_TEXT;
  item.pszText = text;
  item.cchTextMax = sizeof(text);
  SendMessageA(tabs, TCM_GETITEMA, i, reinterpret_cast<LPARAM>(&item));
  return text;
}

// The operator's click on a tab.
void ClickTab(HWND tabs, int i) {
  RECT r;
  SendMessageA(tabs, TCM_GETITEMRECT, i, reinterpret_cast<LPARAM>(&r));
  const LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
  SendMessageA(tabs, WM_LBUTTONDOWN, MK_LBUTTON, at);
  SendMessageA(tabs, WM_LBUTTONUP, 0, at);
}

class WindowTest : public ::testing::Test {
 protected:
  // The session's window on the screen, painted.
  void Open(DesktopSession& session) {
    ASSERT_NE(session.Window().Handle(), nullptr);
    ASSERT_NE(session.Window().View(), nullptr);
    session.Window().Show(SW_SHOWNOACTIVATE);
    session.Loop().ProcessPending();
  }

  HWND Window(DesktopSession& session, const char* name) {
    HWND w = session.Window().View()->WindowNamed(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  platform::ScaledClock clock_{20.0};
  flashpost::testing::FakeSerialSystem serial_{{"COM3", "COM4"}};
};

TEST_F(WindowTest, AtStartTheOperatorSeesTheAutomaticPage) {
  DesktopSession session(clock_, serial_);
  Open(session);
  HWND window = session.Window().Handle();

  EXPECT_EQ(TextOf(window), "FlashpostV103_KX420");
  RECT client;
  GetClientRect(window, &client);
  EXPECT_EQ(client.right, 305);
  EXPECT_EQ(client.bottom, 165);
  const LONG_PTR style = GetWindowLongPtrA(window, GWL_STYLE);
  EXPECT_TRUE(style & WS_SYSMENU);
  EXPECT_TRUE(style & WS_MINIMIZEBOX);
  EXPECT_FALSE(style & WS_MAXIMIZEBOX);
  EXPECT_FALSE(style & WS_THICKFRAME) << "a fixed border: no resizing";

  HWND tabs = Window(session, "PageControl1");
  ASSERT_NE(tabs, nullptr);
  ASSERT_EQ(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 1) << "the other pages' tabs are hidden";
  EXPECT_EQ(TabText(tabs, 0), "AutoUpdatePage");
  const RECT tabs_area = RectIn(tabs, window);
  EXPECT_EQ(tabs_area.right - tabs_area.left, 601);
  EXPECT_EQ(tabs_area.bottom - tabs_area.top, 681);
  EXPECT_TRUE(IsWindowVisible(Window(session, "AutoUpdatePage")));
  for (const char* page : {"TerminalPage", "McdPage", "CnoPage"}) {
    EXPECT_FALSE(IsWindowVisible(Window(session, page))) << page;
  }

  HWND label63 = Window(session, "Label63");
  HWND label64 = Window(session, "Label64");
  HWND ports = Window(session, "ComboBox6");
  HWND bauds = Window(session, "ComboBox9");
  HWND ok = Window(session, "Button13");
  HWND scan = Window(session, "Button12");
  ASSERT_TRUE(label63 && label64 && ports && bauds && ok && scan);
  for (HWND w : {label63, label64, ports, bauds, ok, scan}) EXPECT_TRUE(IsWindowVisible(w));
  EXPECT_EQ(TextOf(label63), "Flashpost");
  EXPECT_EQ(TextOf(ok), "OK");
  EXPECT_EQ(TextOf(scan), "Scan ComPort");
  EXPECT_EQ(TextOf(bauds), "115200");
  ASSERT_EQ(SendMessageA(ports, CB_GETCOUNT, 0, 0), 2)
      << "the design-time list is replaced by the port scan";
  char port[32] = {};
  SendMessageA(ports, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(port));
  EXPECT_STREQ(port, "COM4");

  session.Application().Form().RefreshBoard();
  EXPECT_EQ(TextOf(label64), "0%");
  EXPECT_EQ(TextOf(label63), "Flashpost") << "nothing written yet: the caption stays";

  HWND status = Window(session, "StatusBar1");
  ASSERT_NE(status, nullptr);
  const RECT bar = RectIn(status, window);
  EXPECT_EQ(bar.left, 0);
  EXPECT_EQ(bar.top, 146);
  EXPECT_EQ(bar.right, 305);
  EXPECT_EQ(bar.bottom, 165);
  int edges[3] = {};
  ASSERT_EQ(SendMessageA(status, SB_GETPARTS, 3, reinterpret_cast<LPARAM>(edges)), 2);
  EXPECT_EQ(edges[0], 186);
  EXPECT_GE(edges[1], 305) << "the last panel runs to the right edge";
}

TEST_F(WindowTest, TheAutomaticPageAsAPicture) {
  DesktopSession session(clock_, serial_);
  Open(session);
  HWND window = session.Window().Handle();
  app::TMainForm& form = session.Application().Form();
  FormView& view = *session.Window().View();
  EXPECT_TRUE(testing::LayoutFaults(view, form.AutoPage.Sheet).empty())
      << testing::Joined(testing::LayoutFaults(view, form.AutoPage.Sheet));

  const Image shot = CaptureClient(window);
  EXPECT_TRUE(testing::KeepScreenshot(shot, "window"));
  ASSERT_EQ(shot.width, 305);
  ASSERT_EQ(shot.height, 165);
  const RECT label = RectIn(Window(session, "Label63"), window);
  const int pixels = (label.right - label.left) * (label.bottom - label.top);
  EXPECT_GT(CountPixels(shot, label, IsSilver), pixels / 2) << "Label63 is silver";
  EXPECT_GT(CountPixels(shot, label, IsNavyInk), 20) << "with navy text";
  EXPECT_EQ(CountPixelsOutside(shot, label, IsNavyInk), 0)
      << "navy belongs to the label: the window around it has none";
  // Something is drawn outside the label: the controls, not just the face colour.
  const uint32_t face = shot.At(2, 60);
  EXPECT_GT(CountPixelsOutside(shot, label, [face](uint32_t p) { return p != face; }), 1000);

  // The bar fills as the board's progress comes in: half way, then to its end.
  const RECT bar = RectIn(Window(session, "ProgressBar17"), window);
  form.AutoPage.ProgressBar17.SetPosition(50);
  const Image half = CaptureClient(window);
  form.AutoPage.ProgressBar17.SetPosition(100);
  const Image full = CaptureClient(window);
  EXPECT_NEAR(FilledShare(half, shot, bar), 0.5, 0.1);
  EXPECT_GT(FilledShare(full, shot, bar), 0.95) << "the bar is full to its end";
}

TEST_F(WindowTest, TheEngineeringViewShowsEveryPageWhole) {
  WindowOptions options;
  options.all_pages = true;
  DesktopSession session(clock_, serial_, options);
  Open(session);
  HWND window = session.Window().Handle();
  RECT client;
  GetClientRect(window, &client);
  EXPECT_EQ(client.right, 601);
  EXPECT_EQ(client.bottom, 681 + 19);
  HWND tabs = Window(session, "PageControl1");
  ASSERT_NE(tabs, nullptr);
  ASSERT_EQ(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 4);
  EXPECT_EQ(TabText(tabs, 3), "AutoUpdatePage");
  EXPECT_EQ(SendMessageA(tabs, TCM_GETCURSEL, 0, 0), 3);
  const RECT bar = RectIn(Window(session, "StatusBar1"), window);
  EXPECT_EQ(bar.top, 681);
  EXPECT_EQ(bar.right, 601);
  // The multi-port page's controls are there to be seen.
  HWND start = Window(session, "Button1");
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(TextOf(start), "Start");
  EXPECT_TRUE(testing::LayoutFaults(*session.Window().View(), session.Application().Form()).empty())
      << testing::Joined(
             testing::LayoutFaults(*session.Window().View(), session.Application().Form()));
  EXPECT_TRUE(testing::KeepScreenshot(CaptureClient(window), "window-all-pages"));
}

// Each page of the engineering view, turned to by its tab, as a picture and by its groups.
TEST_F(WindowTest, EveryPageShowsItsGroups) {
  WindowOptions options;
  options.all_pages = true;
  DesktopSession session(clock_, serial_, options);
  Open(session);
  HWND window = session.Window().Handle();
  HWND tabs = Window(session, "PageControl1");
  ASSERT_NE(tabs, nullptr);
  FormView& view = *session.Window().View();
  app::TMainForm& form = session.Application().Form();

  struct Expected {
    int tab;
    ui::TabSheet* page;
    std::vector<std::string> groups;
  };
  const std::vector<Expected> pages = {
      {0,
       &form.TerminalPage.Sheet,
       {"Com Port Setting", "Terminal", "Terminal-Thread[0] ", "Flash Eraser"}},
      {1,
       &form.McdPage.Sheet,
       {"Download  Status ", "Com Port List", "Open File", "Run MCD Downloader", "Message",
        "Update Option"}},
      {2,
       &form.CnoPage.Sheet,
       {"C/N0 Status", "Com Port List", "Limitation Setting", "Message", "Baud Rate Setting",
        "Test Option", "Customer ID Setting"}},
      {3, &form.AutoPage.Sheet, {}},
  };
  for (const Expected& expected : pages) {
    const std::string name = expected.page->Name();
    ClickTab(tabs, expected.tab);
    session.Loop().ProcessPending();
    ASSERT_EQ(form.PageControl1.ActivePage(), expected.page) << name;
    EXPECT_TRUE(IsWindowVisible(view.WindowFor(*expected.page))) << name;
    std::vector<std::string> shown;
    std::function<void(ui::Control&)> collect = [&](ui::Control& c) {
      auto* group = dynamic_cast<ui::GroupBox*>(&c);
      HWND w = view.WindowFor(c);
      if (group != nullptr && w != nullptr && IsWindowVisible(w)) shown.push_back(TextOf(w));
      for (ui::Control* child : c.Children()) collect(*child);
    };
    collect(*expected.page);
    for (const std::string& title : expected.groups) {
      EXPECT_NE(std::find(shown.begin(), shown.end(), title), shown.end())
          << name << " lacks the group \"" << title << "\"";
    }
    EXPECT_TRUE(testing::LayoutFaults(view, *expected.page).empty())
        << testing::Joined(testing::LayoutFaults(view, *expected.page));
    const Image shot = CaptureClient(window);
    EXPECT_TRUE(testing::KeepScreenshot(shot, "page-" + name));
    // A page that paints nothing but the face colour has lost its controls.
    int other = 0;
    for (int y = 30; y < shot.height - 30; y += 3) {
      for (int x = 10; x < shot.width - 10; x += 3) other += shot.At(x, y) != shot.At(5, 40);
    }
    EXPECT_GT(other, 100) << name;
  }
}

// Tab walks the controls in the form's order, as in a dialog.
TEST_F(WindowTest, TabMovesTheFocusToTheNextControl) {
  DesktopSession session(clock_, serial_);
  Open(session);
  SetForegroundWindow(session.Window().Handle());
  HWND scan = Window(session, "Button12");
  HWND ok = Window(session, "Button13");
  SetFocus(scan);
  ASSERT_EQ(GetFocus(), scan);
  PostMessageA(scan, WM_KEYDOWN, VK_TAB, 0);
  PostMessageA(scan, WM_KEYUP, VK_TAB, 0);
  session.Loop().ProcessPending();
  EXPECT_EQ(GetFocus(), ok);
}

// The multi-port page after a run in which the module of slot 2 took its firmware: its box says
// so in green over a full bar, with the port's name as its caption; the other boxes still wait.
// The ticks of the chosen ports show in the port list.
TEST_F(WindowTest, McdPageShowsAFinishedSlotInItsBox) {
  WindowOptions options;
  options.all_pages = true;
  DesktopSession session(clock_, serial_, options);
  Open(session);
  HWND window = session.Window().Handle();
  app::TMainForm& form = session.Application().Form();
  app::PortBoard& board = session.Application().Board();
  auto& mcd = form.McdPage;
  form.PageControl1.SetActivePage(&mcd.Sheet);
  const RECT list = RectIn(Window(session, "ComPortList"), window);
  mcd.ComPortList.SetItems({"COM3", "COM4", "COM5"});
  const Image unticked = CaptureClient(window);
  for (int i = 0; i < 3; ++i) mcd.ComPortList.SetChecked(i, true);
  mcd.CollectSelectedPorts();
  mcd.ShowSelectedPorts();
  // What a slot's successful update leaves on the board.
  board.StatusColor[2].store(app::kGreen);
  board.StatusText[2].Set(" FW(AP) update OK!(OK)");
  board.ProgressPercent[2].store(100);
  form.RefreshBoard();
  session.Loop().ProcessPending();

  HWND box = Window(session, "GroupBox5");
  HWND status = Window(session, "Label3");
  HWND percent = Window(session, "Label4");
  HWND bar = Window(session, "ProgressBar3");
  HWND waiting = Window(session, "Label5");  // slot 3
  HWND empty_bar = Window(session, "ProgressBar4");
  ASSERT_TRUE(box && status && percent && bar && waiting && empty_bar);
  EXPECT_EQ(TextOf(box), "COM5");
  EXPECT_EQ(TextOf(status), " FW(AP) update OK!(OK)");
  EXPECT_EQ(TextOf(percent), "100%");
  EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 100);
  EXPECT_EQ(TextOf(waiting), "Select file to be transferred");
  char panel[128] = {};
  SendMessageA(Window(session, "StatusBar1"), SB_GETTEXTA, 1, reinterpret_cast<LPARAM>(panel));
  EXPECT_STREQ(panel, "Selected Com Port : COM3COM4COM5");
  EXPECT_TRUE(testing::LayoutFaults(*session.Window().View(), mcd.Sheet).empty())
      << testing::Joined(testing::LayoutFaults(*session.Window().View(), mcd.Sheet));

  const Image shot = CaptureClient(window);
  EXPECT_TRUE(testing::KeepScreenshot(shot, "mcd-page"));
  const RECT status_area = RectIn(status, window);
  auto is_green = [](uint32_t p) {
    using namespace testing;
    return Green(p) > Red(p) + 40 && Green(p) > Blue(p) + 40;
  };
  EXPECT_GT(CountPixels(shot, status_area, is_green), 20) << "the text is green";
  EXPECT_EQ(CountPixelsOutside(shot, status_area, is_green), 0)
      << "and nothing else on the page is";
  // Thin navy strokes on the light face blend to light blues: blue well above red and green.
  auto is_bluish = [](uint32_t p) {
    using namespace testing;
    return Blue(p) > Red(p) + 40 && Blue(p) > Green(p) + 40;
  };
  EXPECT_GT(CountPixels(shot, RectIn(waiting, window), is_bluish), 20)
      << "the waiting slots stay navy";
  // The same row of the empty bar next door, moved over, is what an empty bar looks like.
  const RECT full_area = RectIn(bar, window);
  const RECT empty_area = RectIn(empty_bar, window);
  const int row = (full_area.top + full_area.bottom) / 2;
  const int empty_row = (empty_area.top + empty_area.bottom) / 2;
  int filled = 0;
  for (int x = 0; x < full_area.right - full_area.left; ++x) {
    filled += shot.At(full_area.left + x, row) != shot.At(empty_area.left + x, empty_row);
  }
  EXPECT_GT(filled, (full_area.right - full_area.left) * 95 / 100) << "the bar is full";
  // The ticks are drawn: the column of tick boxes changed when the ports were ticked.
  int tick_pixels = 0;
  for (int y = list.top; y < list.bottom; ++y) {
    for (int x = list.left; x < list.left + 20; ++x)
      tick_pixels += shot.At(x, y) != unticked.At(x, y);
  }
  EXPECT_GT(tick_pixels, 3 * 10) << "three ticks to be seen";
}

TEST_F(WindowTest, ClosingTheWindowClosesTheApplication) {
  DesktopSession session(clock_, serial_);
  Open(session);
  HWND window = session.Window().Handle();
  auto& form = session.Application().Form();
  auto& board = session.Application().Board();
  form.Timer1.SetTimerEnabled(true);
  ASSERT_EQ(serial_.Log("COM3")->opens.load(), 0);
  form.AutoPage.ComboBox6.SetText("COM3");
  SendMessageA(Window(session, "Button13"), BM_CLICK, 0, 0);
  ASSERT_EQ(board.ReadEnabled[0].load(), 1) << "OK opened the port for the probe";

  // The close box, as the system delivers it while the message loop runs.
  PostMessageA(window, WM_CLOSE, 0, 0);
  const uint32_t before = clock_.Ticks();
  EXPECT_EQ(session.Loop().Run(), 0) << "the close ends the message loop";
  EXPECT_GE(clock_.Ticks() - before, 1000u) << "the close gives the workers a second";
  EXPECT_FALSE(form.Timer1.TimerEnabled());
  EXPECT_EQ(board.ReadEnabled[0].load(), 0);
  EXPECT_TRUE(session.Loop().IsShutDown());
  EXPECT_FALSE(IsWindowVisible(window));

  // A second close request finds the application closed already.
  const uint32_t again = clock_.Ticks();
  SendMessageA(window, WM_CLOSE, 0, 0);
  EXPECT_LT(clock_.Ticks() - again, 1000u);
}

}  // namespace
}  // namespace flashpost::win32
