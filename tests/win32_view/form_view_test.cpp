#include "win32/form_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "ui/control.h"
#include "ui/headless_loop.h"
#include "ui/timer.h"
#include "win32/native_control.h"
#include "win32_view/window_support.h"

namespace flashpost::win32 {
namespace {

using testing::HostWindow;
using testing::RectIn;

constexpr ui::Color kNavy = 0x800000, kSilver = 0xC0C0C0, kRed = 0x0000FF;

// A page class of its own, as a new page of the form would be: the view needs nothing for it.
class ExtraPage : public ui::TabSheet {
 public:
  explicit ExtraPage(ui::PageControl& pages) : ui::TabSheet("ExtraPage", &pages) {
    SetCaption("Extra");
    Go.SetCaption("Go");
    Go.SetGeometry({10, 20, 80, 25});
    Go.OnClick = [this] { ++clicks; };
  }
  ui::Button Go{"GoButton", this};
  int clicks = 0;
};

// A form with one control of every kind.
struct TestForm : ui::Form {
  explicit TestForm(ui::MainLoop& loop) : ui::Form("TestForm"), Timer1("Timer1", this, loop) {
    Label1.SetCaption("Flashpost");
    Label1.SetGeometry({8, 8, 200, 22});
    Button1.SetCaption("OK");
    Button1.SetGeometry({8, 40, 80, 25});
    Edit1.SetGeometry({8, 70, 100, 21});
    ComboBox1.SetGeometry({120, 70, 100, 21});
    ComboBox1.SetItems({"A", "B", "C"});
    CheckListBox1.SetGeometry({8, 100, 120, 80});
    Memo1.SetGeometry({140, 100, 200, 80});
    ProgressBar1.SetGeometry({8, 190, 200, 16});
    GroupBox1.SetGeometry({8, 210, 200, 100});
    CheckBox1.SetGeometry({8, 16, 150, 17});
    RadioButton1.SetGeometry({8, 36, 150, 17});
    RadioButton2.SetGeometry({8, 56, 150, 17});
    GroupBox2.SetGeometry({220, 210, 200, 100});
    RadioButton3.SetGeometry({8, 16, 150, 17});
    PageControl1.SetGeometry({0, 320, 400, 200});
    Sheet1.SetCaption("One");
    Sheet2.SetCaption("Two");
    Label2.SetGeometry({4, 4, 100, 16});
    StatusBar1.SetGeometry({0, 580, 500, 19});
    OpenDialog1.SetFilter("Binary File (*.bin)|*.bin|All Files (*.*)|*.*");
  }
  ui::Label Label1{"Label1", this};
  ui::Button Button1{"Button1", this};
  ui::Edit Edit1{"Edit1", this};
  ui::ComboBox ComboBox1{"ComboBox1", this};
  ui::CheckListBox CheckListBox1{"CheckListBox1", this};
  ui::Memo Memo1{"Memo1", this};
  ui::ProgressBar ProgressBar1{"ProgressBar1", this};
  ui::GroupBox GroupBox1{"GroupBox1", this};
  ui::CheckBox CheckBox1{"CheckBox1", &GroupBox1};
  ui::RadioButton RadioButton1{"RadioButton1", &GroupBox1};
  ui::RadioButton RadioButton2{"RadioButton2", &GroupBox1};
  ui::GroupBox GroupBox2{"GroupBox2", this};
  ui::RadioButton RadioButton3{"RadioButton3", &GroupBox2};
  ui::PageControl PageControl1{"PageControl1", this};
  ui::TabSheet Sheet1{"Sheet1", &PageControl1};
  ui::TabSheet Sheet2{"Sheet2", &PageControl1};
  ui::Label Label2{"Label2", &Sheet2};
  ExtraPage Extra{PageControl1};
  ui::StatusBar StatusBar1{"StatusBar1", this};
  ui::OpenDialog OpenDialog1{"OpenDialog1", this};
  ui::Timer Timer1;
};

std::string ClassOf(HWND w) {
  char name[64] = {};
  GetClassNameA(w, name, sizeof(name));
  return name;
}

LONG_PTR StyleOf(HWND w) { return GetWindowLongPtrA(w, GWL_STYLE); }

// The characters of a literal, the NULs inside it included.
template <size_t N>
std::string Bytes(const char (&literal)[N]) {
  return std::string(literal, N - 1);
}

RECT Rect(int left, int top, int width, int height) {
  return {left, top, left + width, top + height};
}

::testing::AssertionResult SameRect(const RECT& a, const RECT& b) {
  if (EqualRect(&a, &b)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "(" << a.left << "," << a.top << ")-(" << a.right << "," << a.bottom << ") is not ("
         << b.left << "," << b.top << ")-(" << b.right << "," << b.bottom << ")";
}

// What the operator's keys do to an edit: one character message per key.
void Type(HWND edit, const std::string& keys) {
  for (char key : keys) SendMessageA(edit, WM_CHAR, static_cast<unsigned char>(key), 0);
}

// The colours the control's parent hands out for it, as the control asks before painting.
struct PaintColors {
  COLORREF text = 0;
  COLORREF background = 0;
  COLORREF brush = 0;
};
PaintColors ColorsFor(HWND control, UINT message) {
  HDC dc = CreateCompatibleDC(nullptr);
  auto brush = reinterpret_cast<HBRUSH>(SendMessageA(GetParent(control), message,
                                                     reinterpret_cast<WPARAM>(dc),
                                                     reinterpret_cast<LPARAM>(control)));
  PaintColors colors{GetTextColor(dc), GetBkColor(dc), 0xFFFFFFFF};
  LOGBRUSH fill{};
  if (brush != nullptr && GetObjectA(brush, sizeof(fill), &fill) == sizeof(fill)) {
    colors.brush = fill.lbColor;
  }
  DeleteDC(dc);
  return colors;
}

HFONT FontOf(HWND control) {
  return reinterpret_cast<HFONT>(SendMessageA(control, WM_GETFONT, 0, 0));
}

// The face the system chose for a font, which is the asked-for face when it is installed.
std::string ChosenFace(HFONT font) {
  HDC dc = CreateCompatibleDC(nullptr);
  HGDIOBJ old = SelectObject(dc, font);
  char face[LF_FACESIZE] = {};
  GetTextFaceA(dc, sizeof(face), face);
  SelectObject(dc, old);
  DeleteDC(dc);
  return face;
}

int HeightOf(HFONT font) {
  LOGFONTA description{};
  GetObjectA(font, sizeof(description), &description);
  return description.lfHeight;
}

bool Checked(HWND button) { return SendMessageA(button, BM_GETCHECK, 0, 0) == BST_CHECKED; }

bool ListChecked(HWND list, int item) {
  return (SendMessageA(list, LVM_GETITEMSTATE, item, LVIS_STATEIMAGEMASK) & LVIS_STATEIMAGEMASK) ==
         INDEXTOSTATEIMAGEMASK(2);
}

void TickListItem(HWND list, int item, bool checked) {
  LVITEMA state{};
  state.stateMask = LVIS_STATEIMAGEMASK;
  state.state = INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
  SendMessageA(list, LVM_SETITEMSTATE, item, reinterpret_cast<LPARAM>(&state));
}

std::string ComboItem(HWND combo, int i) {
  char text[256] = {};
  SendMessageA(combo, CB_GETLBTEXT, i, reinterpret_cast<LPARAM>(text));
  return text;
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

// Counts the messages of one kind that reach a control.
class MessageCounter {
 public:
  MessageCounter(HWND window, UINT message) : window_(window), message_(message) {
    SetWindowSubclass(window_, &MessageCounter::Proc, 1, reinterpret_cast<DWORD_PTR>(this));
  }
  ~MessageCounter() { RemoveWindowSubclass(window_, &MessageCounter::Proc, 1); }
  int Count() const { return count_; }

 private:
  static LRESULT CALLBACK Proc(HWND w, UINT m, WPARAM wp, LPARAM lp, UINT_PTR, DWORD_PTR self) {
    auto* counter = reinterpret_cast<MessageCounter*>(self);
    if (m == counter->message_) ++counter->count_;
    return DefSubclassProc(w, m, wp, lp);
  }
  HWND window_;
  UINT message_;
  int count_ = 0;
};

class FormViewTest : public ::testing::Test {
 protected:
  void Show(ViewOptions options = {}) {
    options.ask_open_file = [this](HWND owner, const std::string& preset,
                                   const std::string& filter) {
      asked_owner_ = owner;
      asked_preset_ = preset;
      asked_filter_ = filter;
      return answer_;
    };
    view_ = std::make_unique<FormView>(form_, host_.Handle(), std::move(options));
    testing::PumpMessages();
  }

  HWND Window(const char* name) {
    HWND w = view_->WindowNamed(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  platform::ManualClock clock_;
  ui::HeadlessLoop loop_{clock_};
  TestForm form_{loop_};
  HostWindow host_{500, 600};
  std::unique_ptr<FormView> view_;  // after the host: it goes first
  std::string answer_;
  HWND asked_owner_ = nullptr;
  std::string asked_preset_, asked_filter_;
};

TEST_F(FormViewTest, LabelsFollowTheirModel) {
  form_.Label1.SetFontColor(kNavy);
  Show();
  HWND label = Window("Label1");
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(view_->WindowFor(form_.Label1), label);
  EXPECT_EQ(view_->ModelFor(label), &form_.Label1);
  EXPECT_EQ(ClassOf(label), "Static");
  EXPECT_EQ(GetParent(label), host_.Handle());
  EXPECT_EQ(TextOf(label), "Flashpost");
  EXPECT_TRUE(SameRect(RectIn(label, host_.Handle()), Rect(8, 8, 200, 22)));
  EXPECT_EQ(ColorsFor(label, WM_CTLCOLORSTATIC).text, RGB(0, 0, 128));
  EXPECT_EQ(FontOf(label), view_->FormFont());
  EXPECT_EQ(HeightOf(FontOf(label)), -kFormFontPixels) << "8 points at 96 dpi";
  EXPECT_EQ(StyleOf(label) & SS_TYPEMASK, SS_LEFTNOWORDWRAP);

  form_.Label1.SetCaption(" FW(AP) update OK!(OK) & more");
  form_.Label1.SetFontColor(kRed);
  form_.Label1.SetBackgroundColor(kSilver);
  form_.Label1.SetFontName("Arial");
  form_.Label1.SetGeometry({10, 12, 150, 20});
  form_.Label1.SetWordWrap(true);
  EXPECT_EQ(TextOf(label), " FW(AP) update OK!(OK) & more") << "blanks are kept";
  EXPECT_TRUE(StyleOf(label) & SS_NOPREFIX) << "an ampersand is shown, not taken as a shortcut";
  const PaintColors colors = ColorsFor(label, WM_CTLCOLORSTATIC);
  EXPECT_EQ(colors.text, RGB(255, 0, 0));
  EXPECT_EQ(colors.background, RGB(192, 192, 192));
  EXPECT_EQ(colors.brush, RGB(192, 192, 192));
  EXPECT_NE(FontOf(label), view_->FormFont()) << "a face of its own";
  EXPECT_EQ(HeightOf(FontOf(label)), -kFormFontPixels);
  EXPECT_TRUE(SameRect(RectIn(label, host_.Handle()), Rect(10, 12, 150, 20)));
  EXPECT_EQ(StyleOf(label) & SS_TYPEMASK, SS_LEFT) << "a wrapping label breaks between words";

  form_.Label1.SetVisible(false);
  EXPECT_FALSE(IsWindowVisible(label));
  form_.Label1.SetVisible(true);
  EXPECT_TRUE(IsWindowVisible(label));
}

TEST_F(FormViewTest, AButtonClickRunsTheHandlerOnlyWhileEnabled) {
  int clicks = 0;
  form_.Button1.OnClick = [&] { ++clicks; };
  Show();
  HWND button = Window("Button1");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(ClassOf(button), "Button");
  EXPECT_EQ(StyleOf(button) & BS_TYPEMASK, BS_PUSHBUTTON);
  EXPECT_EQ(TextOf(button), "OK");
  SendMessageA(button, BM_CLICK, 0, 0);
  EXPECT_EQ(clicks, 1);
  form_.Button1.SetEnabled(false);
  EXPECT_FALSE(IsWindowEnabled(button));
  SendMessageA(button, BM_CLICK, 0, 0);
  EXPECT_EQ(clicks, 1);
  form_.Button1.SetEnabled(true);
  form_.Button1.SetCaption("Start");
  EXPECT_EQ(TextOf(button), "Start");
  SendMessageA(button, BM_CLICK, 0, 0);
  EXPECT_EQ(clicks, 2);
}

TEST_F(FormViewTest, EditTextGoesBothWaysWithinItsLimits) {
  int changes = 0;
  form_.Edit1.AddObserver([&](ui::Control&, std::string_view p) { changes += p == "text"; });
  Show();
  HWND edit = Window("Edit1");
  ASSERT_NE(edit, nullptr);
  EXPECT_EQ(ClassOf(edit), "Edit");
  Type(edit, "500");
  EXPECT_EQ(form_.Edit1.Text(), "500");
  EXPECT_EQ(changes, 3) << "one model change per key, none echoed back";

  // Text put in by other means (pasted, set by a tool) arrives through EN_CHANGE as well.
  SendMessageA(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>("2500"));
  EXPECT_EQ(form_.Edit1.Text(), "2500");

  form_.Edit1.SetText("10000");
  EXPECT_EQ(TextOf(edit), "10000");
  form_.Edit1.SetMaxLength(6);
  SendMessageA(edit, EM_SETSEL, 5, 5);
  Type(edit, "123");
  EXPECT_EQ(form_.Edit1.Text(), "100001");
  EXPECT_EQ(TextOf(edit), "100001");

  form_.Edit1.SetReadOnly(true);
  EXPECT_TRUE(StyleOf(edit) & ES_READONLY);
  Type(edit, "\b");
  EXPECT_EQ(form_.Edit1.Text(), "100001");
  // A read-only edit asks for the colours of a static control.
  form_.Edit1.SetBackgroundColor(kSilver);
  EXPECT_EQ(ColorsFor(edit, WM_CTLCOLORSTATIC).brush, RGB(192, 192, 192));
  form_.Edit1.SetReadOnly(false);
  EXPECT_EQ(ColorsFor(edit, WM_CTLCOLOREDIT).brush, RGB(192, 192, 192));
}

TEST_F(FormViewTest, ComboBoxItemsTextAndSelectionGoBothWays) {
  int on_change = 0;
  form_.ComboBox1.OnChange = [&] { ++on_change; };
  form_.ComboBox1.SetText("B");
  Show();
  HWND combo = Window("ComboBox1");
  ASSERT_NE(combo, nullptr);
  EXPECT_EQ(ClassOf(combo), "ComboBox");
  EXPECT_EQ(StyleOf(combo) & 3, CBS_DROPDOWN) << "editable";
  EXPECT_TRUE(SameRect(RectIn(combo, host_.Handle()), Rect(120, 70, 100, 21)))
      << "closed, the combo box has the model's height";
  ASSERT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 3);
  EXPECT_EQ(ComboItem(combo, 2), "C");
  EXPECT_EQ(SendMessageA(combo, CB_GETCURSEL, 0, 0), 1);
  EXPECT_EQ(TextOf(combo), "B");

  // Typing makes the text; the item index follows it.
  HWND edit = FindWindowExA(combo, nullptr, "Edit", nullptr);
  ASSERT_NE(edit, nullptr);
  SendMessageA(edit, EM_SETSEL, 0, -1);
  Type(edit, "COM17");
  EXPECT_EQ(form_.ComboBox1.Text(), "COM17");
  EXPECT_EQ(form_.ComboBox1.ItemIndex(), -1);
  EXPECT_EQ(on_change, 5);
  EXPECT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 3) << "typing adds no item";
  // Typed text that names an item selects it, and the typing goes on where it was.
  SendMessageA(edit, EM_SETSEL, 0, -1);
  Type(edit, "C");
  EXPECT_EQ(form_.ComboBox1.ItemIndex(), 2);
  Type(edit, "x");
  EXPECT_EQ(TextOf(combo), "Cx");
  EXPECT_EQ(form_.ComboBox1.Text(), "Cx");

  // Picking an item selects it in the model.
  form_.ComboBox1.SetItemIndex(0);
  EXPECT_EQ(TextOf(combo), "A");
  on_change = 0;
  SendMessageA(combo, CB_SETCURSEL, 1, 0);
  SendMessageA(host_.Handle(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(combo), CBN_SELCHANGE),
               reinterpret_cast<LPARAM>(combo));
  EXPECT_EQ(form_.ComboBox1.ItemIndex(), 1);
  EXPECT_EQ(form_.ComboBox1.Text(), "B");
  EXPECT_EQ(TextOf(combo), "B");
  EXPECT_EQ(on_change, 1);

  // A new list, as a port scan makes: the items are replaced and the typed text stays.
  form_.ComboBox1.SetText("COM9");
  form_.ComboBox1.SetItems({"COM3", "COM4"});
  ASSERT_EQ(SendMessageA(combo, CB_GETCOUNT, 0, 0), 2);
  EXPECT_EQ(ComboItem(combo, 1), "COM4");
  EXPECT_EQ(TextOf(combo), "COM9");
  EXPECT_EQ(on_change, 1) << "changes made by the program are not the operator's";
}

TEST_F(FormViewTest, CheckListTicksGoBothWays) {
  form_.CheckListBox1.SetItems({"COM3", "COM4", "COM5"});
  form_.CheckListBox1.SetChecked(2, true);
  Show();
  HWND list = Window("CheckListBox1");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(ClassOf(list), WC_LISTVIEWA);
  EXPECT_TRUE(SendMessageA(list, LVM_GETEXTENDEDLISTVIEWSTYLE, 0, 0) & LVS_EX_CHECKBOXES);
  ASSERT_EQ(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), 3);
  EXPECT_FALSE(ListChecked(list, 0));
  EXPECT_TRUE(ListChecked(list, 2));

  TickListItem(list, 0, true);  // what the list does when the operator clicks a tick box
  EXPECT_TRUE(form_.CheckListBox1.Checked(0));
  // The space bar ticks the item that has the focus.
  LVITEMA focus{};
  focus.stateMask = LVIS_FOCUSED | LVIS_SELECTED;
  focus.state = LVIS_FOCUSED | LVIS_SELECTED;
  SendMessageA(list, LVM_SETITEMSTATE, 1, reinterpret_cast<LPARAM>(&focus));
  SendMessageA(list, WM_KEYDOWN, VK_SPACE, 0);
  SendMessageA(list, WM_KEYUP, VK_SPACE, 0);
  EXPECT_TRUE(form_.CheckListBox1.Checked(1));
  EXPECT_TRUE(ListChecked(list, 1));

  form_.CheckListBox1.SetChecked(2, false);
  EXPECT_FALSE(ListChecked(list, 2));
  form_.CheckListBox1.AddItem("COM6");
  ASSERT_EQ(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), 4);
  EXPECT_TRUE(ListChecked(list, 0)) << "an added item keeps the others' ticks";
  form_.CheckListBox1.SetItems({"COM7"});
  ASSERT_EQ(SendMessageA(list, LVM_GETITEMCOUNT, 0, 0), 1);
  EXPECT_FALSE(ListChecked(list, 0));
  EXPECT_FALSE(form_.CheckListBox1.Checked(0));
}

TEST_F(FormViewTest, CheckBoxAndRadioButtonsLetTheModelDecide) {
  int check_clicks = 0, radio_clicks = 0;
  form_.CheckBox1.SetCaption("AutoCalibration");
  form_.CheckBox1.OnClick = [&] { ++check_clicks; };
  form_.RadioButton1.SetCaption("FSA");
  form_.RadioButton2.OnClick = [&] { ++radio_clicks; };
  form_.RadioButton3.SetChecked(true);
  Show();
  HWND check = Window("CheckBox1");
  HWND r1 = Window("RadioButton1");
  HWND r2 = Window("RadioButton2");
  HWND r3 = Window("RadioButton3");
  ASSERT_TRUE(check && r1 && r2 && r3);
  EXPECT_EQ(TextOf(check), "AutoCalibration");
  EXPECT_EQ(TextOf(r1), "FSA");
  EXPECT_TRUE(Checked(r3));

  SendMessageA(check, BM_CLICK, 0, 0);
  EXPECT_TRUE(form_.CheckBox1.Checked());
  EXPECT_TRUE(Checked(check));
  EXPECT_EQ(check_clicks, 1);
  form_.CheckBox1.SetChecked(false);
  EXPECT_FALSE(Checked(check));

  SendMessageA(r1, BM_CLICK, 0, 0);
  EXPECT_TRUE(form_.RadioButton1.Checked());
  EXPECT_TRUE(Checked(r1));
  SendMessageA(r2, BM_CLICK, 0, 0);
  EXPECT_EQ(radio_clicks, 1);
  EXPECT_TRUE(form_.RadioButton2.Checked());
  EXPECT_TRUE(Checked(r2));
  EXPECT_FALSE(form_.RadioButton1.Checked());
  EXPECT_FALSE(Checked(r1));
  EXPECT_TRUE(form_.RadioButton3.Checked()) << "another parent is another group";
  EXPECT_TRUE(Checked(r3));

  // A handler that refuses the choice (a run in progress keeps its job) puts the old one back;
  // the buttons show what the models hold, not what was clicked.
  form_.RadioButton1.OnClick = [&] { form_.RadioButton2.SetChecked(true); };
  SendMessageA(r1, BM_CLICK, 0, 0);
  EXPECT_FALSE(Checked(r1));
  EXPECT_TRUE(Checked(r2));
  // A hidden button takes no click, whatever reaches its window.
  form_.RadioButton1.OnClick = nullptr;
  form_.RadioButton1.SetVisible(false);
  SendMessageA(r1, BM_CLICK, 0, 0);
  EXPECT_FALSE(form_.RadioButton1.Checked());
  EXPECT_FALSE(Checked(r1));
  form_.RadioButton1.SetVisible(true);

  // The models may leave a group with nothing checked.
  form_.RadioButton2.SetChecked(false);
  EXPECT_FALSE(Checked(r1));
  EXPECT_FALSE(Checked(r2));
  form_.RadioButton1.SetChecked(true);
  EXPECT_TRUE(Checked(r1));
}

TEST_F(FormViewTest, MemoProgressBarAndStatusBarShowTheModel) {
  form_.ProgressBar1.SetRange(0, 100);
  form_.ProgressBar1.SetPosition(30);
  form_.StatusBar1.AddPanel(186);
  Show();
  HWND memo = Window("Memo1");
  HWND bar = Window("ProgressBar1");
  HWND status = Window("StatusBar1");
  ASSERT_TRUE(memo && bar && status);

  EXPECT_EQ(ClassOf(memo), "Edit");
  EXPECT_TRUE(StyleOf(memo) & ES_MULTILINE);
  EXPECT_TRUE(StyleOf(memo) & ES_READONLY);
  EXPECT_TRUE(StyleOf(memo) & WS_VSCROLL);
  form_.Memo1.AddLine("$GPGGA,1");
  {
    // Lines are appended, not the whole log written again.
    MessageCounter rewrites(memo, WM_SETTEXT);
    form_.Memo1.AddLine("$GPGSA,2");
    EXPECT_EQ(rewrites.Count(), 0);
  }
  EXPECT_EQ(TextOf(memo), "$GPGGA,1\r\n$GPGSA,2");
  form_.Memo1.Clear();
  EXPECT_EQ(TextOf(memo), "");
  form_.Memo1.AddLine("$GPRMC,3");
  EXPECT_EQ(TextOf(memo), "$GPRMC,3");

  EXPECT_EQ(ClassOf(bar), PROGRESS_CLASSA);
  EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 30);
  form_.ProgressBar1.SetPosition(100);
  EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 100);
  EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, 0), 100);
  form_.ProgressBar1.SetRange(0, 50);
  EXPECT_EQ(SendMessageA(bar, PBM_GETRANGE, FALSE, 0), 50);
  EXPECT_EQ(SendMessageA(bar, PBM_GETPOS, 0, 0), 50);
  EXPECT_FALSE(StyleOf(bar) & PBS_SMOOTH);
  form_.ProgressBar1.SetSmooth(true);
  EXPECT_TRUE(StyleOf(bar) & PBS_SMOOTH);

  // Panels added later and texts; the bar lies along the bottom of its parent.
  EXPECT_EQ(ClassOf(status), STATUSCLASSNAMEA);
  form_.StatusBar1.AddPanel(200);
  form_.StatusBar1.SetPanelText(1, "Selected Com Port : COM3");
  int edges[4] = {};
  ASSERT_EQ(SendMessageA(status, SB_GETPARTS, 4, reinterpret_cast<LPARAM>(edges)), 2);
  EXPECT_EQ(edges[0], 186);
  EXPECT_EQ(edges[1], 500) << "the last panel runs to the right edge";
  char text[128] = {};
  SendMessageA(status, SB_GETTEXTA, 1, reinterpret_cast<LPARAM>(text));
  EXPECT_STREQ(text, "Selected Com Port : COM3");
  EXPECT_TRUE(SameRect(RectIn(status, host_.Handle()), Rect(0, 600 - 19, 500, 19)));
  host_.ResizeClient(640, 700);
  EXPECT_TRUE(SameRect(RectIn(status, host_.Handle()), Rect(0, 700 - 19, 640, 19)));
  RECT last;
  SendMessageA(status, SB_GETRECT, 1, reinterpret_cast<LPARAM>(&last));
  EXPECT_GE(last.right, 640 - 4) << "the last panel still runs to the right edge";
  EXPECT_LT(last.left, 186 + 4);
}

