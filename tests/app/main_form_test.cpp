// The main form and its automatic and multi-port pages on fake ports COM1..COM10 (COM9 the
// reference receiver's), with a clock that moves only when told, close to its 32-bit wrap.
#include "app/main_form.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "conformance/loop_suite.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"
#include "ui/headless_loop.h"

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(LoopSuite);  // here for its FunctionThread only

namespace flashpost::app {
namespace {

using Options = download::UpdateOptionsGroup;
using Worker = conformance::FunctionThread;

struct TempDir {
  std::filesystem::path path = std::filesystem::temp_directory_path() /
                               ("flashpost-mcd-" + std::to_string(std::random_device{}()));
  TempDir() { std::filesystem::create_directories(path); }
  ~TempDir() { std::filesystem::remove_all(path); }
};

class MainFormTest : public ::testing::Test {
 protected:
  ~MainFormTest() override { mcd_.Button7Click(); }

  // The reference receiver as the terminal page leaves it once switched to VBI.
  void ReferenceInVbi() {
    mcd_.ComPortList.SetItems(ports_);
    board_.OpenPortName[kTerminalSlot].Set("COM9");
    board_.ReadEnabled[kTerminalSlot] = 1;
    board_.ProtocolMode[kTerminalSlot] = 1;
  }
  void Select(uint64_t size) {
    // A new file each time: the page keeps the last one open, and Windows will not resize it.
    auto path = files_.path / ("image-" + std::to_string(++selected_) + ".bin");
    std::ofstream(path, std::ios::binary).close();
    std::filesystem::resize_file(path, size);
    form_.OpenDialog1.SetFileName(path.string());
    mcd_.Button2Click();
  }
  void Check(const std::vector<int>& entries) {
    for (int i = 0; i < 10; ++i) mcd_.ComPortList.SetChecked(i, std::ranges::count(entries, i));
  }
  std::shared_ptr<Worker> Idle() {
    return ui::StartThread<Worker>(loop_, [this](Worker& self) {
      while (!self.Terminated()) clock_.Sleep(10);
    });
  }

