#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "board/colors.h"
#include "cno_fixture.h"

namespace flashpost::testing {
namespace {

// Every control lies inside its parent, and the page is 593 x 653.
void ExpectInsideParent(const ui::Control& control) {
  for (const ui::Control* child : control.Children()) {
    const ui::Rect& r = child->Geometry();
    const ui::Rect& p = control.Geometry();
    EXPECT_TRUE(r.left >= 0 && r.top >= 0 && r.width > 0 && r.height > 0 &&
                r.left + r.width <= p.width && r.top + r.height <= p.height)
        << child->Name() << " in " << control.Name();
    ExpectInsideParent(*child);
  }
}

TEST_F(CnoPageTest, ThePageStartsWithTheFormsControlsAndDefaults) {
  EXPECT_EQ(page_.Sheet.Caption(), "C/N0");
  EXPECT_FALSE(page_.Sheet.TabVisible());
  EXPECT_EQ(page_.Sheet.Geometry(), (ui::Rect{0, 0, 593, 653}));
  ExpectInsideParent(page_.Sheet);
  EXPECT_EQ(timer2_.Interval(), 500u);
  EXPECT_FALSE(timer2_.TimerEnabled());

  EXPECT_EQ(page_.Edit6.Text(), "20000");
  EXPECT_EQ(page_.Edit7.Text(), "40");
  EXPECT_EQ(page_.Edit8.Text(), "0");
  EXPECT_EQ(page_.Edit9.Text(), "");
  EXPECT_EQ(page_.Edit9.MaxLength(), 32);
  EXPECT_TRUE(page_.CheckBox1.Checked());
  EXPECT_EQ(page_.CheckBox1.Caption(), "Refer GPS");
  EXPECT_TRUE(page_.CheckBox2.Checked());
  EXPECT_EQ(page_.CheckBox2.Caption(), "Add C/No Bias");
  EXPECT_TRUE(page_.RadioButton6.Checked());
  EXPECT_FALSE(page_.RadioButton7.Checked());
  EXPECT_EQ(page_.ComboBox5.Text(), "9600");
  EXPECT_EQ(page_.ComboBox5.Items().size(), 9u);
  EXPECT_EQ(page_.Label55.Caption(), "Please select Com Port !");
  EXPECT_EQ(page_.Button9.Caption(), "Start");
  EXPECT_EQ(page_.Button10.Caption(), "Stop");
  EXPECT_EQ(page_.Button8.Caption(), "Scan ComPort");
  for (int slot = 0; slot < 8; ++slot) {
    EXPECT_EQ(page_.SlotBox(slot).Caption(), "Com Port #");
    EXPECT_EQ(page_.StatusLabel(slot).Caption(), "Testing C/No");
    EXPECT_EQ(page_.CnoLabel(slot).Caption(), "0dBHz");
    EXPECT_EQ(page_.SlotProgressBar(slot).Max(), 55);
    EXPECT_TRUE(page_.SlotProgressBar(slot).Smooth());
  }
  EXPECT_EQ(&page_.StatusLabel(7), &page_.Label51);
  EXPECT_EQ(&page_.CnoLabel(3), &page_.Label44);
  EXPECT_EQ(&page_.SlotProgressBar(5), &page_.ProgressBar14);
  // At start no slot carries either test's job, although C/N0 is shown chosen.
  for (int slot = 0; slot < app::kSlotCount; ++slot) {
    EXPECT_EQ(board_.JobCnoTest[slot].load(), 0);
    EXPECT_EQ(board_.JobCustomerId[slot].load(), 0);
  }
  page_.Button8.Click();
  EXPECT_EQ(scans_, 1);
}

TEST_F(CnoPageTest, TheTestOptionsSetTheJobsOfEverySlotAndTheirTexts) {
  board_.JobXtalCal[3].store(1);
  board_.JobFwAp[9].store(1);
  board_.ProtocolMode[2].store(1);
  board_.ProtocolMode[app::kTerminalSlot].store(1);  // the reference in VBI stays in VBI
  board_.XtalAfterDownload.store(1);
  auto_calibration_.SetChecked(true);

  page_.RadioButton7.Click();
  EXPECT_EQ(page_.Edit6.Text(), "10000");
  for (int slot = 0; slot < app::kSlotCount; ++slot) {
    EXPECT_EQ(board_.JobCnoTest[slot].load(), 0);
    EXPECT_EQ(board_.JobCustomerId[slot].load(), 1);
  }
  EXPECT_EQ(board_.JobXtalCal[3].load(), 0);
  EXPECT_EQ(board_.JobFwAp[9].load(), 0);
  EXPECT_EQ(board_.ProtocolMode[2].load(), 0);
  EXPECT_EQ(board_.ProtocolMode[app::kTerminalSlot].load(), 1);
  EXPECT_FALSE(auto_calibration_.Checked());
  EXPECT_EQ(board_.XtalAfterDownload.load(), 0);
  EXPECT_EQ(page_.StatusLabel(4).Caption(), "Setting Customer ID ");
  EXPECT_EQ(page_.CnoLabel(4).Caption(), " ");

  page_.RadioButton6.Click();
  EXPECT_EQ(page_.Edit6.Text(), "20000");
  EXPECT_EQ(board_.JobCnoTest[9].load(), 1);
  EXPECT_EQ(board_.JobCustomerId[0].load(), 0);
  EXPECT_EQ(page_.StatusLabel(4).Caption(), "Testing C/No");
  EXPECT_EQ(page_.CnoLabel(4).Caption(), "0dBHZ");
}

TEST_F(CnoPageTest, EitherReferenceBoxLooksOnlyAtReferGps) {
  page_.Edit7.SetText("45");
  page_.Edit8.SetText("3");
  page_.CheckBox2.Click();  // Refer GPS still checked: nothing reset
  EXPECT_EQ(page_.Edit7.Text(), "45");
  page_.CheckBox1.Click();
  EXPECT_EQ(page_.CheckBox1.Caption(), "Refer Key-in");
  EXPECT_EQ(page_.Edit7.Text(), "40");
  EXPECT_EQ(page_.Edit8.Text(), "0");
  page_.Edit7.SetText("45");
  page_.CheckBox2.Click();  // Add C/No Bias while keyed in: the defaults again
  EXPECT_EQ(page_.Edit7.Text(), "40");
  page_.CheckBox1.Click();
  EXPECT_EQ(page_.CheckBox1.Caption(), "Refer GPS");
}

TEST_F(CnoPageTest, StopEndsTheTimerTheWorkersAndThePorts) {
  class IdleWorker : public ui::Thread {
   public:
    using ui::Thread::Thread;

   protected:
    void Execute() override {
      while (!Terminated()) std::this_thread::yield();
    }
  };
  page_.RadioButton6.Click();
  OpenReference();
  Check({0, 1});
  page_.Button9.Click();
  auto worker = ui::StartThread<IdleWorker>(loop_);
  board_.Worker[1].Set(worker);

  page_.Button10.Click();
  EXPECT_FALSE(timer2_.TimerEnabled());
  EXPECT_EQ(page_.Label55.Caption(), "Please select Com Port !");
  EXPECT_EQ(page_.Label55.FontColor(), app::kNavy);
  ExpectControlsGivenBack();
  EXPECT_TRUE(worker->Terminated());
  EXPECT_EQ(fake_.Log("COM1")->closes, 1);
  EXPECT_EQ(fake_.Log("COM2")->closes, 1);
  EXPECT_EQ(board_.ReadEnabled[0].load(), 0);
  worker->WaitFor();
}

}  // namespace
}  // namespace flashpost::testing
