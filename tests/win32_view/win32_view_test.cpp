// The Win32 front end under the shared suites, and what is Win32's own: Run and the file filter.
#include "conformance/loop_suite.h"
#include "conformance/view_probe.h"
#include "win32/desktop_session.h"
#include "win32/form_view.h"
#include "win32/native_control.h"
#include "win32/win32_loop.h"

namespace flashpost::conformance {
namespace {

void PumpMessages() {
  MSG msg;
  for (int n = 0; n < 1000 && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++n) {
    TranslateMessage(&msg);
    DispatchMessageA(&msg);
  }
}

// A window's rectangle in the client coordinates of another window.
ui::Rect RectIn(HWND window, HWND reference) {
  RECT r;
  GetWindowRect(window, &r);
  MapWindowPoints(HWND_DESKTOP, reference, reinterpret_cast<POINT*>(&r), 2);
  return {r.left, r.top, r.right - r.left, r.bottom - r.top};
}

LRESULT Send(HWND w, UINT message, WPARAM wparam = 0, LPARAM lparam = 0) {
  return SendMessageA(w, message, wparam, lparam);
}

// A control's caption and the room its native control takes beside it: a push button's edges
// and focus frame, a check mark and the gap after it, a group caption's indent on either side.
constexpr int kGroupCaptionIndent = 8;
std::pair<std::string, int> CaptionAndMargin(const ui::Control& c) {
  if (auto* x = dynamic_cast<const ui::Label*>(&c)) return {x->Caption(), 0};
  if (auto* x = dynamic_cast<const ui::Button*>(&c)) return {x->Caption(), 6};
  if (auto* x = dynamic_cast<const ui::CheckBox*>(&c)) return {x->Caption(), 17};  // a tick mark
  if (auto* x = dynamic_cast<const ui::RadioButton*>(&c)) return {x->Caption(), 17};
  if (auto* x = dynamic_cast<const ui::GroupBox*>(&c)) return {x->Caption(), 16};
  return {};
}

// Text measured in the control's own font: one line, or broken into lines of `wrap` pixels.
SIZE TextSize(HWND w, const std::string& text, int wrap = 0) {
  HDC dc = GetDC(w);
  HGDIOBJ old = SelectObject(dc, reinterpret_cast<HFONT>(Send(w, WM_GETFONT)));
  RECT area{0, 0, wrap, 0};
  DrawTextA(dc, text.c_str(), static_cast<int>(text.size()), &area,
            DT_CALCRECT | DT_NOPREFIX | (wrap > 0 ? DT_WORDBREAK : DT_SINGLELINE));
  SelectObject(dc, old);
  ReleaseDC(w, dc);
  return {area.right, area.bottom};
}

class Win32Probe final : public ViewProbe {
 public:
  Win32Probe() {
    options_.ask_open_file = [this](HWND, const std::string& preset, const std::string&) {
      ++asks;
      asked_preset = preset;
      return answer;
    };
  }