  std::vector<std::string> ports_{"COM1", "COM2", "COM3", "COM4",  "COM5",
                                  "COM6", "COM7", "COM8", "COM10", "COM9"};
  // Before the form, so removed after it: Windows cannot remove the file the form holds open.
  TempDir files_;
  int selected_ = 0;
  platform::ManualClock clock_{0xFFFFF000u};
  ui::HeadlessLoop loop_{clock_};
  testing::FakeSerialSystem fake_{ports_};
  PortBoard board_{clock_, fake_};
  TMainForm form_{board_, loop_};
  AutoUpdatePage& auto_ = form_.AutoPage;
  download::MultiPortPage& mcd_ = form_.McdPage;
};

// Progress goes to every bar and label of its slot; a blank status or message keeps the last.
TEST_F(MainFormTest, RefreshShowsProgressStatusLinesAndMessages) {
  board_.ProgressPercent[0] = 100;
  board_.ProgressPercent[3] = 57;
  board_.ProgressPercent[7] = 9;
  board_.StatusText[0].Set(" FW(AP) update OK!(OK)");
  board_.StatusColor[0] = kGreen;
  board_.StatusText[7].Set("Cannot open COM5 port !");
  board_.MessageText.Set("No Com Port Selected!");
  board_.MessageColor = kRed;
  form_.RefreshBoard();
  EXPECT_EQ(auto_.Label64.Caption(), "100%");
  EXPECT_EQ(mcd_.ProgressBar4.Position(), 57);
  EXPECT_EQ(mcd_.Label14.Caption(), "9%");
  EXPECT_EQ(mcd_.Label16.Caption(), " FW(AP) update OK!(OK)");
  EXPECT_EQ(mcd_.Label13.Caption(), "Cannot open COM5 port !");
  EXPECT_EQ(mcd_.Label18.Caption(), "No Com Port Selected!");

  board_.StatusText[0].Set(" ");
  board_.StatusColor[0] = kNavy;
  board_.MessageText.Set(" ");
  form_.RefreshBoard();
  EXPECT_EQ(auto_.Label63.Caption(), " FW(AP) update OK!(OK)");
  EXPECT_EQ(auto_.Label63.FontColor(), kGreen);
  EXPECT_EQ(mcd_.Label18.Caption(), "No Com Port Selected!");

  board_.ProgressPercent[0] = 42;  // Timer1 refreshes every 500 ms
  form_.Timer1.SetTimerEnabled(true);
  loop_.RunFor(400);
  EXPECT_EQ(auto_.Label64.Caption(), "100%");
  loop_.RunFor(200);
  EXPECT_EQ(auto_.Label64.Caption(), "42%");

  // A worker writes line after line: each is shown in its own colour, never in the next one's.
  std::jthread worker([this] {
    for (int i = 0; i < 200000; ++i)
      board_.SetStatus(0, i & 1 ? kRed : kGreen, i & 1 ? "NG" : "OK");
    board_.SetStatus(0, kGreen, "end");
  });
  int torn = 0;
  while (auto_.Label63.Caption() != "end") {
    form_.RefreshBoard();
    torn += auto_.Label63.FontColor() != (auto_.Label63.Caption() == "NG" ? kRed : kGreen);
  }
  EXPECT_EQ(torn, 0);
}

TEST_F(MainFormTest, TheReferenceRequestIsMadeOnceAfterAFixWhileSlotZeroHasAWorker) {
  int requests = 0;
  form_.RequestReferenceEphemeris = [&] { ++requests; };
  board_.FixType[kTerminalSlot] = 3;
  form_.RefreshBoard();
  EXPECT_EQ(requests, 0) << "no slot-0 worker yet";
  auto worker = Idle();
  board_.Worker[0].Set(worker);
  board_.FixType[kTerminalSlot] = 2;
  form_.RefreshBoard();
  EXPECT_EQ(requests, 0) << "no 3D fix";
  board_.FixType[kTerminalSlot] = 3;
  form_.RefreshBoard();
  form_.RefreshBoard();
  EXPECT_EQ(requests, 1);
  board_.ReferenceRequestSent = 0;  // a new multi-port run
  form_.RefreshBoard();
  EXPECT_EQ(requests, 2);
  worker->Terminate();
  worker->WaitFor();
}

TEST_F(MainFormTest, StopSlotEndsTheWorkerClosesThePortAndResetsCalibrationJobs) {
  ASSERT_EQ(serial::OpenPort(board_, "COM1", "115200", 2), 1);
  ASSERT_EQ(serial::OpenPort(board_, "COM2", "4800", 4), 1);
  ASSERT_EQ(serial::OpenPort(board_, "COM3", "4800", 8), 1);
  auto worker = Idle();
  board_.Worker[2].Set(worker);
  board_.XtalAfterDownload = 1;
  board_.JobXtalCal[2] = 1;
  board_.JobFsa[2] = 1;
  board_.JobFwAp[2] = 1;
  mcd_.Button1.SetEnabled(false);
  form_.StopSlot(2);
  worker->WaitFor();
  EXPECT_TRUE(mcd_.Button1.Enabled());
  EXPECT_EQ(board_.ReadEnabled[2].load(), 0);
  EXPECT_EQ(board_.JobAllImageNoCode[2].load(), 1);
  EXPECT_EQ(board_.JobXtalCal[2].load() + board_.JobFsa[2].load(), 0);
  EXPECT_EQ(board_.ProtocolMode[2].load(), 1);
  EXPECT_EQ(board_.JobFwAp[2].load(), 1) << "the firmware job is not StopSlot's";

  // Again on the ended worker: the same flags, no second close.
  board_.JobAllImageNoCode[2] = 0;
  form_.StopSlot(2);
  EXPECT_EQ(fake_.Log("COM1")->closes.load(), 1);

  // A module slot without a worker keeps its port; slot 8 has none of its own and closes its
  // port; bad slots are ignored.
  for (int slot : {4, 10, -1}) form_.StopSlot(slot);
  EXPECT_EQ(board_.ReadEnabled[4].load(), 1);
  EXPECT_EQ(board_.JobAllImageNoCode[4].load(), 0);
  EXPECT_EQ(board_.ReadEnabled[8].load(), 1);
  form_.StopSlot(8);
  EXPECT_EQ(board_.ReadEnabled[8].load(), 0);

  // The terminal port closes even after its reader ended.
  ASSERT_EQ(serial::OpenPort(board_, "COM9", "4800", kTerminalSlot), 1);
  auto reader = Idle();
  reader->Terminate();
  reader->WaitFor();
  board_.TerminalReader.Set(reader);
  form_.StopSlot(kTerminalSlot);
  EXPECT_EQ(board_.ReadEnabled[kTerminalSlot].load(), 0);

  mcd_.Button1.SetEnabled(false);
  ui::StartThread<Worker>(loop_, [this](Worker&) { form_.StopSlot(6); })->WaitFor();
  EXPECT_FALSE(mcd_.Button1.Enabled()) << "a worker must not touch the control itself";
  loop_.ProcessPending();
  EXPECT_TRUE(mcd_.Button1.Enabled());
}

// The slot's serial access on the recording fakes: what no real port shows (the order of the
// closing steps, a driver that refuses every speed, slots without a port). The same calls on real
// ports: tests/platform/serial_port_suite.h.
TEST_F(MainFormTest, SerialAccessRefusesWhatItCannotDoAndClosesInOrder) {
  fake_.Log("COM3")->refuse_every_baud = true;
  EXPECT_EQ(serial::OpenPort(board_, "COM3", "921600", 0), 0);
  EXPECT_EQ(board_.StatusText[0].Get(), "Cannot set 921600 baud on COM3 port !");
  EXPECT_EQ(fake_.Log("COM3")->restores.load(), 1);
  EXPECT_EQ(fake_.Log("COM3")->closes.load(), 1);
  EXPECT_EQ(board_.ReadEnabled[0].load(), 0);

  ASSERT_EQ(serial::OpenPort(board_, "COM4", "4800", 9), 1);
  EXPECT_EQ(fake_.Log("COM4")->baud.load(), 4800u);
  ASSERT_EQ(serial::ClosePort(board_, 9), 1);
  auto log = fake_.Log("COM4");
  EXPECT_EQ(log->rx_purges.load(), 1);
  EXPECT_EQ(log->restores_after_drain.load(), 1) << "the last bytes must leave at the old speed";
  EXPECT_EQ(log->rts_dtr_clears.load(), 1);
  EXPECT_EQ(log->closes.load(), 1);

  // A slot without a port reads as a silent line, unless its reader has been asked to stop.
  uint32_t before = clock_.Ticks();
  EXPECT_EQ(serial::ReadPortByte(board_, 7), std::nullopt);
  EXPECT_EQ(clock_.Ticks() - before, serial::kReadTimeoutMs);
  ui::StopSignal stop;
  stop.Request();
  before = clock_.Ticks();
  EXPECT_EQ(serial::ReadPortByte(board_, 7, &stop), std::nullopt);
  EXPECT_EQ(clock_.Ticks(), before);
  EXPECT_EQ(serial::ReadPortByte(board_, 42), std::nullopt);  // not a slot: no crash
  EXPECT_EQ(serial::OpenPort(board_, "COM3", "4800", 10), 0);
  EXPECT_EQ(serial::ClosePort(board_, -1), 0);
}

TEST_F(MainFormTest, ATestRunOnSlotZeroDropsWhatAnAutomaticRunLeftRaised) {
  // An automatic run that gave up left its fall-back raised; COM2 is the reference's port.
  board_.JobReUpdate[0] = 1;
  board_.CurrentPortName.Set("COM2");
  board_.ReadEnabled[kTerminalSlot] = 1;
  auto& page = form_.CnoPage;
  page.RadioButton6Click();
  page.CheckListBox1.SetItems({"COM1", "COM2"});
  board_.PortsFound = 2;
  page.CheckListBox1.SetChecked(0, true);
  page.Button9Click();
  ASSERT_NE(board_.Worker[0].Get(), nullptr);
  loop_.ProcessFor(2000);
  EXPECT_EQ(board_.JobReUpdate[0].load(), 0);
  EXPECT_EQ(fake_.Log("COM2")->opens.load(), 0) << "the reference's port stays alone";
  page.Button10Click();
  board_.Worker[0].Get()->WaitFor();
}

// The automatic page's supervision alone, as OK leaves it once the probe is out: no worker runs.
TEST_F(MainFormTest, SilenceForTwoSecondsStartsTheFallBack) {
  board_.StartTick[0] = clock_.Ticks();  // the answer window runs across the wrap
  auto_.BeginSupervision();
  ASSERT_EQ(serial::OpenPort(board_, "COM4", "9600", 0), 1);
  clock_.Advance(1999);
  auto_.SuperviseUpdate();
  EXPECT_EQ(board_.JobReUpdate[0].load(), 0);
  clock_.Advance(1);
  auto_.SuperviseUpdate();
  EXPECT_EQ(board_.JobReUpdate[0].load(), 1);
  EXPECT_EQ(board_.ChipIsSecond.load(), 1);
  EXPECT_EQ(board_.OverallSuccess.load(), 1);
  EXPECT_EQ(board_.ReadEnabled[0].load(), 0) << "the probe's port is closed for the kernel";
}

TEST_F(MainFormTest, NothingIsSupervisedBeforeOkNorOnceAnotherPageRunsSlotZero) {
  auto_.BeginSupervision();
  auto_.EndSupervision();  // as a multi-port Start does
  form_.Timer1.SetTimerEnabled(true);
  ASSERT_EQ(serial::OpenPort(board_, "COM4", "9600", 0), 1);
  clock_.Advance(5000);
  board_.AttemptCount = 3;
  form_.Timer1Timer();
  EXPECT_EQ(board_.JobReUpdate[0].load(), 0) << "no fall-back onto another run's module";
  EXPECT_EQ(board_.ReadEnabled[0].load(), 1);
  EXPECT_TRUE(form_.Timer1.TimerEnabled());
}

TEST_F(MainFormTest, MultiPortStartChecksInTheirOrder) {
  ReferenceInVbi();
  struct Row {
    void (Options::*job)();
    int64_t size;  // -1: no file selected
    std::vector<int> checked;
    int reference_mode;  // 1 VBI, 0 NMEA
    const char* waiting;
    const char* message;
    int workers;
  };
  const char* kFwAp = "File size is over 480K or small than 470K!(NG)";
  const char* k512 = "File size is not 512KB!(NG)";
  const char* kWaiting = "Waiting Time must be a whole number of ms!(NG)";
  // A reference in NMEA stops every Start right after the file and time checks.
  const char* kNmea = "Please make sure Ref. GPS on VBI mode!";
  const std::vector<int> nine = {0, 1, 2, 3, 4, 5, 6, 7, 8};
  const auto fw_ap = &Options::RadioButton5Click;
  const Row rows[] = {
      {fw_ap, -1, {0}, 1, "10000", "Cannot open file!(NG)", 0},
      {fw_ap, 491520, {0}, 0, "10000", kNmea, 0},
      {fw_ap, 491521, {0}, 0, "10000", kFwAp, 0},
      {fw_ap, 481280, {0}, 0, "10000", kNmea, 0},
      {fw_ap, 481279, {0}, 0, "10000", kFwAp, 0},
      {&Options::RadioButton1Click, 8192, {0}, 0, "10000", kNmea, 0},
      {&Options::RadioButton1Click, 8193, {0}, 0, "10000", "File size is not 8KB!(NG)", 0},
      {&Options::RadioButton2Click, 524288, {0}, 0, "10000", kNmea, 0},
      {&Options::RadioButton2Click, 524287, {0}, 0, "10000", k512, 0},
      {&Options::RadioButton3Click, 524288, {0}, 0, "10000", kNmea, 0},
      {&Options::RadioButton3Click, 0, {0}, 0, "10000", k512, 0},
      {&Options::RadioButton4Click, 1, {0}, 0, "35000", kNmea, 0},  // no size check
      {fw_ap, 491520, {0}, 1, "", kWaiting, 0},
      {fw_ap, 491520, {0}, 1, "0", kWaiting, 0},
      {fw_ap, 491520, {0}, 1, "99999999999", kWaiting, 0},
      {fw_ap, 491520, {9}, 1, "10000", "Please re-select Com Port", 0},  // the reference's port
      // The count checks leave the waiting time locked.
      {fw_ap, 491520, nine, 1, "10000", " Error !( Com Port can't over 8 ports)", 0},
      {fw_ap, 491520, {}, 1, "10000", " No Com Port Selected !", 0},
      // A download starts one worker per selected port, each opening its own.
      {fw_ap, 491520, {2, 4}, 1, "10000", "Downloading....", 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.message) + " " + std::to_string(row.size) + " " + row.waiting);
    (mcd_.Options.*row.job)();
    if (row.size >= 0) Select(row.size);
    mcd_.Edit25.SetText(row.waiting);
    Check(row.checked);
    board_.ProtocolMode[kTerminalSlot] = row.reference_mode;
    mcd_.Button1Click();
    EXPECT_EQ(board_.MessageText.Get(), row.message);
    EXPECT_EQ(board_.MessageColor.load(), row.workers ? kNavy : kRed);
    EXPECT_EQ(std::ranges::count_if(board_.Worker, [](auto& w) { return w.Get() != nullptr; }),
              row.workers);
    EXPECT_TRUE(form_.Timer1.TimerEnabled());
    EXPECT_TRUE(mcd_.Button7.Enabled()) << "Stop stays usable";
    EXPECT_EQ(mcd_.Button1.Enabled(), row.workers == 0);
    EXPECT_EQ(mcd_.Options.GroupBox18.Enabled(), row.workers == 0);
    EXPECT_EQ(form_.TerminalPage.SpeedButton3.Enabled(), row.workers == 0);
    EXPECT_EQ(mcd_.Edit25.ReadOnly(), row.checked.size() != 1 && row.checked != std::vector{9});
  }
  EXPECT_EQ(board_.SelectedPorts[1].Get(), "COM5");
  EXPECT_EQ(form_.StatusBar1.PanelAt(1).text, "Selected Com Port : COM3COM5");
  EXPECT_FALSE(auto_.Supervising()) << "slot 0 is this run's, not the automatic page's";