TEST_F(FormViewTest, ADisabledGroupBoxDisablesWhatIsInside) {
  Show();
  HWND group = Window("GroupBox1");
  HWND check = Window("CheckBox1");
  HWND r1 = Window("RadioButton1");
  ASSERT_TRUE(group && check && r1);
  EXPECT_EQ(ClassOf(group), "Button");
  EXPECT_EQ(StyleOf(group) & BS_TYPEMASK, BS_GROUPBOX);
  EXPECT_EQ(GetParent(check), group);
  EXPECT_TRUE(SameRect(RectIn(check, group), Rect(8, 16, 150, 17)));
  // The group answers for the controls in it: their colours and their clicks reach the view.
  EXPECT_EQ(ColorsFor(check, WM_CTLCOLORSTATIC).brush, ToColorRef(kFaceColor));

  form_.GroupBox1.SetEnabled(false);
  EXPECT_FALSE(IsWindowEnabled(group));
  EXPECT_FALSE(IsWindowEnabled(check));
  EXPECT_FALSE(IsWindowEnabled(r1));
  EXPECT_TRUE(form_.CheckBox1.Enabled()) << "the child's own flag is untouched";
  SendMessageA(check, BM_CLICK, 0, 0);
  EXPECT_FALSE(form_.CheckBox1.Checked());
  EXPECT_FALSE(Checked(check));

  // A child disabled on its own stays so when the group comes back.
  form_.RadioButton1.SetEnabled(false);
  form_.GroupBox1.SetEnabled(true);
  EXPECT_TRUE(IsWindowEnabled(check));
  EXPECT_FALSE(IsWindowEnabled(r1));
  SendMessageA(check, BM_CLICK, 0, 0);
  EXPECT_TRUE(form_.CheckBox1.Checked());
}

