#include "gui/form_view.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTabBar>
#include <QTabWidget>
#include <QTest>
#include <memory>

#include "platform/clock.h"
#include "ui/control.h"
#include "ui/headless_loop.h"
#include "ui/timer.h"

namespace flashpost::gui {
namespace {

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

// Check boxes and radio buttons take a click on their indicator or their text only.
void ClickIndicator(QAbstractButton* button) {
  QTest::mouseClick(button, Qt::LeftButton, {}, QPoint(6, button->height() / 2));
}

class FormViewTest : public ::testing::Test {
 protected:
  FormViewTest() { root_.resize(500, 600); }

  void Show(ViewOptions options = {}) {
    options.ask_open_file = [this](QWidget* parent, const QString& preset, const QString& filter) {
      asked_parent_ = parent;
      asked_preset_ = preset;
      asked_filter_ = filter;
      return answer_;
    };
    view_ = std::make_unique<FormView>(form_, root_, std::move(options));
    root_.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&root_));
  }

  template <class W>
  W* Widget(const char* name) {
    W* w = root_.findChild<W*>(name);
    EXPECT_NE(w, nullptr) << name;
    return w;
  }

  platform::ManualClock clock_;
  ui::HeadlessLoop loop_{clock_};
  TestForm form_{loop_};
  QWidget root_;
  std::unique_ptr<FormView> view_;
  QString answer_;
  QWidget* asked_parent_ = nullptr;
  QString asked_preset_, asked_filter_;
};

TEST_F(FormViewTest, LabelsFollowTheirModel) {
  form_.Label1.SetFontColor(kNavy);
  Show();
  auto* label = Widget<QLabel>("Label1");
  ASSERT_NE(label, nullptr);
  EXPECT_EQ(view_->WidgetFor(form_.Label1), label);
  EXPECT_EQ(label->text(), "Flashpost");
  EXPECT_EQ(label->geometry(), QRect(8, 8, 200, 22));
  EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(0, 0, 128));

  form_.Label1.SetCaption(" FW(AP) update OK!(OK)");
  form_.Label1.SetFontColor(kRed);
  form_.Label1.SetBackgroundColor(kSilver);
  form_.Label1.SetFontName("Arial");
  form_.Label1.SetGeometry({10, 12, 150, 20});
  EXPECT_EQ(label->text(), " FW(AP) update OK!(OK)") << "blanks are kept, nothing is markup";
  EXPECT_EQ(label->palette().color(QPalette::WindowText), QColor(255, 0, 0));
  EXPECT_EQ(label->palette().color(QPalette::Window), QColor(192, 192, 192));
  EXPECT_TRUE(label->autoFillBackground());
  EXPECT_EQ(label->font().families().value(0), "Arial");
  EXPECT_EQ(label->geometry(), QRect(10, 12, 150, 20));

  form_.Label1.SetVisible(false);
  EXPECT_TRUE(label->isHidden());
  form_.Label1.SetVisible(true);
  EXPECT_FALSE(label->isHidden());
}

TEST_F(FormViewTest, AButtonClickRunsTheHandlerOnlyWhileEnabled) {
  int clicks = 0;
  form_.Button1.OnClick = [&] { ++clicks; };
  Show();
  auto* button = Widget<QPushButton>("Button1");
  ASSERT_NE(button, nullptr);
  EXPECT_EQ(button->text(), "OK");
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(clicks, 1);
  form_.Button1.SetEnabled(false);
  EXPECT_FALSE(button->isEnabled());
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(clicks, 1);
  form_.Button1.SetEnabled(true);
  form_.Button1.SetCaption("Start");
  EXPECT_EQ(button->text(), "Start");
  QTest::mouseClick(button, Qt::LeftButton);
  EXPECT_EQ(clicks, 2);
}

