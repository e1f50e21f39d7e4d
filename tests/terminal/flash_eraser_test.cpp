// The flash eraser's ticks against a scripted module on the terminal port, with a clock that
// moves only when told.
#include "terminal/flash_eraser.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "serial/serial_port.h"
#include "support/scripted_serial.h"
#include "terminal/terminal_page.h"
#include "ui/headless_loop.h"
#include "ui/thread.h"

namespace flashpost {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;
using State = terminal::EraserMachine::State;
constexpr int kSlot = app::kTerminalSlot;
const std::string kPort = "/dev/ttyUSB1";
const std::string kConnected = "Connected : /dev/ttyUSB1 / 115200 bps";
const std::string kNotConnected = "Not Connected : /dev/ttyUSB1 / 115200 bps";

// Stands for a terminal reader that runs until it is told to stop.
class IdleReader final : public ui::Thread {
 public:
  using ui::Thread::Thread;

 protected:
  void Execute() override {
    while (!Terminated()) std::this_thread::yield();
  }
};

class FlashEraserTest : public ::testing::Test {
 protected:
  FlashEraserTest() {
    status_bar_.AddPanel(186);
    status_bar_.AddPanel(200);
    timer3_.SetInterval(100);
    page_.ComboBox1.SetText(kPort);
    board_.CurrentBaudText.Set("9600");  // the terminal page's last speed
  }
  ~FlashEraserTest() override { loop_.Shutdown(); }

  void Start() {
    eraser_.SpeedButton3Click();
    ASSERT_TRUE(timer3_.TimerEnabled());
  }
  void Tick(const std::string& arrived = "") {
    module_.Send(arrived);
    eraser_.Timer3Timer();
  }
  // Started, and ticked on a module that behaves until the machine is in the state.
  void DriveTo(int state) {
    Start();
    if (state >= State::kWakingBootMenu) Tick("ZZZZZZ");
    while (state >= State::kReadingMenu && eraser_.EraserState() == State::kWakingBootMenu) Tick();
    if (state >= State::kChoosingErase) Tick("=====\r\n0) Erase\r\n=====\r\n");
    if (state >= State::kFinishing) Tick();
    ASSERT_EQ(eraser_.EraserState(), state);
  }
  std::string Caption() { return page_.Label21.Caption(); }
  std::string Panel() { return status_bar_.PanelAt(0).text; }