TEST_F(FormViewTest, PagesHideTheirTabsAndFollowTheActivePage) {
  form_.Sheet1.SetTabVisible(false);
  form_.PageControl1.SetActivePage(&form_.Sheet2);
  Show();
  HWND tabs = Window("PageControl1");
  ASSERT_NE(tabs, nullptr);
  EXPECT_EQ(ClassOf(tabs), WC_TABCONTROLA);
  EXPECT_TRUE(SameRect(RectIn(tabs, host_.Handle()), Rect(0, 320, 400, 200)));
  ASSERT_EQ(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 2) << "the hidden tab is not there";
  EXPECT_EQ(TabText(tabs, 0), "Two");
  EXPECT_EQ(TabText(tabs, 1), "Extra");
  EXPECT_EQ(SendMessageA(tabs, TCM_GETCURSEL, 0, 0), 0);
  HWND sheet1 = Window("Sheet1");
  HWND sheet2 = Window("Sheet2");
  HWND extra = Window("ExtraPage");
  ASSERT_TRUE(sheet1 && sheet2 && extra);
  EXPECT_TRUE(IsWindowVisible(sheet2));
  EXPECT_FALSE(IsWindowVisible(sheet1));
  EXPECT_FALSE(IsWindowVisible(extra));
  EXPECT_EQ(GetParent(Window("Label2")), sheet2);
  // The page fills the tab control below its tabs.
  RECT page_area = RectIn(sheet2, tabs);
  RECT tab;
  SendMessageA(tabs, TCM_GETITEMRECT, 0, reinterpret_cast<LPARAM>(&tab));
  EXPECT_GE(page_area.top, tab.bottom);
  EXPECT_GT(page_area.right - page_area.left, 380);

  // The page class the view knows nothing about works like any other.
  HWND go = Window("GoButton");
  ASSERT_NE(go, nullptr);
  EXPECT_EQ(GetParent(go), extra);
  EXPECT_TRUE(SameRect(RectIn(go, extra), Rect(10, 20, 80, 25)));

  // The operator picks a tab.
  ClickTab(tabs, 1);
  EXPECT_EQ(form_.PageControl1.ActivePage(), &form_.Extra);
  EXPECT_TRUE(IsWindowVisible(extra));
  EXPECT_FALSE(IsWindowVisible(sheet2));
  SendMessageA(go, BM_CLICK, 0, 0);
  EXPECT_EQ(form_.Extra.clicks, 1);

  // The program hides and shows tabs and turns pages.
  form_.Sheet1.SetTabVisible(true);
  form_.Sheet1.SetCaption("First");
  ASSERT_EQ(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 3);
  EXPECT_EQ(TabText(tabs, 0), "First");
  EXPECT_EQ(SendMessageA(tabs, TCM_GETCURSEL, 0, 0), 2) << "the Extra page stays in front";
  form_.PageControl1.SetActivePage(&form_.Sheet1);
  EXPECT_EQ(SendMessageA(tabs, TCM_GETCURSEL, 0, 0), 0);
  EXPECT_TRUE(IsWindowVisible(sheet1));
  form_.Extra.SetTabVisible(false);
  EXPECT_EQ(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 2);
  EXPECT_EQ(form_.PageControl1.ActivePage(), &form_.Sheet1);
}