  // A plain top-level window holds the view (the view subclasses it), shown without the focus.
  void Show(ui::Form& form, bool show_hidden_tabs) override {
    host_.reset(CreateWindowExA(0, "STATIC", "view test", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100,
                                nullptr, nullptr, GetModuleHandleA(nullptr), nullptr));
    ResizeHost(500, 600);
    ShowWindow(host_.get(), SW_SHOWNOACTIVATE);
    win32::ViewOptions options = options_;
    options.show_hidden_tabs = show_hidden_tabs;
    view_ = std::make_unique<win32::FormView>(form, host_.get(), options);
    PumpMessages();
  }
  app::Application& Open(platform::Clock& clock, platform::SerialSystem& serial,
                         bool all_pages) override {
    win32::WindowOptions options;
    options.all_pages = all_pages;
    options.view = options_;
    session_ = std::make_unique<win32::DesktopSession>(clock, serial, options);
    session_->Window().Show(SW_SHOWNOACTIVATE);
    session_->Loop().ProcessPending();
    return session_->Application();
  }
  ui::MainLoop& Loop() override { return session_->Loop(); }
  bool Close() override {
    HWND window = session_->Window().Handle();
    PostMessageA(window, WM_CLOSE, 0, 0);
    return session_->Loop().Run() == 0 && !IsWindowVisible(window);
  }
  void Drop() override {
    view_.reset();
    host_.reset();
    session_.reset();
  }
  void ResizeHost(int width, int height) override {
    RECT frame{0, 0, width, height};
    AdjustWindowRectEx(&frame, WS_OVERLAPPEDWINDOW, FALSE, 0);
    SetWindowPos(host_.get(), nullptr, 0, 0, frame.right - frame.left, frame.bottom - frame.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    PumpMessages();
  }

  bool Exists(const ui::Control& c) override { return View().WindowFor(c) != nullptr; }
  bool Shown(const ui::Control& c) override { return IsWindowVisible(W(c)); }
  bool Enabled(const ui::Control& c) override { return IsWindowEnabled(W(c)); }
  std::string Text(const ui::Control& c) override {
    std::string text = win32::TextOf(W(c));
    for (size_t at; (at = text.find("\r\n")) != std::string::npos;) text.erase(at, 1);
    return text;
  }
  ui::Color TextColor(const ui::Control& c) override {
    HDC dc = CreateCompatibleDC(nullptr);
    Send(GetParent(W(c)), WM_CTLCOLORSTATIC, reinterpret_cast<WPARAM>(dc),
         reinterpret_cast<LPARAM>(W(c)));
    const COLORREF color = GetTextColor(dc);
    DeleteDC(dc);
    return color;
  }
  bool Checked(const ui::Control& c) override { return Send(W(c), BM_GETCHECK) == BST_CHECKED; }
  std::vector<std::string> Items(const ui::ComboBox& c) override {
    std::vector<std::string> items;
    for (int i = 0; i < Send(W(c), CB_GETCOUNT); ++i) {
      char text[256] = {};
      Send(W(c), CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
      items.push_back(text);
    }
    return items;
  }
  std::vector<bool> Ticks(const ui::CheckListBox& c) override {
    std::vector<bool> ticks;
    for (int i = 0; i < Send(W(c), LVM_GETITEMCOUNT); ++i)
      ticks.push_back(Send(W(c), LVM_GETITEMSTATE, i, LVIS_STATEIMAGEMASK) ==
                      INDEXTOSTATEIMAGEMASK(2));
    return ticks;
  }
  int Position(const ui::ProgressBar& c, bool maximum) override {
    return Send(W(c), maximum ? PBM_GETRANGE : PBM_GETPOS, FALSE);
  }
  std::string PanelText(const ui::StatusBar& c, int panel) override {
    char text[256] = {};
    Send(W(c), SB_GETTEXTA, panel, reinterpret_cast<LPARAM>(text));
    return text;
  }
  std::vector<std::string> Tabs(const ui::PageControl& c) override {
    std::vector<std::string> tabs;
    for (int i = 0; i < Send(W(c), TCM_GETITEMCOUNT); ++i) {
      char text[128] = {};
      TCITEMA item{};
      item.mask = TCIF_TEXT;
      item.pszText = text;
      item.cchTextMax = sizeof(text);
      Send(W(c), TCM_GETITEMA, i, reinterpret_cast<LPARAM>(&item));
      tabs.push_back(text);
    }
    return tabs;
  }
  Layout Measure(const ui::Control& c) override {
    HWND w = W(c);
    HWND parent = GetParent(w);
    RECT inside, client;
    GetClientRect(parent, &inside);
    GetClientRect(w, &client);
    Layout l{IsWindowVisible(w) != FALSE,         parent, RectIn(w, parent),
             {0, 0, inside.right, inside.bottom}, false,  {}};
    const auto [caption, margin] = CaptionAndMargin(c);
    if (auto* label = dynamic_cast<const ui::Label*>(&c); label != nullptr && label->WordWrap())
      l.text_clipped = TextSize(w, caption, client.right).cy > client.bottom;
    else if (!caption.empty())
      l.text_clipped = TextSize(w, caption).cx > client.right - margin;
    if (const SIZE text = TextSize(w, caption); dynamic_cast<const ui::GroupBox*>(&c) && text.cx)
      l.caption = {kGroupCaptionIndent, 0, text.cx, text.cy};
    return l;
  }

  void Click(const ui::Control& c) override {
    Send(W(c), BM_CLICK);
    Serve();
  }
  void Type(const ui::Control& c, const std::string& keys) override {
    HWND edit = W(c);
    if (dynamic_cast<const ui::ComboBox*>(&c) != nullptr)
      edit = FindWindowExA(edit, nullptr, "Edit", nullptr);
    Send(edit, EM_SETSEL, 0, -1);
    for (char key : keys) Send(edit, WM_CHAR, static_cast<unsigned char>(key));
  }
  void Pick(const ui::ComboBox& c, int index) override {
    HWND combo = W(c);
    Send(combo, CB_SETCURSEL, index);
    Send(GetParent(combo), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
         reinterpret_cast<LPARAM>(combo));
  }
  void Tick(const ui::CheckListBox& c, int index, bool ticked) override {
    LVITEMA state{};
    state.stateMask = LVIS_STATEIMAGEMASK;
    state.state = INDEXTOSTATEIMAGEMASK(ticked ? 2 : 1);
    Send(W(c), LVM_SETITEMSTATE, index, reinterpret_cast<LPARAM>(&state));
  }
  void ClickTab(const ui::PageControl& c, int tab) override {
    RECT r;
    Send(W(c), TCM_GETITEMRECT, tab, reinterpret_cast<LPARAM>(&r));
    const LPARAM at = MAKELPARAM((r.left + r.right) / 2, (r.top + r.bottom) / 2);
    Send(W(c), WM_LBUTTONDOWN, MK_LBUTTON, at);
    Send(W(c), WM_LBUTTONUP, 0, at);
    Serve();
  }

 private:
  win32::FormView& View() { return session_ ? *session_->Window().View() : *view_; }
  HWND W(const ui::Control& c) {
    HWND w = View().WindowFor(c);
    if (w == nullptr) ADD_FAILURE() << c.Name() << " has no window";
    return w;
  }
  void Serve() {
    if (session_) session_->Loop().ProcessPending();
    PumpMessages();
  }

  win32::ViewOptions options_;
  std::unique_ptr<std::remove_pointer_t<HWND>, decltype(&DestroyWindow)> host_{nullptr,
                                                                               &DestroyWindow};
  std::unique_ptr<win32::FormView> view_;  // after the host: it goes first
  std::unique_ptr<win32::DesktopSession> session_;
};

std::unique_ptr<ViewProbe> MakeWin32Probe() { return std::make_unique<Win32Probe>(); }

INSTANTIATE_TEST_SUITE_P(Win32, ViewSuite, ::testing::Values(&MakeWin32Probe));
INSTANTIATE_TYPED_TEST_SUITE_P(Win32, LoopSuite, win32::Win32Loop);

// The wake-up reaches a thread that sits in the plain message loop, not only in RunUntil.
TEST(Win32LoopTest, RunServesPostsFromOtherThreadsUntilQuit) {
  platform::ScaledClock clock(20.0);
  win32::Win32Loop loop(clock);
  int served = 0;
  auto worker = ui::StartThread<FunctionThread>(loop, [&](FunctionThread& self) {
    for (int i = 0; i < 20; ++i) self.Synchronize([&] { ++served; });
    loop.Post([&] { loop.Quit(); });
  });
  EXPECT_EQ(loop.Run(), 0);
  worker->WaitFor();
  EXPECT_EQ(served, 20);
  // A WM_QUIT ends it too, with the exit code it carries, even when a nested wait took it.
  PostQuitMessage(3);
  loop.ProcessFor(100);
  EXPECT_EQ(loop.Run(), 3);
}

TEST(Win32ViewTest, FiltersInWindowsTerms) {
  using namespace std::string_literals;
  EXPECT_EQ(win32::Win32FileFilter("Binary File (*.bin)|*.bin|All Files (*.*)|*.*"),
            "Binary File (*.bin)\0*.bin\0All Files (*.*)\0*.*\0\0"s);
  EXPECT_EQ(win32::Win32FileFilter("Images|*.bmp|Left over"), "Images\0*.bmp\0\0"s)
      << "a description without patterns is left out";
  EXPECT_EQ(win32::Win32FileFilter("Nothing||Binary|*.bin"), "Binary\0*.bin\0\0"s)
      << "an empty pattern list would end the list early";
  EXPECT_EQ(win32::Win32FileFilter(""), "");
}

}  // namespace
}  // namespace flashpost::conformance
