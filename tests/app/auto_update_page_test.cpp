#include "app/auto_update_page.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "app/main_form.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"
#include "ui/headless_loop.h"

namespace flashpost::app {
namespace {

// The supervision alone, on a clock that only the test moves: no worker runs.
class SupervisionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    board_.StartTick[0] = clock_.Ticks();
    form_.Timer1.SetTimerEnabled(true);
    form_.AutoPage.Button13.SetEnabled(false);
    form_.AutoPage.BeginSupervision();  // as OK does once the probe is out
  }
  platform::ManualClock clock_{0xFFFFF000u};  // the answer window runs across the wrap
  ui::HeadlessLoop loop_{clock_};
  testing::FakeSerialSystem fake_{{"COM4"}};
  PortBoard board_{clock_, fake_};
  TMainForm form_{board_, loop_};
  AutoUpdatePage& page_ = form_.AutoPage;
};

TEST_F(SupervisionTest, TheVersionPicksTheImageAndRaisesTheCommandedUpdate) {
  board_.VersionSeen[0] = 1;
  board_.JobReUpdate[0] = 1;
  board_.VersionField3[0].Set("3");
  page_.SuperviseUpdate();
  EXPECT_EQ(board_.ChipIsSecond.load(), 0);
  EXPECT_EQ(board_.JobFwAp[0].load(), 1);
  EXPECT_EQ(board_.JobReUpdate[0].load(), 0);
  for (const char* other : {"5", "x", "", "30", "3x", " 3"}) {
    board_.VersionField3[0].Set(other);
    page_.SuperviseUpdate();
    EXPECT_EQ(board_.ChipIsSecond.load(), 1) << other;
  }
}

TEST_F(SupervisionTest, SilenceForTwoSecondsStartsTheFallBack) {
  ASSERT_EQ(serial::OpenPort(board_, "COM4", "9600", 0), 1);
  clock_.Advance(1999);
  page_.SuperviseUpdate();
  EXPECT_EQ(board_.JobReUpdate[0].load(), 0);
  EXPECT_EQ(board_.ReadEnabled[0].load(), 1);
  clock_.Advance(1);
  page_.SuperviseUpdate();
  EXPECT_EQ(board_.JobReUpdate[0].load(), 1);
  EXPECT_EQ(board_.JobFwAp[0].load(), 0);
  EXPECT_EQ(board_.ChipIsSecond.load(), 1);
  EXPECT_EQ(board_.OverallSuccess.load(), 1);
  EXPECT_EQ(board_.ReadEnabled[0].load(), 0) << "the probe's port is closed for the kernel";
}

TEST_F(SupervisionTest, TheThirdAttemptGivesUp) {
  board_.OverallSuccess = 1;  // a fall-back is running
  board_.AttemptCount = 2;
  page_.SuperviseUpdate();
  EXPECT_TRUE(form_.Timer1.TimerEnabled());
  board_.AttemptCount = 3;
  page_.SuperviseUpdate();
  EXPECT_EQ(page_.Label63.Caption(), "Restart module and Tool!");
  EXPECT_EQ(page_.Label63.FontColor(), kRed);
  EXPECT_FALSE(form_.Timer1.TimerEnabled());
  EXPECT_TRUE(page_.Button13.Enabled());
}

TEST(SupervisionWithoutOkTest, NothingIsSupervisedBeforeOk) {
  platform::ManualClock clock;
  ui::HeadlessLoop loop(clock);
  testing::FakeSerialSystem fake({"COM4"});
  PortBoard board(clock, fake);
  TMainForm form(board, loop);
  // Timer1 runs for the terminal page's open too; slot 0 has no run of the automatic page.
  form.Timer1.SetTimerEnabled(true);
  clock.Advance(5000);
  form.Timer1Timer();
  EXPECT_EQ(board.JobReUpdate[0].load(), 0);
  EXPECT_EQ(board.OverallSuccess.load(), 0);
  EXPECT_EQ(board.ChipIsSecond.load(), 2);
}

TEST_F(SupervisionTest, LeavesSlotZeroAloneOnceAnotherPageRunsIt) {
  page_.EndSupervision();  // as a multi-port Start does
  ASSERT_EQ(serial::OpenPort(board_, "COM4", "9600", 0), 1);
  clock_.Advance(5000);
  board_.AttemptCount = 3;
  page_.SuperviseUpdate();
  EXPECT_EQ(board_.JobReUpdate[0].load(), 0) << "no fall-back onto another run's module";
  EXPECT_EQ(board_.ReadEnabled[0].load(), 1);
  EXPECT_NE(page_.Label63.Caption(), "Restart module and Tool!");
  EXPECT_TRUE(form_.Timer1.TimerEnabled());
}

// A worker that has done its job and ended, as slot 0's does once the module took its firmware.
class FinishedWorker : public ui::Thread {
 public:
  using ui::Thread::Thread;

 protected:
  void Execute() override {}
};