TEST_F(FormViewTest, TheEngineeringViewShowsHiddenTabs) {
  form_.Sheet1.SetTabVisible(false);
  form_.Extra.SetTabVisible(false);
  ViewOptions options;
  options.show_hidden_tabs = true;
  Show(options);
  HWND tabs = Window("PageControl1");
  ASSERT_NE(tabs, nullptr);
  EXPECT_EQ(SendMessageA(tabs, TCM_GETITEMCOUNT, 0, 0), 3);
  EXPECT_EQ(TabText(tabs, 0), "One");
  EXPECT_FALSE(form_.Sheet1.TabVisible()) << "the model keeps what the logic set";
}

TEST_F(FormViewTest, TimersGetNoWindowAndTheOpenDialogAsksWithWindowsFilter) {
  Show();
  EXPECT_EQ(view_->WindowFor(form_.Timer1), nullptr);
  EXPECT_EQ(view_->WindowNamed("Timer1"), nullptr);
  EXPECT_EQ(view_->WindowNamed("OpenDialog1"), nullptr);

  form_.OpenDialog1.SetFileName("C:\\firmware\\old.bin");
  answer_ = "C:\\firmware\\new.bin";
  EXPECT_TRUE(form_.OpenDialog1.Execute());
  EXPECT_EQ(form_.OpenDialog1.FileName(), "C:\\firmware\\new.bin");
  EXPECT_EQ(asked_filter_, Bytes("Binary File (*.bin)\0*.bin\0All Files (*.*)\0*.*\0\0"));
  EXPECT_EQ(asked_preset_, "C:\\firmware\\old.bin");
  EXPECT_EQ(asked_owner_, host_.Handle());

  answer_.clear();  // cancelled
  EXPECT_FALSE(form_.OpenDialog1.Execute());
  EXPECT_EQ(form_.OpenDialog1.FileName(), "C:\\firmware\\new.bin");
}

