#include "app/main_form.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>

#include "app/application.h"
#include "protocol/vbi.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"
#include "ui/headless_loop.h"

namespace flashpost {
namespace {

using app::PortBoard;
using app::TMainForm;
using testing::FakeSerialSystem;

// A stand-in slot worker: loops until asked to stop, optionally calling the main thread.
class IdleWorker : public ui::Thread {
 public:
  IdleWorker(ui::MainLoop& loop, platform::Clock& clock, bool call_main_thread)
      : ui::Thread(loop), clock_(clock), call_main_thread_(call_main_thread) {}
  std::atomic<int> main_thread_calls{0};

 protected:
  void Execute() override {
    while (!Terminated()) {
      if (call_main_thread_) {
        if (Synchronize([this] { ++main_thread_calls; })) continue;
      }
      clock_.Sleep(10);
    }
  }

 private:
  platform::Clock& clock_;
  bool call_main_thread_;
};

class MainFormTest : public ::testing::Test {
 protected:
  platform::ManualClock clock_;
  ui::HeadlessLoop loop_{clock_};
  FakeSerialSystem fake_{{"/dev/ttyUSB0", "/dev/ttyUSB1"}};
  PortBoard board_{clock_, fake_};
  TMainForm form_{board_, loop_};
};

TEST_F(MainFormTest, TheWindowStartsOnTheAutomaticPageWithItsDefaults) {
  EXPECT_EQ(form_.Caption(), "FlashpostV103_KX420");
  EXPECT_EQ(form_.ClientWidth(), 305);
  EXPECT_EQ(form_.ClientHeight(), 165);
  EXPECT_TRUE(form_.FixedBorder());
  EXPECT_TRUE(form_.MinimizeOnly());
  ASSERT_EQ(form_.StatusBar1.PanelCount(), 2);
  EXPECT_EQ(form_.StatusBar1.PanelAt(0).width, 186);
  EXPECT_EQ(form_.StatusBar1.PanelAt(1).width, 200);
  EXPECT_EQ(form_.PageControl1.Geometry().width, 601);
  EXPECT_EQ(form_.PageControl1.Geometry().height, 681);

  auto pages = form_.PageControl1.Pages();
  ASSERT_EQ(pages.size(), 4u);
  EXPECT_EQ(pages[0]->Caption(), "Terminal");
  EXPECT_EQ(pages[1]->Caption(), "MCD");
  EXPECT_EQ(pages[2]->Caption(), "C/N0");
  for (int i = 0; i < 3; ++i) EXPECT_FALSE(pages[i]->TabVisible()) << pages[i]->Caption();
  EXPECT_TRUE(pages[3]->TabVisible());
  EXPECT_EQ(form_.PageControl1.ActivePage(), pages[3]);

  auto& page = form_.AutoPage;
  EXPECT_EQ(page.Label63.Caption(), "Flashpost");
  EXPECT_EQ(page.Label63.FontColor(), app::kNavy);
  EXPECT_EQ(page.Label63.BackgroundColor(), 0xC0C0C0u);
  EXPECT_EQ(page.Label63.FontName(), "Arial");
  EXPECT_EQ(page.Label64.Caption(), "0%");
  EXPECT_EQ(page.Label57.Caption(), "COM Port :");
  EXPECT_EQ(page.Label26.Caption(), "Baud Rate :");
  EXPECT_EQ(page.ComboBox9.Items(),
            (std::vector<std::string>{"1200", "2400", "4800", "9600", "19200", "38400", "57600",
                                      "115200"}));
  EXPECT_EQ(page.ComboBox9.Text(), "115200");
  EXPECT_EQ(page.Button12.Caption(), "Scan ComPort");
  EXPECT_EQ(page.Button13.Caption(), "OK");
  EXPECT_EQ(page.ProgressBar17.Max(), 100);
  EXPECT_TRUE(page.ProgressBar17.Smooth());
  ASSERT_EQ(page.ComboBox6.Items().size(), 40u);
  EXPECT_EQ(page.ComboBox6.Items()[39], "COM40");

  EXPECT_FALSE(form_.Timer1.TimerEnabled());
  EXPECT_FALSE(form_.Timer2.TimerEnabled());
  EXPECT_FALSE(form_.Timer3.TimerEnabled());
  EXPECT_EQ(form_.Timer1.Interval(), 500u);
  EXPECT_EQ(form_.Timer2.Interval(), 500u);
  EXPECT_EQ(form_.Timer3.Interval(), 100u);
  EXPECT_EQ(form_.OpenDialog1.Filter(), "Binary File (*.bin)|*.bin|All Files (*.*)|*.*");

  form_.FormCreate();
  EXPECT_EQ(page.ComboBox6.Items(), (std::vector<std::string>{"/dev/ttyUSB0", "/dev/ttyUSB1"}));
}

TEST_F(MainFormTest, RefreshCopiesProgressToEveryBarAndLabelOfItsSlot) {
  form_.RefreshBoard();
  EXPECT_EQ(form_.AutoPage.Label64.Caption(), "0%");
  EXPECT_EQ(form_.AutoPage.Label63.Caption(), "Flashpost") << "nothing written yet";

  board_.ProgressPercent[0] = 100;
  board_.ProgressPercent[3] = 57;
  board_.ProgressPercent[7] = 9;
  form_.RefreshBoard();
  EXPECT_EQ(form_.AutoPage.Label64.Caption(), "100%");
  EXPECT_EQ(form_.AutoPage.ProgressBar17.Position(), 100);
  EXPECT_EQ(form_.McdPage.Label19.Caption(), "100%");
  EXPECT_EQ(form_.McdPage.ProgressBar1.Position(), 100);
  EXPECT_EQ(form_.McdPage.ProgressBar4.Position(), 57);
  EXPECT_EQ(form_.McdPage.Label6.Caption(), "57%");
  EXPECT_EQ(form_.McdPage.ProgressBar8.Position(), 9);
  EXPECT_EQ(form_.McdPage.Label14.Caption(), "9%");
  EXPECT_EQ(form_.McdPage.Label2.Caption(), "0%");
}

TEST_F(MainFormTest, RefreshShowsStatusLinesAndABlankKeepsTheLastMessage) {
  board_.StatusText[0].Set(" FW(AP) update OK!(OK)");
  board_.StatusColor[0] = app::kGreen;
  board_.StatusText[2].Set("Cannot open COM5 port !");
  board_.StatusColor[2] = app::kRed;
  form_.RefreshBoard();
  EXPECT_EQ(form_.AutoPage.Label63.Caption(), " FW(AP) update OK!(OK)");
  EXPECT_EQ(form_.AutoPage.Label63.FontColor(), app::kGreen);
  EXPECT_EQ(form_.McdPage.Label16.Caption(), " FW(AP) update OK!(OK)");
  EXPECT_EQ(form_.McdPage.Label3.Caption(), "Cannot open COM5 port !");
  EXPECT_EQ(form_.McdPage.Label3.FontColor(), app::kRed);

  board_.StatusText[0].Set(" ");
  board_.StatusColor[0] = app::kNavy;
  form_.RefreshBoard();
  EXPECT_EQ(form_.AutoPage.Label63.Caption(), " FW(AP) update OK!(OK)");
  EXPECT_EQ(form_.AutoPage.Label63.FontColor(), app::kGreen);

  board_.MessageText.Set("No Com Port Selected!");
  board_.MessageColor = app::kRed;
  form_.RefreshBoard();
  EXPECT_EQ(form_.McdPage.Label18.Caption(), "No Com Port Selected!");
  EXPECT_EQ(form_.McdPage.Label18.FontColor(), app::kRed);
  board_.MessageText.Set(" ");
  form_.RefreshBoard();
  EXPECT_EQ(form_.McdPage.Label18.Caption(), "No Com Port Selected!");
}

TEST_F(MainFormTest, TheReferenceRequestIsMadeOnceAfterAFixWhileSlotZeroHasAWorker) {
  int requests = 0;
  form_.RequestReferenceEphemeris = [&] { ++requests; };
  board_.FixType[app::kTerminalSlot] = 3;
  form_.RefreshBoard();
  EXPECT_EQ(requests, 0) << "no slot-0 worker yet";
  EXPECT_EQ(board_.ReferenceRequestSent.load(), 0);

  auto worker = ui::StartThread<IdleWorker>(loop_, clock_, false);
  board_.Worker[0].Set(worker);
  board_.FixType[app::kTerminalSlot] = 2;
  form_.RefreshBoard();
  EXPECT_EQ(requests, 0) << "no 3D fix";

  board_.FixType[app::kTerminalSlot] = 3;
  form_.RefreshBoard();
  form_.RefreshBoard();
  EXPECT_EQ(requests, 1);
  EXPECT_EQ(board_.ReferenceRequestSent.load(), 1);
  board_.ReferenceRequestSent = 0;  // a new multi-port run
  form_.RefreshBoard();
  EXPECT_EQ(requests, 2);
  worker->Terminate();
  worker->WaitFor();
}

// The form joins the VBI pieces: the reference request goes out on the terminal port, the slot
// workers' frames reach the calibration, the terminal reader's frames the reference store.
TEST_F(MainFormTest, VbiTrafficReachesTheCalibrationAndTheReferenceStore) {
  ASSERT_EQ(serial::OpenPort(board_, "/dev/ttyUSB1", "115200", app::kTerminalSlot), 1);
  board_.ProtocolMode[app::kTerminalSlot] = 1;
  form_.RequestReferenceEphemeris();
  auto writes = fake_.Log("/dev/ttyUSB1")->Writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(static_cast<uint8_t>(writes[0].bytes[2]), 14) << "the ephemeris request";
  EXPECT_EQ(static_cast<uint8_t>(writes[0].bytes[8]), 141);

  std::array<uint8_t, 1200> buffer{};
  protocol::VbiFrame<6> version(100, 0);
  version.Payload()[3] = 0xFE;  // minor -2
  version.Payload()[4] = 0xF4;  // 500: major 5
  version.Payload()[5] = 0x01;
  version.Seal();
  std::copy(version.Bytes().begin(), version.Bytes().end(), buffer.begin());
  form_.Procedures.HandleModuleMessage(buffer.data(), 3);
  EXPECT_EQ(board_.StatusText[3].Get(), "[ F/W Ver: 5.-2 ] - 1 ");
  EXPECT_TRUE(form_.Calibration.SequenceActive(3));

  buffer.fill(0);
  protocol::VbiFrame<protocol::kEphemerisPayloadLength> report(141, 0);
  report.Payload()[0] = 0x5A;  // header
  report.Payload()[8] = 7;     // satellite 7's record
  report.Payload()[9] = 0x33;
  report.Seal();
  std::copy(report.Bytes().begin(), report.Bytes().end(), buffer.begin());
  ASSERT_TRUE(form_.TerminalPage.handle_reference_message);
  form_.TerminalPage.handle_reference_message(buffer.data());
  board_.Reference.ReadEphemerides([](const app::ReferenceData::Ephemerides& store) {
    EXPECT_EQ(store.EphemerisHeader[0], 0x5A);
    EXPECT_EQ(store.EphemerisTable[6][0], 7);
    EXPECT_EQ(store.EphemerisTable[6][1], 0x33);
  });
}

TEST_F(MainFormTest, Timer1RefreshesTheBoardWhileEnabled) {
  board_.ProgressPercent[0] = 42;
  form_.Timer1.SetTimerEnabled(true);
  loop_.RunFor(400);
  EXPECT_EQ(form_.AutoPage.Label64.Caption(), "0%");
  loop_.RunFor(200);
  EXPECT_EQ(form_.AutoPage.Label64.Caption(), "42%");
  form_.Timer1.SetTimerEnabled(false);
  board_.ProgressPercent[0] = 43;
  loop_.RunFor(2000);
  EXPECT_EQ(form_.AutoPage.Label64.Caption(), "42%");
}

TEST_F(MainFormTest, StopSlotEndsTheWorkerClosesThePortAndResetsCalibrationJobs) {
  ASSERT_EQ(serial::OpenPort(board_, "/dev/ttyUSB0", "115200", 2), 1);
  auto worker = ui::StartThread<IdleWorker>(loop_, clock_, false);
  board_.Worker[2].Set(worker);
  board_.XtalAfterDownload = 1;
  board_.JobXtalCal[2] = 1;
  board_.JobFsa[2] = 1;
  board_.JobFwAp[2] = 1;
  form_.McdPage.Button1.SetEnabled(false);

  form_.StopSlot(2);
  worker->WaitFor();
  EXPECT_TRUE(form_.McdPage.Button1.Enabled());
  EXPECT_TRUE(worker->Finished());
  EXPECT_EQ(board_.ReadEnabled[2].load(), 0);
  EXPECT_EQ(fake_.Log("/dev/ttyUSB0")->closes.load(), 1);
  EXPECT_EQ(board_.JobAllImageNoCode[2].load(), 1);
  EXPECT_EQ(board_.JobXtalCal[2].load(), 0);
  EXPECT_EQ(board_.JobFsa[2].load(), 0);
  EXPECT_EQ(board_.ProtocolMode[2].load(), 1);
  EXPECT_EQ(board_.JobFwAp[2].load(), 1) << "the firmware job is not StopSlot's";

  // Again on the ended worker: the same flags, no second close, the button given back.
  form_.McdPage.Button1.SetEnabled(false);
  board_.JobAllImageNoCode[2] = 0;
  form_.StopSlot(2);
  EXPECT_TRUE(form_.McdPage.Button1.Enabled());
  EXPECT_EQ(board_.JobAllImageNoCode[2].load(), 1);
  EXPECT_EQ(fake_.Log("/dev/ttyUSB0")->closes.load(), 1);
}

TEST_F(MainFormTest, StopSlotLeavesASlotWithoutAWorkerAloneAndIgnoresBadSlots) {
  ASSERT_EQ(serial::OpenPort(board_, "/dev/ttyUSB0", "4800", 4), 1);
  board_.XtalAfterDownload = 1;
  form_.McdPage.Button1.SetEnabled(false);
  form_.StopSlot(4);
  EXPECT_EQ(board_.ReadEnabled[4].load(), 1) << "no worker: the port stays open";
  EXPECT_EQ(board_.JobAllImageNoCode[4].load(), 0);
  EXPECT_TRUE(form_.McdPage.Button1.Enabled());

  form_.McdPage.Button1.SetEnabled(false);
  form_.StopSlot(10);
  form_.StopSlot(-1);
  EXPECT_TRUE(form_.McdPage.Button1.Enabled());
  EXPECT_EQ(board_.ReadEnabled[4].load(), 1);
}

TEST_F(MainFormTest, StopSlotNineClosesTheTerminalPortEvenAfterItsReaderEnded) {
  ASSERT_EQ(serial::OpenPort(board_, "/dev/ttyUSB1", "4800", app::kTerminalSlot), 1);
  auto reader = ui::StartThread<IdleWorker>(loop_, clock_, false);
  reader->Terminate();
  reader->WaitFor();
  board_.TerminalReader.Set(reader);
  form_.StopSlot(app::kTerminalSlot);
  EXPECT_EQ(board_.ReadEnabled[app::kTerminalSlot].load(), 0);
  EXPECT_EQ(fake_.Log("/dev/ttyUSB1")->closes.load(), 1);
}

TEST_F(MainFormTest, StopSlotFromAWorkerGivesTheButtonBackThroughTheMainThread) {
  form_.McdPage.Button1.SetEnabled(false);
  std::atomic<bool> done{false};
  class Stopper : public ui::Thread {
   public:
    Stopper(ui::MainLoop& loop, TMainForm& form, std::atomic<bool>& done)
        : ui::Thread(loop), form_(form), done_(done) {}

   protected:
    void Execute() override {
      form_.StopSlot(6);
      done_ = true;
    }

   private:
    TMainForm& form_;
    std::atomic<bool>& done_;
  };
  auto stopper = ui::StartThread<Stopper>(loop_, form_, done);
  stopper->WaitFor();
  EXPECT_TRUE(done);
  EXPECT_FALSE(form_.McdPage.Button1.Enabled()) << "a worker must not touch the control itself";
  loop_.ProcessPending();
  EXPECT_TRUE(form_.McdPage.Button1.Enabled());
}

TEST_F(MainFormTest, ATestRunOnSlotZeroDropsWhatAnAutomaticRunLeftRaised) {
  // The automatic run that gave up left its fall-back raised; the terminal port is the
  // reference receiver's.
  board_.JobReUpdate[0] = 1;
  board_.CurrentPortName.Set("/dev/ttyUSB1");
  board_.ReadEnabled[app::kTerminalSlot] = 1;
  auto& page = form_.CnoPage;
  page.RadioButton6Click();
  page.CheckListBox1.SetItems({"/dev/ttyUSB0", "/dev/ttyUSB1"});
  board_.PortsFound = 2;
  page.CheckListBox1.SetChecked(0, true);
  page.Button9Click();
  ASSERT_NE(board_.Worker[0].Get(), nullptr);
  loop_.ProcessFor(2000);
  EXPECT_EQ(board_.JobReUpdate[0].load(), 0);
  EXPECT_EQ(fake_.Log("/dev/ttyUSB1")->opens.load(), 0) << "the reference's port stays alone";
  page.Button10Click();
  board_.Worker[0].Get()->WaitFor();
}

TEST(ApplicationTest, ClosingWithAWorkerInsideASynchronousCallEndsCleanly) {
  platform::ScaledClock clock(50.0);
  ui::HeadlessLoop loop(clock);
  FakeSerialSystem fake({"/dev/ttyUSB0"});
  auto app = std::make_unique<app::Application>(clock, fake, loop);
  auto& board = app->Board();
  ASSERT_EQ(serial::OpenPort(board, "/dev/ttyUSB0", "115200", 0), 1);
  auto worker = ui::StartThread<IdleWorker>(loop, clock, true);
  board.Worker[0].Set(worker);
  app->Form().Timer1.SetTimerEnabled(true);
  EXPECT_TRUE(loop.RunUntil([&] { return worker->main_thread_calls > 3; }, 5000));

  app->Close();
  EXPECT_FALSE(app->Form().Timer1.TimerEnabled());
  EXPECT_TRUE(worker->Terminated());
  EXPECT_EQ(board.ReadEnabled[0].load(), 0);
  EXPECT_EQ(fake.Log("/dev/ttyUSB0")->closes.load(), 1);
  EXPECT_TRUE(loop.IsShutDown());
  app.reset();  // joins the worker; must not hang
  EXPECT_TRUE(worker->Finished());
}

TEST(ApplicationTest, TwoInstancesDoNotShareState) {
  platform::ManualClock clock;
  ui::HeadlessLoop loop_a(clock), loop_b(clock);
  FakeSerialSystem fake({"/dev/ttyUSB0"});
  app::Application a(clock, fake, loop_a), b(clock, fake, loop_b);
  a.Board().StatusText[0].Set("A");
  a.Board().CurrentBaudText.Set("115200");
  EXPECT_EQ(b.Board().StatusText[0].Get(), " ");
  EXPECT_EQ(b.Board().CurrentBaudText.Get(), "4800");
  EXPECT_EQ(b.Board().CurrentPortName.Get(), "COM1");
  EXPECT_EQ(b.Board().WaitTimeoutMs.load(), 10000);
  EXPECT_EQ(b.Board().ChipIsSecond.load(), 2);
}

}  // namespace
}  // namespace flashpost