TEST_F(FormViewTest, EditTextGoesBothWaysWithinItsLimits) {
  int changes = 0;
  form_.Edit1.AddObserver([&](ui::Control&, std::string_view p) { changes += p == "text"; });
  Show();
  auto* edit = Widget<QLineEdit>("Edit1");
  ASSERT_NE(edit, nullptr);
  QTest::keyClicks(edit, "500");
  EXPECT_EQ(form_.Edit1.Text(), "500");
  EXPECT_EQ(changes, 3) << "one model change per key, none echoed back";

  form_.Edit1.SetText("10000");
  EXPECT_EQ(edit->text(), "10000");
  form_.Edit1.SetMaxLength(6);
  QTest::keyClicks(edit, "123");
  EXPECT_EQ(form_.Edit1.Text(), "100001");
  EXPECT_EQ(edit->text(), "100001");

  form_.Edit1.SetReadOnly(true);
  EXPECT_TRUE(edit->isReadOnly());
  QTest::keyClick(edit, Qt::Key_Backspace);
  EXPECT_EQ(form_.Edit1.Text(), "100001");
  form_.Edit1.SetBackgroundColor(kSilver);
  EXPECT_EQ(edit->palette().color(QPalette::Base), QColor(192, 192, 192));
}

TEST_F(FormViewTest, ComboBoxItemsTextAndSelectionGoBothWays) {
  int on_change = 0;
  form_.ComboBox1.OnChange = [&] { ++on_change; };
  form_.ComboBox1.SetText("B");
  Show();
  auto* combo = Widget<QComboBox>("ComboBox1");
  ASSERT_NE(combo, nullptr);
  EXPECT_TRUE(combo->isEditable());
  ASSERT_EQ(combo->count(), 3);
  EXPECT_EQ(combo->itemText(2), "C");
  EXPECT_EQ(combo->currentIndex(), 1);
  EXPECT_EQ(combo->currentText(), "B");

  // Typing makes the text; the item index follows it.
  combo->lineEdit()->selectAll();
  QTest::keyClicks(combo->lineEdit(), "/dev/pts/7");
  EXPECT_EQ(form_.ComboBox1.Text(), "/dev/pts/7");
  EXPECT_EQ(form_.ComboBox1.ItemIndex(), -1);
  EXPECT_EQ(on_change, 10);
  EXPECT_EQ(combo->count(), 3) << "typing adds no item";

  // Picking an item with the keyboard selects it in the model.
  form_.ComboBox1.SetItemIndex(0);
  EXPECT_EQ(combo->currentText(), "A");
  combo->setFocus();
  QTest::keyClick(combo, Qt::Key_Down);
  EXPECT_EQ(form_.ComboBox1.ItemIndex(), 1);
  EXPECT_EQ(form_.ComboBox1.Text(), "B");
  EXPECT_EQ(on_change, 11);

  // A new list, as a port scan makes: the items are replaced and the typed text stays.
  form_.ComboBox1.SetText("COM9");
  form_.ComboBox1.SetItems({"/dev/ttyUSB0", "/dev/ttyUSB1"});
  ASSERT_EQ(combo->count(), 2);
  EXPECT_EQ(combo->itemText(1), "/dev/ttyUSB1");
  EXPECT_EQ(combo->currentText(), "COM9");
  EXPECT_EQ(on_change, 11) << "changes made by the program are not the operator's";
}