// The view's windows are its own: they go with it, and the models no longer reach them.
TEST_F(FormViewTest, TheViewTakesItsWindowsWithIt) {
  Show();
  HWND label = Window("Label1");
  HWND check = Window("CheckBox1");
  HWND go = Window("GoButton");
  ASSERT_TRUE(IsWindow(label) && IsWindow(check) && IsWindow(go));
  view_.reset();
  EXPECT_FALSE(IsWindow(label));
  EXPECT_FALSE(IsWindow(check));
  EXPECT_FALSE(IsWindow(go));
  EXPECT_EQ(GetWindow(host_.Handle(), GW_CHILD), nullptr);
  answer_ = "C:\\other.bin";
  EXPECT_FALSE(form_.OpenDialog1.Execute()) << "no view, nobody to ask";
  form_.Label1.SetCaption("after");
  form_.Button1.SetEnabled(false);
}

// The root window going first, as when the system ends the program, leaves the view harmless.
TEST(FormViewTeardownTest, ARootDestroyedUnderTheViewIsLetGo) {
  platform::ManualClock clock;
  ui::HeadlessLoop loop(clock);
  TestForm form(loop);
  auto host = std::make_unique<HostWindow>(500, 600);
  FormView view(form, host->Handle());
  host.reset();
  form.Label1.SetCaption("after");
  form.Memo1.AddLine("after");
  form.PageControl1.SetActivePage(&form.Sheet1);
}