  // A file that cannot be opened is no file.
  form_.OpenDialog1.SetFileName("/nonexistent/flashpost/image.bin");
  mcd_.Button2Click();
  mcd_.Button1Click();
  EXPECT_EQ(board_.MessageText.Get(), "Cannot open file!(NG)");

  // FW(AP) stays the job of the next Start, although the last run's updates lowered its flags.
  mcd_.Options.RadioButton5.Click();
  for (auto& job : board_.JobFwAp) job.store(0);
  Select(300 * 1024);
  mcd_.Button1Click();
  EXPECT_EQ(board_.MessageText.Get(), kFwAp);
  EXPECT_EQ(board_.JobFwAp[5].load(), 1);
}

// What each job option sets for every module slot; the terminal slot keeps its framing.
TEST_F(MainFormTest, UpdateOptionsSetEverySlotsJobModeAndWaitingTime) {
  auto& o = mcd_.Options;
  auto count = [](SlotTable<int32_t>& job) {
    return std::ranges::count_if(job, [](auto& v) { return v.load() != 0; });
  };
  auto all_modes = [this](int mode) {
    for (int slot = 0; slot < kSlotCount; ++slot)
      if (board_.ProtocolMode[slot].load() != (slot == kTerminalSlot ? 1 : mode)) return false;
    return true;
  };
  board_.ProtocolMode[kTerminalSlot] = 1;
  o.RadioButton4.Click();
  EXPECT_EQ(mcd_.Edit25.Text(), "35000");
  EXPECT_TRUE(all_modes(1));
  EXPECT_EQ(count(board_.JobXtalCal), kSlotCount);
  o.RadioButton5.Click();
  EXPECT_EQ(mcd_.Edit25.Text(), "10000");
  EXPECT_TRUE(all_modes(0));
  EXPECT_EQ(count(board_.JobXtalCal), 0);
  EXPECT_EQ(count(board_.JobFwAp), kSlotCount);

  // Calibration after download takes the all-image job (FSA first, so the change shows);
  // unchecked, only the calibration goes; a radio button takes it back off.
  o.RadioButton1.Click();
  o.AutoCalibration.Click();
  EXPECT_TRUE(o.RadioButton2.Checked());
  EXPECT_EQ(mcd_.Edit25.Text(), "35000");
  EXPECT_EQ(count(board_.JobAllImageNoCode), kSlotCount);
  EXPECT_EQ(count(board_.JobFsa), 0);
  EXPECT_EQ(board_.XtalAfterDownload.load(), 1);
  EXPECT_TRUE(all_modes(1));
  o.AutoCalibration.Click();
  EXPECT_EQ(board_.XtalAfterDownload.load(), 0);
  EXPECT_EQ(count(board_.JobAllImageNoCode), kSlotCount);
  o.AutoCalibration.Click();
  o.RadioButton3.Click();
  EXPECT_FALSE(o.AutoCalibration.Checked());
  EXPECT_EQ(board_.XtalAfterDownload.load(), 0);
  EXPECT_EQ(mcd_.Edit25.Text(), "10000");

  // The BB chip offers no calibration and leaves the jobs as they were.
  o.RadioButton4.Click();
  o.BBChip.Click();
  EXPECT_TRUE(form_.Download.bbchip_checked.load());
  EXPECT_FALSE(o.RadioButton4.Enabled());
  EXPECT_FALSE(o.AutoCalibration.Enabled());
  EXPECT_EQ(count(board_.JobXtalCal), kSlotCount);
  o.BBChip.Click();
  EXPECT_FALSE(form_.Download.bbchip_checked.load());
  EXPECT_TRUE(o.RadioButton4.Enabled());

  // The option word packs the three lists.
  o.BuildOptionWord();
  EXPECT_EQ(board_.OptionWord.load(), 2 | (2 << 4) | (2 << 7));
  EXPECT_EQ(board_.OutputProtocolIndex.load(), 2);
  o.ComboBox3.SetText("115200");
  o.ComboBox7.SetItemIndex(1);
  o.ComboBox8.SetItemIndex(1);
  o.BuildOptionWord();
  EXPECT_EQ(board_.OptionWord.load(), 8 | (1 << 4) | (1 << 7));
  EXPECT_EQ(board_.OutputProtocolIndex.load(), 1);
  EXPECT_EQ(board_.BaudIndexDigit.load(), '8');
}

TEST_F(MainFormTest, CalibrationOpensEveryPortInVbiBeforeItsWorker) {
  ReferenceInVbi();
  mcd_.Options.RadioButton4Click();
  // No file: a calibration sends none. The modules talk at the speed the terminal page opened
  // the reference at, whatever an earlier job left in the shared baud text.
  board_.TerminalBaudText.Set("9600");
  board_.CurrentBaudText.Set("115200");
  board_.ReferenceRequestSent = 1;
  fake_.Log("COM3")->refuse_every_baud = true;  // this one fails to open
  Check({0, 2, 4});
  mcd_.Button1Click();
  EXPECT_EQ(board_.WaitTimeoutMs.load(), 35000);
  for (int slot : {0, 2}) {
    EXPECT_EQ(fake_.Log(slot == 0 ? "COM1" : "COM5")->opens.load(), 1) << slot;
    EXPECT_EQ(board_.ProtocolMode[slot].load(), 1) << "a VBI module's frames reach calibration";
  }
  EXPECT_EQ(fake_.Log("COM1")->baud.load(), 9600u);
  EXPECT_EQ(board_.StatusText[1].Get(), "Open Com Port Failed!");
  EXPECT_EQ(board_.Worker[1].Get(), nullptr) << "no worker for a port that did not open";
  EXPECT_EQ(board_.ReferenceRequestSent.load(), 0) << "the reference is asked again";

  mcd_.Button7Click();
  for (int slot : {0, 2}) {
    EXPECT_TRUE(board_.Worker[slot].Get()->Terminated());
    EXPECT_EQ(board_.ReadEnabled[slot].load(), 0);
  }

  // Without the reference open a calibration does not start, and Stop stays off.
  board_.ReadEnabled[kTerminalSlot] = 0;
  mcd_.Button1Click();
  EXPECT_EQ(board_.MessageText.Get(), "Please Open Ref. GPS! ");
  EXPECT_FALSE(mcd_.Button7.Enabled());

  // Stop with calibration after download sets the run up again.
  mcd_.Options.AutoCalibration.Click();
  board_.JobXtalCal[7] = 1;
  board_.ProtocolMode[7] = 0;
  mcd_.Button7Click();
  EXPECT_EQ(board_.JobAllImageNoCode[7].load(), 1);
  EXPECT_EQ(board_.JobXtalCal[7].load(), 0);
  EXPECT_EQ(board_.ProtocolMode[7].load(), 1);
}

}  // namespace
}  // namespace flashpost::app
