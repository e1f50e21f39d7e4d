#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "conformance/loop_suite.h"
#include "ui/control.h"
#include "ui/headless_loop.h"
#include "ui/stop_signal.h"

namespace flashpost::conformance {
INSTANTIATE_TYPED_TEST_SUITE_P(Headless, LoopSuite, ui::HeadlessLoop);
}  // namespace flashpost::conformance

namespace flashpost::ui {
namespace {

TEST(ControlTreeTest, FindsForgetsAndDisablesWhatIsInside) {
  Form form("MainForm");
  PageControl pages("PageControl1", &form);
  auto* first = new TabSheet("First", &pages);
  TabSheet second("Second", &pages);
  Label label("Label1", &second);
  EXPECT_EQ(form.Find("Label1"), &label);
  EXPECT_EQ(form.Find("Nope"), nullptr);
  pages.SetActivePage(first);
  EXPECT_EQ(pages.ActivePage(), first);
  delete first;  // the page control must not keep a dangling active page
  EXPECT_EQ(pages.ActivePage(), nullptr);
  EXPECT_EQ(pages.Pages(), std::vector<TabSheet*>{&second});

  TabSheet stranger("Stranger", &form);
  pages.SetActivePage(&stranger);
  EXPECT_EQ(pages.ActivePage(), nullptr) << "a page of another control cannot be made active";

  GroupBox outer("Outer", &form);
  GroupBox group("GroupBox1", &outer);
  Button button("Button1", &group);
  int clicks = 0;
  button.OnClick = [&] { ++clicks; };
  std::vector<std::string> seen;
  button.AddObserver([&](Control&, std::string_view p) { seen.emplace_back(p); });

  outer.SetEnabled(false);
  EXPECT_TRUE(button.Enabled());
  EXPECT_FALSE(button.IsEffectivelyEnabled());
  button.Click();
  EXPECT_EQ(clicks, 0);
  EXPECT_FALSE(seen.empty()) << "a view of the button must learn that it is greyed out";
  outer.SetEnabled(true);
  button.Click();
  EXPECT_EQ(clicks, 1);
  button.SetVisible(false);
  button.Click();
  EXPECT_EQ(clicks, 1) << "a hidden button cannot be pressed";
}

TEST(ControlPropertyTest, ObserversHearEachRealChangeOnceAndValuesStayInRange) {
  Label label("Label63", nullptr);
  std::vector<std::string> seen;
  int id = label.AddObserver([&](Control& c, std::string_view p) {
    EXPECT_EQ(&c, &label);
    seen.emplace_back(p);
  });
  label.SetCaption("Flashpost");
  label.SetCaption("Flashpost");
  label.SetFontColor(0x800000);
  EXPECT_EQ(seen, (std::vector<std::string>{"caption", "fontColor"}));
  label.RemoveObserver(id);
  label.SetCaption("x");
  EXPECT_EQ(seen.size(), 2u);

  // Edits and lists keep what they hold within bounds; out-of-range calls are ignored.
  Edit edit("Edit9", nullptr);
  edit.SetMaxLength(4);
  edit.SetText("ABCDEFG");
  EXPECT_EQ(edit.Text(), "ABCD");
  edit.SetMaxLength(0);
  edit.SetText("ABCDEFG");
  EXPECT_EQ(edit.Text(), "ABCDEFG");

  ComboBox combo("ComboBox9", nullptr);
  combo.SetItems({"1200", "4800", "115200"});
  combo.SetText("9999");
  EXPECT_EQ(combo.ItemIndex(), -1);
  // A new list keeps the text and finds it again, wherever it now is.
  combo.SetText("4800");
  combo.SetItems({"4800", "9600"});
  EXPECT_EQ(combo.ItemIndex(), 0);
  combo.ClearItems();
  EXPECT_EQ(combo.ItemIndex(), -1);
  EXPECT_EQ(combo.Text(), "4800");

  StatusBar status("StatusBar1", nullptr);
  status.AddPanel(186);
  status.AddPanel(200);
  status.SetPanelText(5, "ignored");
  EXPECT_EQ(status.PanelCount(), 2);
}

using conformance::FunctionThread;

TEST(ThreadTest, TerminateIsSeenByTheThreadAndAThreadNobodyHoldsFreesItselfWhenItEnds) {
  platform::ScaledClock clock(1.0);
  HeadlessLoop loop(clock);
  auto looping = StartThread<FunctionThread>(loop, [&](FunctionThread& self) {
    while (self.Stop().Sleep(clock, 1)) {
    }
    EXPECT_TRUE(self.Terminated());
    EXPECT_FALSE(self.Stop().Sleep(clock, 0)) << "no pause at all after the stop";
  });
  EXPECT_FALSE(looping->Finished());
  looping->Terminate();
  looping->WaitFor();
  looping->Terminate();  // ended already: nothing happens
  looping->WaitFor();
  StopSignal fresh;
  EXPECT_TRUE(fresh.Sleep(clock, 0)) << "a pause of nothing before any stop goes on";

  auto flag = std::make_shared<std::atomic<bool>>(false);
  std::weak_ptr<FunctionThread> watch;
  {
    auto t = StartThread<FunctionThread>(loop, [flag](FunctionThread&) { flag->store(true); });
    watch = t;
  }
  // Released by its last holder on its own thread: no join from there, no leak either.
  while (!watch.expired()) conformance::RealPause();
  EXPECT_TRUE(flag->load());
}

}  // namespace
}  // namespace flashpost::ui