TEST_F(SupervisionTest, AnEndedRunRaisesNoJobForTheNextWorker) {
  auto worker = ui::StartThread<FinishedWorker>(loop_);
  worker->WaitFor();
  board_.Worker[0].Set(worker);
  board_.VersionSeen[0] = 1;  // the version report of the run that succeeded stays
  board_.OverallSuccess = 1;
  clock_.Advance(5000);
  page_.SuperviseUpdate();
  page_.SuperviseUpdate();
  EXPECT_EQ(board_.JobFwAp[0].load(), 0) << "the next run's worker would update unprobed";
  EXPECT_EQ(board_.JobReUpdate[0].load(), 0);
  EXPECT_FALSE(page_.Supervising());
}

// Stands in for slot 0's worker in its abandoned third attempt, inside a procedure that does
// not let go of the port until it is released.
class AttemptInProgress : public ui::Thread {
 public:
  AttemptInProgress(ui::MainLoop& loop, PortBoard& board) : ui::Thread(loop), board_(board) {}
  std::atomic<bool> holding{false}, release{false};

 protected:
  void Execute() override {
    std::lock_guard in_procedure(board_.ProcedureLock[0]);
    holding = true;
    while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  PortBoard& board_;
};

TEST_F(SupervisionTest, OkAndThePortComeBackOnlyOnceTheAbandonedAttemptHasLeft) {
  ASSERT_EQ(serial::OpenPort(board_, "COM4", "115200", 0), 1);
  auto attempt = ui::StartThread<AttemptInProgress>(loop_, board_);
  while (!attempt->holding) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  board_.Worker[0].Set(attempt);
  board_.AttemptCount = 3;
  page_.SuperviseUpdate();
  EXPECT_TRUE(attempt->Terminated());
  EXPECT_EQ(page_.Label63.Caption(), "Restart module and Tool!");
  EXPECT_EQ(page_.Label63.FontColor(), kRed);
  EXPECT_EQ(board_.ReadEnabled[0].load(), 1) << "not closed under the procedure";
  EXPECT_FALSE(page_.Button13.Enabled()) << "a new run would share the port with the old one";
  EXPECT_TRUE(form_.Timer1.TimerEnabled());

  attempt->release = true;
  attempt->WaitFor();
  page_.SuperviseUpdate();
  EXPECT_EQ(board_.ReadEnabled[0].load(), 0);
  EXPECT_EQ(page_.Label63.Caption(), "Restart module and Tool!");
  EXPECT_TRUE(page_.Button13.Enabled());
  EXPECT_FALSE(form_.Timer1.TimerEnabled());
}

TEST(AutoUpdateOkTest, APortThatCannotBeOpenedGivesOkBack) {
  platform::ScaledClock clock(20.0);
  ui::HeadlessLoop loop(clock);
  testing::FakeSerialSystem fake({"COM4"});
  PortBoard board(clock, fake);
  TMainForm form(board, loop);
  auto& page = form.AutoPage;
  page.ComboBox6.SetText("COM77");
  page.ComboBox9.SetText("9600");
  board.AttemptCount = 2;
  board.JobFsa[5] = 1;
  page.Button13.Click();
  EXPECT_TRUE(page.Button13.Enabled());
  EXPECT_EQ(board.CurrentPortName.Get(), "COM77");
  EXPECT_EQ(board.CurrentBaudText.Get(), "9600");
  EXPECT_EQ(board.AttemptCount.load(), 0);
  EXPECT_EQ(board.JobFsa[5].load(), 0) << "every slot's jobs are cleared at OK";
  EXPECT_EQ(board.WaitTimeoutMs.load(), 5000);
  auto worker = board.Worker[0].Get();
  ASSERT_NE(worker, nullptr);
  EXPECT_TRUE(worker->Terminated());
  form.RefreshBoard();
  EXPECT_EQ(page.Label63.Caption(), "Cannot open COM77 port !");
  EXPECT_EQ(page.Label63.FontColor(), kRed);
  EXPECT_EQ(page.Label64.Caption(), "0%");
}

TEST(AutoUpdateOkTest, TheProbeGoesTwiceInSingleWritesTwoHundredMillisecondsApart) {
  // A clock of its own pace: a manual clock would also run on the slot-0 worker's idle pauses.
  platform::ScaledClock clock(2.0);
  ui::HeadlessLoop loop(clock);
  testing::FakeSerialSystem fake({"COM4"});
  PortBoard board(clock, fake);
  TMainForm form(board, loop);
  form.AutoPage.ComboBox6.SetText("COM4");
  form.AutoPage.ComboBox9.SetText("9600");
  form.AutoPage.Button13.Click();
  EXPECT_FALSE(form.AutoPage.Button13.Enabled());
  EXPECT_TRUE(form.Timer1.TimerEnabled());
  EXPECT_EQ(fake.Log("COM4")->baud.load(), 9600u);
  auto writes = fake.Log("COM4")->Writes();
  ASSERT_EQ(writes.size(), 2u);
  for (const auto& w : writes) EXPECT_EQ(w.bytes, "$PQRV14,8*14\r\n");
  EXPECT_GE(writes[1].tick - writes[0].tick, 200u);
  EXPECT_LT(writes[1].tick - writes[0].tick, 400u) << "one pause, not two";
  EXPECT_GE(static_cast<int32_t>(board.StartTick[0].load() - writes[1].tick), 0)
      << "the answer window starts after the second probe";
}

}  // namespace
}  // namespace flashpost::app