// MS Sans Serif and Arial are missing where Wine runs without Microsoft's fonts; a narrow sans
// serif stands in, not whatever wide face the system would pick.
TEST(FormViewHelpersTest, AMissingFaceGetsANarrowStandIn) {
  HFONT missing = CreateFaceFont("Flashpost Missing Face", kFormFontPixels);
  ASSERT_NE(missing, nullptr);
  const std::string stand_in = ChosenFace(missing);
  const std::vector<std::string> narrow = {"Microsoft Sans Serif", "Arial", "Liberation Sans",
                                           "DejaVu Sans Condensed"};
  EXPECT_NE(std::find(narrow.begin(), narrow.end(), stand_in), narrow.end()) << stand_in;
  EXPECT_EQ(HeightOf(missing), -kFormFontPixels);
  // An installed face is kept.
  HFONT installed = CreateFaceFont(stand_in, kFormFontPixels);
  EXPECT_EQ(ChosenFace(installed), stand_in);
  DeleteObject(missing);
  DeleteObject(installed);
}

TEST(FormViewHelpersTest, FiltersAndColoursInWindowsTerms) {
  EXPECT_EQ(Win32FileFilter("Binary File (*.bin)|*.bin|All Files (*.*)|*.*"),
            Bytes("Binary File (*.bin)\0*.bin\0All Files (*.*)\0*.*\0\0"));
  EXPECT_EQ(Win32FileFilter("Images|*.bmp;*.png"), Bytes("Images\0*.bmp;*.png\0\0"));
  EXPECT_EQ(Win32FileFilter("Images|*.bmp|Left over"), Bytes("Images\0*.bmp\0\0"))
      << "a description without patterns is left out";
  EXPECT_EQ(Win32FileFilter("Nothing||Binary|*.bin"), Bytes("Binary\0*.bin\0\0"))
      << "an empty pattern list would end the list early";
  EXPECT_EQ(Win32FileFilter(""), "");
  EXPECT_EQ(ToColorRef(0x800000), RGB(0, 0, 128));
  EXPECT_EQ(ToColorRef(0x008000), RGB(0, 128, 0));
  EXPECT_EQ(ToColorRef(0x0000FF), RGB(255, 0, 0));
  EXPECT_EQ(ToColorRef(0x123456), RGB(0x56, 0x34, 0x12));
}

}  // namespace
}  // namespace flashpost::win32
