// Every control kind through a desktop view, both ways; then the whole window.
#include <functional>
#include <string>
#include <vector>

#include "app/main_form.h"
#include "conformance/view_probe.h"

namespace flashpost::conformance {
namespace {

bool Intersect(const ui::Rect& a, const ui::Rect& b, int rows = 1) {
  return std::min(a.left + a.width, b.left + b.width) > std::max(a.left, b.left) &&
         std::min(a.top + a.height, b.top + b.height) - std::max(a.top, b.top) >= rows;
}

// What a picture of the shown controls under root would show wrong: a group of the model that
// does not show, a button, tick box or group that does not tell the operator what it is, a control
// too small to see, text cut off, controls overlapping or reaching outside their parent.
::testing::AssertionResult LaidOutWhole(ViewProbe& probe, ui::Control& root) {
  std::vector<std::pair<ui::Control*, Layout>> shown;
  std::string faults;
  std::function<void(ui::Control&)> walk = [&](ui::Control& parent) {
    for (ui::Control* c : parent.Children()) {
      if (!probe.Exists(*c)) continue;
      const Layout l = probe.Measure(*c);
      const bool group = dynamic_cast<ui::GroupBox*>(c) != nullptr;
      if (group && c->Visible() && !l.shown) faults += "\n  " + c->Name() + " does not show";
      if (!l.shown) continue;
      if ((group || dynamic_cast<ui::Button*>(c) || dynamic_cast<ui::CheckBox*>(c) ||
           dynamic_cast<ui::RadioButton*>(c)) &&
          probe.Text(*c).empty())
        faults += "\n  " + c->Name() + " has no caption";
      shown.emplace_back(c, l);
      walk(*c);
    }
  };
  walk(root);
  for (size_t i = 0; i < shown.size(); ++i) {
    const auto& [c, l] = shown[i];
    const ui::Rect& p = l.place;
    if (p.left < 0 || p.top < 0 || p.left + p.width > l.parent_area.width ||
        p.top + p.height > l.parent_area.height)
      faults += "\n  " + c->Name() + " reaches outside its parent";
    if (p.width <= 0 || p.height <= 0) faults += "\n  " + c->Name() + " has no size";
    if (l.text_clipped) faults += "\n  " + c->Name() + "'s text is clipped";
    for (size_t j = 0; j < shown.size(); ++j) {
      const auto& [other, ol] = shown[j];
      // A pixel row shared with the caption's padding hides nothing of its letters.
      if (other->Parent() == c && l.caption.width > 0 && Intersect(ol.place, l.caption, 3))
        faults += "\n  " + other->Name() + " covers the caption of " + c->Name();
      if (i < j && ol.parent == l.parent && Intersect(p, ol.place))
        faults += "\n  " + c->Name() + " overlaps " + other->Name();
    }
  }
  if (faults.empty()) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << root.Name() << ":" << faults;
}

TEST_P(ViewSuite, LabelsEditsAndComboBoxesGoBothWays) {
  int changes = 0, on_change = 0;
  form.Edit1.AddObserver([&](ui::Control&, std::string_view p) { changes += p == "text"; });
  form.ComboBox1.OnChange = [&] { ++on_change; };
  form.ComboBox1.SetText("B");
  probe_->Show(form, false);
  EXPECT_EQ(probe_->Text(form.ComboBox1), "B") << "the view starts from the model";
  form.Label1.SetCaption(" FW(AP) update OK!(OK) & more");
  form.Label1.SetFontColor(0x0000FF);
  form.Label1.SetGeometry({10, 12, 150, 20});
  EXPECT_EQ(probe_->Text(form.Label1), " FW(AP) update OK!(OK) & more") << "taken as it is";
  EXPECT_EQ(probe_->TextColor(form.Label1), 0x0000FFu);
  EXPECT_EQ(probe_->Measure(form.Label1).place, (ui::Rect{10, 12, 150, 20}));
  form.Label1.SetVisible(false);
  EXPECT_FALSE(probe_->Shown(form.Label1));

  probe_->Type(form.Edit1, "500");
  EXPECT_EQ(form.Edit1.Text(), "500");
  EXPECT_EQ(changes, 3) << "one model change per key, none echoed back";
  form.Edit1.SetText("10000");
  EXPECT_EQ(probe_->Text(form.Edit1), "10000");
  form.Edit1.SetMaxLength(6);
  probe_->Type(form.Edit1, "1234567");
  EXPECT_EQ(form.Edit1.Text(), "123456");
  form.Edit1.SetReadOnly(true);
  probe_->Type(form.Edit1, "9");
  EXPECT_EQ(form.Edit1.Text(), "123456");

  probe_->Type(form.ComboBox1, "COM17");
  EXPECT_EQ(form.ComboBox1.Text(), "COM17");
  EXPECT_EQ(on_change, 5);
  form.ComboBox1.SetItemIndex(0);
  EXPECT_EQ(probe_->Text(form.ComboBox1), "A");
  probe_->Pick(form.ComboBox1, 1);
  EXPECT_EQ(form.ComboBox1.Text(), "B");
  EXPECT_EQ(on_change, 6);
  // A port scan's new list: the items are replaced and the typed text stays.
  form.ComboBox1.SetText("COM9");
  form.ComboBox1.SetItems({"COM3", "COM4"});
  EXPECT_EQ(probe_->Items(form.ComboBox1), (std::vector<std::string>{"COM3", "COM4"}));
  EXPECT_EQ(probe_->Text(form.ComboBox1), "COM9");
  EXPECT_EQ(on_change, 6) << "changes made by the program are not the operator's";
}

TEST_P(ViewSuite, TickButtonsLetTheModelDecideAndGroupsDisableThem) {
  int check_clicks = 0, radio_clicks = 0;
  form.CheckBox1.SetCaption("AutoCalibration");
  form.CheckBox1.OnClick = [&] { ++check_clicks; };
  form.RadioButton2.OnClick = [&] { ++radio_clicks; };
  form.RadioButton3.SetChecked(true);
  probe_->Show(form, false);
  EXPECT_EQ(probe_->Text(form.CheckBox1), "AutoCalibration");
  probe_->Click(form.CheckBox1);
  EXPECT_EQ(check_clicks, 1);
  form.CheckBox1.SetChecked(false);
  EXPECT_FALSE(probe_->Checked(form.CheckBox1));

  probe_->Click(form.RadioButton1);
  probe_->Click(form.RadioButton2);
  EXPECT_EQ(radio_clicks, 1);
  EXPECT_TRUE(probe_->Checked(form.RadioButton3)) << "another parent is another group";
  // A handler that refuses the choice puts the old one back: the buttons show the models.
  form.RadioButton1.OnClick = [&] { form.RadioButton2.SetChecked(true); };
  probe_->Click(form.RadioButton1);
  EXPECT_FALSE(probe_->Checked(form.RadioButton1));
  EXPECT_TRUE(probe_->Checked(form.RadioButton2));
  form.RadioButton2.SetChecked(false);  // the models may leave a group with nothing checked
  EXPECT_FALSE(probe_->Checked(form.RadioButton2));

  // A disabled group disables what is inside, at any depth; the children keep their own flags.
  form.GroupBox1.SetEnabled(false);
  probe_->Click(form.CheckBox1);
  EXPECT_FALSE(form.CheckBox1.Checked());
  form.Outer.SetEnabled(false);
  EXPECT_FALSE(probe_->Enabled(form.RadioButton3)) << "a group inside a group greys out too";
  form.RadioButton1.SetEnabled(false);
  form.GroupBox1.SetEnabled(true);
  form.Outer.SetEnabled(true);
  EXPECT_TRUE(probe_->Enabled(form.RadioButton3));
  EXPECT_FALSE(probe_->Enabled(form.RadioButton1));
}

TEST_P(ViewSuite, CheckListsMemosProgressAndStatusBars) {
  form.CheckListBox1.SetItems({"COM3", "COM4", "COM5"});
  form.CheckListBox1.SetChecked(2, true);
  probe_->Show(form, false);
  probe_->Tick(form.CheckListBox1, 0, true);
  EXPECT_TRUE(form.CheckListBox1.Checked(0));
  form.CheckListBox1.AddItem("COM6");
  EXPECT_EQ(probe_->Ticks(form.CheckListBox1), (std::vector<bool>{true, false, true, false}))
      << "an added item keeps the others' ticks";
  form.CheckListBox1.SetItems({"COM7"});
  EXPECT_EQ(probe_->Ticks(form.CheckListBox1), std::vector<bool>{false});

  form.Memo1.AddLine("$GPGGA,1");
  form.Memo1.AddLine("$GPGSA,2");
  EXPECT_EQ(probe_->Text(form.Memo1), "$GPGGA,1\n$GPGSA,2");
  form.ProgressBar1.SetRange(0, 50);
  form.ProgressBar1.SetPosition(70);
  EXPECT_EQ(probe_->Position(form.ProgressBar1, true), 50);
  EXPECT_EQ(probe_->Position(form.ProgressBar1), 50);

  form.StatusBar1.AddPanel(200);
  form.StatusBar1.SetPanelText(1, "Selected Com Port : COM3");
  EXPECT_EQ(probe_->PanelText(form.StatusBar1, 1), "Selected Com Port : COM3");
  probe_->ResizeHost(640, 700);
  EXPECT_EQ(probe_->Measure(form.StatusBar1).place, (ui::Rect{0, 700 - 19, 640, 19}))
      << "at the bottom";
}

TEST_P(ViewSuite, PagesHideTabsFollowTheActivePageAndDialogsAsk) {
  form.Sheet1.SetTabVisible(false);
  form.PageControl1.SetActivePage(&form.Sheet2);
  probe_->Show(form, false);
  EXPECT_EQ(probe_->Tabs(form.PageControl1), (std::vector<std::string>{"Two", "Extra"}));
  EXPECT_TRUE(probe_->Shown(form.Label2));
  probe_->ClickTab(form.PageControl1, 1);
  EXPECT_EQ(form.PageControl1.ActivePage(), &form.Extra);
  EXPECT_FALSE(probe_->Shown(form.Label2));
  probe_->Click(form.Extra.Go);
  EXPECT_EQ(form.Extra.clicks, 1);

  form.Sheet1.SetTabVisible(true);
  form.Sheet1.SetCaption("First");
  form.PageControl1.SetActivePage(&form.Sheet2);
  form.Extra.SetTabVisible(false);
  EXPECT_EQ(probe_->Tabs(form.PageControl1), (std::vector<std::string>{"First", "Two"}));
  EXPECT_TRUE(probe_->Shown(form.Label2));

  // The engineering view, which shows every tab, leaves the model as the logic set it.
  probe_->Drop();
  probe_->Show(form, true);
  EXPECT_FALSE(form.Extra.TabVisible());

  // Timers get no widget; the open dialog asks the operator while the view is there.
  EXPECT_FALSE(probe_->Exists(form.Timer1));
  EXPECT_FALSE(probe_->Exists(form.OpenDialog1));
  form.OpenDialog1.SetFileName("old.bin");
  probe_->answer = "new.bin";
  EXPECT_TRUE(form.OpenDialog1.Execute());
  EXPECT_EQ(form.OpenDialog1.FileName(), "new.bin");
  EXPECT_EQ(probe_->asked_preset, "old.bin");
  probe_->answer.clear();  // cancelled
  EXPECT_FALSE(form.OpenDialog1.Execute());
  // Without the view nobody is asked, and model changes reach no widget.
  probe_->Drop();
  probe_->answer = "other.bin";
  EXPECT_FALSE(form.OpenDialog1.Execute());
  EXPECT_EQ(probe_->asks, 2);
  form.Label1.SetCaption("after");
  form.PageControl1.SetActivePage(&form.Sheet1);
}

TEST_P(ViewSuite, AtStartTheAutomaticPageShowsWholeAndTheCloseBoxEndsAll) {
  app::Application& application = probe_->Open(clock_, serial_, false);
  app::TMainForm& form = application.Form();
  EXPECT_EQ(probe_->Tabs(form.PageControl1).size(), 1u);
  for (ui::TabSheet* page : form.PageControl1.Pages())
    EXPECT_EQ(probe_->Shown(*page), page == &form.AutoPage.Sheet) << page->Name();
  EXPECT_EQ(probe_->Items(form.AutoPage.ComboBox6), (std::vector<std::string>{"COM3", "COM4"}))
      << "the port scan replaces the design-time list";
  EXPECT_TRUE(LaidOutWhole(*probe_, form.AutoPage.Sheet));

  // The close box closes the application: the workers leave, the timers and the loop stop.
  app::PortBoard& board = application.Board();
  form.Timer1.SetTimerEnabled(true);
  form.AutoPage.ComboBox6.SetText("COM3");
  probe_->Click(form.AutoPage.Button13);
  ASSERT_EQ(board.ReadEnabled[0].load(), 1) << "OK opened the port for the probe";
  auto worker = board.Worker[0].Get();
  EXPECT_TRUE(probe_->Close());
  EXPECT_TRUE(worker->Finished());
  EXPECT_FALSE(form.Timer1.TimerEnabled());
  EXPECT_EQ(board.ReadEnabled[0].load(), 0);
  EXPECT_TRUE(probe_->Loop().IsShutDown());
}

TEST_P(ViewSuite, EveryPageOfTheEngineeringViewTurnsByItsTabAndShowsWhole) {
  app::TMainForm& form = probe_->Open(clock_, serial_, true).Form();
  const std::vector<ui::TabSheet*> pages = form.PageControl1.Pages();
  ASSERT_EQ(probe_->Tabs(form.PageControl1).size(), pages.size());
  for (size_t i = 0; i < pages.size(); ++i) {
    ui::TabSheet& page = *pages[i];
    probe_->ClickTab(form.PageControl1, static_cast<int>(i));
    ASSERT_EQ(form.PageControl1.ActivePage(), &page) << page.Name();
    EXPECT_TRUE(probe_->Shown(page)) << page.Name();
    EXPECT_TRUE(LaidOutWhole(*probe_, page));
  }
  EXPECT_TRUE(LaidOutWhole(*probe_, form));
}

}  // namespace
}  // namespace flashpost::conformance