  platform::ManualClock clock_;
  ui::HeadlessLoop loop_{clock_};
  testing::ScriptedSerialSystem serial_{{kPort}};
  testing::ScriptedPort& module_ = serial_.Port(kPort);
  app::PortBoard board_{clock_, serial_};
  ui::Form form_{"MainForm"};
  ui::StatusBar status_bar_{"StatusBar1", &form_};
  ui::PageControl pages_{"PageControl1", &form_};
  ui::Timer timer1_{"Timer1", &form_, loop_};
  ui::Timer timer3_{"Timer3", &form_, loop_};
  terminal::TerminalPage page_{pages_, {board_, loop_, timer1_, status_bar_, {}}};
  ui::Button mcd_start_{"Button1", &form_};
  ui::Button mcd_stop_{"Button7", &form_};
  terminal::FlashEraser eraser_{{board_, loop_, timer3_, status_bar_, page_.SpeedButton3,
                                 page_.Button4, page_.Label21, page_.Memo2, page_.ComboBox1,
                                 mcd_start_, mcd_stop_}};
};

TEST_F(FlashEraserTest, StartOpensTheTerminalPortAt115200AndStopsTheReader) {
  auto reader = ui::StartThread<IdleReader>(loop_);
  board_.TerminalReader.Set(reader);
  page_.Memo2.AddLine("last run");
  Start();
  EXPECT_TRUE(reader->Terminated());
  reader->WaitFor();

  EXPECT_EQ(Caption(), " Send command then into Kernel mode");
  EXPECT_EQ(page_.Memo2.Lines(), Lines{" "});
  EXPECT_EQ(Panel(), kConnected);
  EXPECT_EQ(module_.baud.load(), 115200u);
  EXPECT_EQ(board_.ReadEnabled[kSlot].load(), 1);
  EXPECT_EQ(board_.CurrentPortName.Get(), kPort);
  EXPECT_EQ(board_.CurrentBaudText.Get(), "115200");
  EXPECT_EQ(board_.SavedBaudText.Get(), "9600");
  EXPECT_FALSE(mcd_start_.Enabled());
  EXPECT_FALSE(mcd_stop_.Enabled());

  // The timer's tick and the buttons are the eraser's; a second Start keeps the open port and
  // starts over.
  module_.Send("ZZZZZ");
  timer3_.OnTimer();
  EXPECT_EQ(eraser_.EraserZCount(), 5);
  page_.SpeedButton3.Click();
  EXPECT_EQ(module_.opens.load(), 1);
  EXPECT_EQ(eraser_.EraserZCount(), 0);
  EXPECT_EQ(eraser_.EraserRound(), 0);
  EXPECT_EQ(board_.SavedBaudText.Get(), "115200");
}

TEST_F(FlashEraserTest, APortThatWillNotOpenLeavesTheMachineUnstarted) {
  page_.ComboBox1.SetText("COM7");
  eraser_.SpeedButton3Click();
  EXPECT_EQ(Caption(), " Changing Baud Rate to 115200.....");
  EXPECT_EQ(board_.StatusText[kSlot].Get(), "Cannot open COM7 port !");
  EXPECT_FALSE(timer3_.TimerEnabled());
  EXPECT_FALSE(mcd_start_.Enabled());
  EXPECT_FALSE(mcd_stop_.Enabled());
  EXPECT_EQ(Panel(), "Cannot open COM7 port !") << "the operator is told why";
  EXPECT_EQ(board_.CurrentBaudText.Get(), "115200");
  EXPECT_EQ(board_.SavedBaudText.Get(), "9600");
}

TEST_F(FlashEraserTest, PowerUpOutputCountsItsZBytesFromStartOn) {
  Start();
  for (std::string chunk : {"xZZ\r", "", "Z.ZZ"}) {
    Tick(chunk);
    EXPECT_EQ(eraser_.EraserState(), State::kWaitingForModule);
    EXPECT_EQ(Caption(), " Please connect your module!  ");
  }
  EXPECT_EQ(eraser_.EraserZCount(), 5);
  EXPECT_EQ(eraser_.EraserRound(), 3);
  Tick("Z");
  EXPECT_EQ(eraser_.EraserState(), State::kWakingBootMenu);
  EXPECT_EQ(Caption(), " Got connection!  ");
  EXPECT_EQ(eraser_.EraserRound(), 1);

  // Five, then silence: the machine waits for as long as it runs. Start counts afresh.
  page_.Button4.Click();
  ASSERT_FALSE(timer3_.TimerEnabled());
  Start();
  Tick("ZZZZZ");
  for (int n = 0; n < 50; ++n) Tick();
  EXPECT_EQ(eraser_.EraserState(), State::kWaitingForModule);
  EXPECT_EQ(eraser_.EraserZCount(), 5);
  EXPECT_EQ(module_.Written(), "");
}

TEST_F(FlashEraserTest, FiveSpacesWakeTheBootMenuOnePerTick) {
  DriveTo(State::kWakingBootMenu);
  for (int n = 1; n <= 5; ++n) {
    ASSERT_EQ(eraser_.EraserState(), State::kWakingBootMenu);
    Tick();
    EXPECT_EQ(module_.Written(), std::string(n, ' '));
    EXPECT_EQ(Caption(), "Sending Space Key!  ");
  }
  EXPECT_EQ(eraser_.EraserState(), State::kReadingMenu);
}

TEST_F(FlashEraserTest, AMenuWithFourRulesOnTheFirstReadChoosesErase) {
  DriveTo(State::kReadingMenu);
  const std::string before = module_.Written();
  Tick("==\r\n0) Erase flash\r\n==\r\n\0garbage"s);
  EXPECT_EQ(eraser_.EraserState(), State::kChoosingErase);
  EXPECT_EQ(eraser_.EraserEqCount(), 4);
  EXPECT_EQ(Caption(), " Into Manual Select!(NG)");
  EXPECT_EQ(page_.Memo2.Lines(), (Lines{"==", "0) Erase flash", "=="}));
  EXPECT_EQ(module_.Written(), before + " ");
}

TEST_F(FlashEraserTest, AMenuReadNeverTakesTheAnswerToItsOwnSpace) {
  DriveTo(State::kReadingMenu);
  module_.AnswerTo(" ", "====");
  Tick("ab");
  EXPECT_EQ(eraser_.EraserState(), State::kReadingMenu);
  EXPECT_EQ(page_.Memo2.Lines(), Lines{"ab"});
}

TEST_F(FlashEraserTest, ThreeReadsWithoutTheMenuLeaveTheMachineInState2) {
  DriveTo(State::kReadingMenu);
  const size_t spaces = module_.Written().size();
  for (int n = 1; n <= 3; ++n) Tick("=== read " + std::to_string(n));
  EXPECT_EQ(page_.Memo2.Lines(), Lines{"=== read 3"});
  EXPECT_EQ(eraser_.EraserEqCount(), 3);
  // No fourth read, even of a good menu.
  Tick("====");
  Tick();
  EXPECT_EQ(eraser_.EraserState(), State::kReadingMenu);
  EXPECT_EQ(Caption(), " Try to get 3th data!(NG)");
  EXPECT_EQ(module_.Written().size(), spaces + 3);
  EXPECT_EQ(page_.Memo2.Lines(), Lines{"=== read 3"});
}

TEST_F(FlashEraserTest, EveryQuestionAfterTheEraseItemGetsAY) {
  DriveTo(State::kChoosingErase);
  const std::string before = module_.Written();
  module_.AnswerTo("0", "Erase? E\r\n");
  Tick("menu echo!");  // ten bytes waiting: the questions are read ten bytes long too
  EXPECT_EQ(module_.Written(), before + "0yy");
  EXPECT_EQ(page_.Memo2.Lines(), Lines{"Erase? E"});
  EXPECT_EQ(eraser_.EraserState(), State::kFinishing);
  EXPECT_EQ(Caption(), " Send 'y' Key!(NG)");
  EXPECT_EQ(eraser_.EraserConfirmations(), 2);
  Tick();
  EXPECT_EQ(Caption(), " Finished!(OK) ");

  // A short answer is waited for no longer than the port's read time-out.
  DriveTo(State::kChoosingErase);
  module_.AnswerTo("0", "E");
  const uint32_t before_tick = clock_.Ticks();
  Tick("1234");
  EXPECT_EQ(clock_.Ticks() - before_tick, serial::kReadTimeoutMs);
  EXPECT_EQ(module_.Written().back(), 'y');
  EXPECT_EQ(module_.ReadSizes().back(), 4u);
}

// The machine still lets go of the port, but a run that confirmed nothing erased nothing.
TEST_F(FlashEraserTest, NothingWaitingAtTheEraseItemFinishesWithoutAnOk) {
  DriveTo(State::kChoosingErase);
  const std::string before = module_.Written();
  const uint32_t before_tick = clock_.Ticks();
  Tick();
  EXPECT_EQ(module_.Written(), before + "0");
  EXPECT_EQ(clock_.Ticks(), before_tick) << "reads of nothing do not wait";
  Tick();
  EXPECT_EQ(Caption(), " Nothing was erased!(NG) ");
  EXPECT_EQ(eraser_.EraserConfirmations(), 0);
  EXPECT_FALSE(timer3_.TimerEnabled());
  EXPECT_TRUE(mcd_start_.Enabled());
  EXPECT_FALSE(mcd_stop_.Enabled());
  EXPECT_EQ(Panel(), kNotConnected);
  EXPECT_EQ(board_.ReadEnabled[kSlot].load(), 0);
  EXPECT_EQ(module_.closes.load(), 1);
  EXPECT_EQ(board_.CurrentBaudText.Get(), "115200");
  EXPECT_EQ(board_.SavedBaudText.Get(), "9600");
}

TEST_F(FlashEraserTest, ABacklogOver1024BytesIsDroppedAndTheTickEnds) {
  for (int state : {State::kWaitingForModule, State::kReadingMenu, State::kChoosingErase}) {
    SCOPED_TRACE(state);
    DriveTo(state);
    const std::string caption = Caption();
    const std::string written = module_.Written();
    const int32_t round = eraser_.EraserRound();
    const int purges = module_.rx_purges.load();
    Tick(std::string(1025, state == State::kWaitingForModule ? 'Z' : '='));
    EXPECT_EQ(module_.rx_purges.load(), purges + 1);
    EXPECT_EQ(module_.Queued(), 0u);
    EXPECT_EQ(eraser_.EraserState(), state);
    EXPECT_EQ(eraser_.EraserRound(), round);
    EXPECT_EQ(eraser_.EraserZCount(), state == State::kWaitingForModule ? 0 : 6);
    EXPECT_EQ(Caption(), caption);
    EXPECT_EQ(module_.Written(), written);
    eraser_.Button4Click();
  }
  // 1024 is a whole chunk, scanned to its last byte.
  Start();
  Tick(std::string(1018, '.') + "ZZZZZZ");
  EXPECT_EQ(eraser_.EraserState(), State::kWakingBootMenu);
}

TEST_F(FlashEraserTest, AShortReadScansOnlyTheBytesThatArrived) {
  Start();
  Tick("ZZZZZ");
  module_.OverstateWaiting(5);  // five counted, none delivered
  Tick();
  EXPECT_EQ(eraser_.EraserZCount(), 5);
  EXPECT_EQ(eraser_.EraserState(), State::kWaitingForModule);
}

TEST_F(FlashEraserTest, APortClosedUnderTheMachineDoesNotHoldUpTheMainThread) {
  Start();
  serial::ClosePort(board_, kSlot);  // as a slot stop would
  const uint32_t before_tick = clock_.Ticks();
  for (int n = 0; n < 10; ++n) Tick();
  EXPECT_EQ(clock_.Ticks(), before_tick);
  EXPECT_EQ(Caption(), " Please connect your module!  ");
}

TEST_F(FlashEraserTest, StopInAnyStateGivesEverythingBack) {
  for (int state = State::kWaitingForModule; state <= State::kFinishing; ++state) {
    SCOPED_TRACE(state);
    DriveTo(state);
    page_.Button4.SetEnabled(false);
    eraser_.Button4Click();
    EXPECT_FALSE(timer3_.TimerEnabled());
    EXPECT_TRUE(mcd_start_.Enabled());
    EXPECT_TRUE(page_.Button4.Enabled());
    EXPECT_TRUE(mcd_stop_.Enabled());
    EXPECT_EQ(board_.ReadEnabled[kSlot].load(), 0);
    EXPECT_EQ(module_.closes.load(), module_.opens.load());
    EXPECT_EQ(eraser_.EraserRound(), 0);
    EXPECT_EQ(Caption(), " Starting.....");
    EXPECT_EQ(Panel(), kNotConnected);
  }
}

}  // namespace
}  // namespace flashpost