TEST_F(FormViewTest, CheckListTicksGoBothWays) {
  form_.CheckListBox1.SetItems({"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/ttyUSB2"});
  form_.CheckListBox1.SetChecked(2, true);
  Show();
  auto* list = Widget<QListWidget>("CheckListBox1");
  ASSERT_NE(list, nullptr);
  ASSERT_EQ(list->count(), 3);
  EXPECT_EQ(list->item(0)->checkState(), Qt::Unchecked);
  EXPECT_EQ(list->item(2)->checkState(), Qt::Checked);
  EXPECT_TRUE(list->item(0)->flags() & Qt::ItemIsUserCheckable);

  list->item(0)->setCheckState(Qt::Checked);  // what the operator's tick does
  EXPECT_TRUE(form_.CheckListBox1.Checked(0));
  form_.CheckListBox1.SetChecked(2, false);
  EXPECT_EQ(list->item(2)->checkState(), Qt::Unchecked);
  form_.CheckListBox1.AddItem("/dev/ttyUSB3");
  ASSERT_EQ(list->count(), 4);
  EXPECT_EQ(list->item(0)->checkState(), Qt::Checked) << "an added item keeps the others' ticks";
  form_.CheckListBox1.SetItems({"/dev/ttyACM0"});
  ASSERT_EQ(list->count(), 1);
  EXPECT_EQ(list->item(0)->checkState(), Qt::Unchecked);
}

TEST_F(FormViewTest, CheckBoxAndRadioButtonsTheirGroupsAndHandlers) {
  int check_clicks = 0, radio_clicks = 0;
  form_.CheckBox1.SetCaption("AutoCalibration");
  form_.CheckBox1.OnClick = [&] { ++check_clicks; };
  form_.RadioButton1.SetCaption("FSA");
  form_.RadioButton2.OnClick = [&] { ++radio_clicks; };
  form_.RadioButton3.SetChecked(true);
  Show();
  auto* check = Widget<QCheckBox>("CheckBox1");
  auto* r1 = Widget<QRadioButton>("RadioButton1");
  auto* r2 = Widget<QRadioButton>("RadioButton2");
  auto* r3 = Widget<QRadioButton>("RadioButton3");
  ASSERT_TRUE(check && r1 && r2 && r3);
  EXPECT_EQ(check->text(), "AutoCalibration");
  EXPECT_EQ(r1->text(), "FSA");
  EXPECT_TRUE(r3->isChecked());

  ClickIndicator(check);
  EXPECT_TRUE(form_.CheckBox1.Checked());
  EXPECT_EQ(check_clicks, 1);
  form_.CheckBox1.SetChecked(false);
  EXPECT_FALSE(check->isChecked());

  ClickIndicator(r1);
  EXPECT_TRUE(form_.RadioButton1.Checked());
  ClickIndicator(r2);
  EXPECT_EQ(radio_clicks, 1);
  EXPECT_TRUE(form_.RadioButton2.Checked());
  EXPECT_FALSE(form_.RadioButton1.Checked());
  EXPECT_FALSE(r1->isChecked());
  EXPECT_TRUE(form_.RadioButton3.Checked()) << "another parent is another group";
  EXPECT_TRUE(r3->isChecked());

  // The models may leave a group with nothing checked.
  form_.RadioButton2.SetChecked(false);
  EXPECT_FALSE(r1->isChecked());
  EXPECT_FALSE(r2->isChecked());
  form_.RadioButton1.SetChecked(true);
  EXPECT_TRUE(r1->isChecked());
}

TEST_F(FormViewTest, MemoProgressBarAndStatusBarShowTheModel) {
  form_.ProgressBar1.SetRange(0, 100);
  form_.ProgressBar1.SetPosition(30);
  form_.StatusBar1.AddPanel(186);
  Show();
  auto* memo = Widget<QPlainTextEdit>("Memo1");
  auto* bar = Widget<QProgressBar>("ProgressBar1");
  auto* status = Widget<QWidget>("StatusBar1");
  ASSERT_TRUE(memo && bar && status);

  EXPECT_TRUE(memo->isReadOnly());
  EXPECT_EQ(memo->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  form_.Memo1.AddLine("$GPGGA,1");
  form_.Memo1.AddLine("$GPGSA,2");
  EXPECT_EQ(memo->toPlainText(), "$GPGGA,1\n$GPGSA,2");
  form_.Memo1.Clear();
  EXPECT_EQ(memo->toPlainText(), "");
  form_.Memo1.AddLine("$GPRMC,3");
  EXPECT_EQ(memo->toPlainText(), "$GPRMC,3");

  EXPECT_EQ(bar->value(), 30);
  form_.ProgressBar1.SetPosition(100);
  EXPECT_EQ(bar->value(), 100);
  EXPECT_EQ(bar->maximum(), 100);
  form_.ProgressBar1.SetRange(0, 50);
  EXPECT_EQ(bar->maximum(), 50);
  EXPECT_EQ(bar->value(), 50);

  // Panels added later and texts; the bar lies along the bottom of its parent.
  form_.StatusBar1.AddPanel(200);
  form_.StatusBar1.SetPanelText(1, "Selected Com Port : /dev/ttyUSB0");
  auto* panel0 = status->findChild<QLabel*>("StatusBar1.Panel0");
  auto* panel1 = status->findChild<QLabel*>("StatusBar1.Panel1");
  ASSERT_TRUE(panel0 && panel1);
  EXPECT_EQ(panel1->text(), "Selected Com Port : /dev/ttyUSB0");
  EXPECT_EQ(panel0->geometry(), QRect(0, 0, 186, 19));
  EXPECT_EQ(panel1->x(), 186);
  EXPECT_EQ(status->geometry(), QRect(0, 600 - 19, 500, 19));
  root_.resize(640, 700);
  EXPECT_EQ(status->geometry(), QRect(0, 700 - 19, 640, 19));
  EXPECT_EQ(panel1->width(), 640 - 186) << "the last panel runs to the right edge";
}

TEST_F(FormViewTest, ADisabledGroupBoxDisablesWhatIsInside) {
  Show();
  auto* group = Widget<QGroupBox>("GroupBox1");
  auto* check = Widget<QCheckBox>("CheckBox1");
  auto* r1 = Widget<QRadioButton>("RadioButton1");
  ASSERT_TRUE(group && check && r1);
  EXPECT_EQ(check->parentWidget(), group);

  form_.GroupBox1.SetEnabled(false);
  EXPECT_FALSE(check->isEnabled());
  EXPECT_FALSE(r1->isEnabled());
  EXPECT_TRUE(form_.CheckBox1.Enabled()) << "the child's own flag is untouched";
  ClickIndicator(check);
  EXPECT_FALSE(form_.CheckBox1.Checked());

  // A child disabled on its own stays so when the group comes back.
  form_.RadioButton1.SetEnabled(false);
  form_.GroupBox1.SetEnabled(true);
  EXPECT_TRUE(check->isEnabled());
  EXPECT_FALSE(r1->isEnabled());
  ClickIndicator(check);
  EXPECT_TRUE(form_.CheckBox1.Checked());
}

TEST_F(FormViewTest, PagesHideTheirTabsAndFollowTheActivePage) {
  form_.Sheet1.SetTabVisible(false);
  form_.PageControl1.SetActivePage(&form_.Sheet2);
  Show();
  auto* tabs = Widget<QTabWidget>("PageControl1");
  ASSERT_NE(tabs, nullptr);
  ASSERT_EQ(tabs->count(), 3);
  EXPECT_EQ(tabs->geometry(), QRect(0, 320, 400, 200));
  EXPECT_EQ(tabs->tabText(1), "Two");
  EXPECT_FALSE(tabs->isTabVisible(0));
  EXPECT_TRUE(tabs->isTabVisible(1));
  EXPECT_EQ(tabs->currentWidget(), view_->WidgetFor(form_.Sheet2));
  EXPECT_EQ(Widget<QLabel>("Label2")->parentWidget(), tabs->currentWidget());

  // The page class the view knows nothing about works like any other.
  auto* go = Widget<QPushButton>("GoButton");
  ASSERT_NE(go, nullptr);
  EXPECT_EQ(go->parentWidget(), tabs->widget(2));
  EXPECT_EQ(go->geometry(), QRect(10, 20, 80, 25));

  // The operator picks a tab.
  QTabBar* bar = tabs->tabBar();
  QTest::mouseClick(bar, Qt::LeftButton, {}, bar->tabRect(2).center());
  EXPECT_EQ(form_.PageControl1.ActivePage(), &form_.Extra);
  QTest::mouseClick(go, Qt::LeftButton);
  EXPECT_EQ(form_.Extra.clicks, 1);

  // The program hides and shows tabs and turns pages.
  form_.Sheet1.SetTabVisible(true);
  form_.Sheet1.SetCaption("First");
  EXPECT_TRUE(tabs->isTabVisible(0));
  EXPECT_EQ(tabs->tabText(0), "First");
  form_.PageControl1.SetActivePage(&form_.Sheet1);
  EXPECT_EQ(tabs->currentIndex(), 0);
  form_.Extra.SetTabVisible(false);
  EXPECT_FALSE(tabs->isTabVisible(2));
  EXPECT_EQ(form_.PageControl1.ActivePage(), &form_.Sheet1);
}

TEST_F(FormViewTest, TheEngineeringViewShowsHiddenTabs) {
  form_.Sheet1.SetTabVisible(false);
  form_.Extra.SetTabVisible(false);
  ViewOptions options;
  options.show_hidden_tabs = true;
  Show(options);
  auto* tabs = Widget<QTabWidget>("PageControl1");
  ASSERT_NE(tabs, nullptr);
  for (int i = 0; i < tabs->count(); ++i) EXPECT_TRUE(tabs->isTabVisible(i)) << i;
  EXPECT_FALSE(form_.Sheet1.TabVisible()) << "the model keeps what the logic set";
}

TEST_F(FormViewTest, TimersGetNoWidgetAndTheOpenDialogAsksWithQtsFilter) {
  Show();
  EXPECT_EQ(view_->WidgetFor(form_.Timer1), nullptr);
  EXPECT_EQ(root_.findChild<QWidget*>("Timer1"), nullptr);
  EXPECT_EQ(root_.findChild<QWidget*>("OpenDialog1"), nullptr);

  form_.OpenDialog1.SetFileName("/tmp/old.bin");
  answer_ = "/tmp/firmware.bin";
  EXPECT_TRUE(form_.OpenDialog1.Execute());
  EXPECT_EQ(form_.OpenDialog1.FileName(), "/tmp/firmware.bin");
  EXPECT_EQ(asked_filter_, "Binary File (*.bin);;All Files (*.*)");
  EXPECT_EQ(asked_preset_, "/tmp/old.bin");
  EXPECT_EQ(asked_parent_, &root_);

  answer_.clear();  // cancelled
  EXPECT_FALSE(form_.OpenDialog1.Execute());
  EXPECT_EQ(form_.OpenDialog1.FileName(), "/tmp/firmware.bin");

  view_.reset();
  answer_ = "/tmp/other.bin";
  EXPECT_FALSE(form_.OpenDialog1.Execute()) << "no view, nobody to ask";
  // Nor does any model change reach the widgets of a view that is gone.
  form_.Label1.SetCaption("after");
}

TEST(FormViewHelpersTest, FiltersAndColoursInQtsTerms) {
  EXPECT_EQ(QtFileFilter("Binary File (*.bin)|*.bin|All Files (*.*)|*.*"),
            "Binary File (*.bin);;All Files (*.*)");
  EXPECT_EQ(QtFileFilter("Images|*.bmp;*.png"), "Images (*.bmp *.png)");
  EXPECT_EQ(QtFileFilter(""), "");
  EXPECT_EQ(ToQColor(0x800000), QColor(0, 0, 128));
  EXPECT_EQ(ToQColor(0x008000), QColor(0, 128, 0));
  EXPECT_EQ(ToQColor(0x0000FF), QColor(255, 0, 0));
  EXPECT_EQ(ToQColor(0x123456), QColor(0x56, 0x34, 0x12));
}

}  // namespace
}  // namespace flashpost::gui
