#include "download/multi_port_page.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "app/main_form.h"
#include "support/fake_serial.h"
#include "ui/headless_loop.h"

namespace flashpost {
namespace {

using app::kNavy;
using app::kRed;
using app::kTerminalSlot;

// A file of the given size in a folder of its own, removed with the test.
class TempFiles {
 public:
  TempFiles() {
    dir_ = std::filesystem::temp_directory_path() /
           ("flashpost-mcd-" + std::to_string(std::random_device{}()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
  }
  ~TempFiles() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
    EXPECT_FALSE(ec) << "cannot remove " << dir_ << ": " << ec.message();
  }
  std::string Make(uint64_t size) {
    auto path = dir_ / ("image-" + std::to_string(size) + ".bin");
    std::ofstream(path, std::ios::binary).close();
    std::filesystem::resize_file(path, size);
    return path.string();
  }

 private:
  std::filesystem::path dir_;
};

class MultiPortStartTest : public ::testing::Test {
 protected:
  MultiPortStartTest() {
    page_.ComPortList.SetItems(ports_);
    // The reference receiver as the terminal page leaves it once switched to VBI.
    board_.OpenPortName[kTerminalSlot].Set("COM9");
    board_.ReadEnabled[kTerminalSlot] = 1;
    board_.ProtocolMode[kTerminalSlot] = 1;
  }
  ~MultiPortStartTest() override { page_.Button7Click(); }

  void Select(uint64_t size) {
    form_.OpenDialog1.SetFileName(files_.Make(size));
    page_.Button2Click();
  }
  void Check(std::initializer_list<int> entries) {
    for (int i : entries) page_.ComPortList.SetChecked(i, true);
  }
  std::string Message() const { return board_.MessageText.Get(); }
  bool ControlsGivenBack() const {
    return page_.Button1.Enabled() && page_.Button7.Enabled() &&
           page_.Options.GroupBox18.Enabled() && page_.GroupBox1.Enabled() &&
           form_.TerminalPage.SpeedButton3.Enabled();
  }
  int WorkersStarted() const {
    int n = 0;
    for (const auto& worker : board_.Worker) n += worker.Get() ? 1 : 0;
    return n;
  }

  std::vector<std::string> ports_{"COM1", "COM2", "COM3", "COM4",  "COM5",
                                  "COM6", "COM7", "COM8", "COM10", "COM9"};
  // Made before the form and so removed after it: the form holds the selected file open, and
  // Windows cannot remove an open file.
  TempFiles files_;
  platform::ManualClock clock_;
  ui::HeadlessLoop loop_{clock_};
  testing::FakeSerialSystem fake_{ports_};
  app::PortBoard board_{clock_, fake_};
  app::TMainForm form_{board_, loop_};
  download::MultiPortPage& page_ = form_.McdPage;
};

TEST_F(MultiPortStartTest, FileChecksComeFirstAndGiveTheControlsBack) {
  Check({0});
  page_.Button1Click();
  EXPECT_EQ(Message(), "Cannot open file!(NG)") << "no file selected yet";
  EXPECT_EQ(board_.MessageColor.load(), kRed);
  EXPECT_TRUE(ControlsGivenBack());
  EXPECT_FALSE(page_.Edit25.ReadOnly());
  EXPECT_TRUE(form_.Timer1.TimerEnabled());

  form_.OpenDialog1.SetFileName("/nonexistent/flashpost/image.bin");
  page_.Button2Click();
  EXPECT_EQ(page_.Edit18.Text(), "/nonexistent/flashpost/image.bin");
  page_.Button1Click();
  EXPECT_EQ(Message(), "Cannot open file!(NG)");
  EXPECT_EQ(WorkersStarted(), 0);
}

TEST_F(MultiPortStartTest, FileSizeBoundsOfEachJob) {
  Check({0});
  struct Case {
    void (download::UpdateOptionsGroup::*choose)();
    uint64_t size;
    const char* refusal;  // nullptr: the size passes
  };
  const char* kFwAp = "File size is over 480K or small than 470K!(NG)";
  for (const Case& c : std::initializer_list<Case>{
           {&download::UpdateOptionsGroup::RadioButton5Click, 491520, nullptr},
           {&download::UpdateOptionsGroup::RadioButton5Click, 491521, kFwAp},
           {&download::UpdateOptionsGroup::RadioButton5Click, 481280, nullptr},
           {&download::UpdateOptionsGroup::RadioButton5Click, 481279, kFwAp},
           {&download::UpdateOptionsGroup::RadioButton1Click, 8192, nullptr},
           {&download::UpdateOptionsGroup::RadioButton1Click, 8193, "File size is not 8KB!(NG)"},
           {&download::UpdateOptionsGroup::RadioButton2Click, 524288, nullptr},
           {&download::UpdateOptionsGroup::RadioButton2Click, 524287,
            "File size is not 512KB!(NG)"},
           {&download::UpdateOptionsGroup::RadioButton3Click, 0, "File size is not 512KB!(NG)"},
           {&download::UpdateOptionsGroup::RadioButton4Click, 1, nullptr},  // no size check
       }) {
    (page_.Options.*c.choose)();
    Select(c.size);
    // A terminal port in NMEA stops every Start right after the file checks, so that no
    // worker starts here.
    board_.ProtocolMode[kTerminalSlot] = 0;
    page_.Button1Click();
    EXPECT_EQ(Message(), c.refusal ? c.refusal : "Please make sure Ref. GPS on VBI mode!")
        << c.size;
    EXPECT_TRUE(ControlsGivenBack());
  }
  EXPECT_EQ(WorkersStarted(), 0);
}

TEST_F(MultiPortStartTest, FwApStaysTheJobOfTheNextStart) {
  page_.Options.RadioButton5.Click();
  Check({0});
  // As the last run's updates leave the slots: their FW(AP) flags lowered.
  for (auto& job : board_.JobFwAp) job.store(0);
  Select(300 * 1024);
  page_.Button1Click();
  EXPECT_EQ(Message(), "File size is over 480K or small than 470K!(NG)") << "checked as FW(AP)";
  EXPECT_EQ(board_.JobFwAp[5].load(), 1);
}

TEST_F(MultiPortStartTest, PortChecksInTheirOrder) {
  page_.Options.RadioButton5Click();
  Select(491520);

  // The reference's own port is checked.
  Check({9});
  page_.Button1Click();
  EXPECT_EQ(Message(), "Please re-select Com Port");
  EXPECT_FALSE(page_.Edit25.ReadOnly());
  page_.ComPortList.SetChecked(9, false);

  // Reference closed, or open in NMEA: even a plain download needs it in VBI. The automatic
  // page's OK left its own port, checked here, as the current port: that is no conflict.
  board_.CurrentPortName.Set("COM1");
  Check({0});
  board_.ProtocolMode[kTerminalSlot] = 0;
  page_.Button1Click();
  EXPECT_EQ(Message(), "Please make sure Ref. GPS on VBI mode!");
  board_.ProtocolMode[kTerminalSlot] = 1;

  Check({1, 2, 3, 4, 5, 6, 7, 8});
  page_.Button1Click();
  EXPECT_EQ(Message(), " Error !( Com Port can't over 8 ports)");
  EXPECT_EQ(board_.SelectedPortCount.load(), 9);
  EXPECT_EQ(board_.SelectedPorts[7].Get(), "COM8");
  EXPECT_EQ(page_.SlotBox(7).Caption(), "COM8");
  EXPECT_TRUE(page_.Edit25.ReadOnly()) << "the count checks leave the waiting time alone";
  EXPECT_TRUE(ControlsGivenBack());

  for (int i = 0; i < 10; ++i) page_.ComPortList.SetChecked(i, false);
  page_.Button1Click();
  EXPECT_EQ(Message(), " No Com Port Selected !");
  EXPECT_EQ(page_.SlotBox(0).Caption(), " ");
  EXPECT_EQ(WorkersStarted(), 0);
}

TEST_F(MultiPortStartTest, WaitingTimeThatIsNoWholeNumberStartsNothing) {
  page_.Options.RadioButton5Click();
  Select(491520);
  Check({0, 1});
  for (const char* text : {"", "10s", "-5", "0", "99999999999"}) {
    page_.Edit25.SetText(text);
    page_.Button1Click();
    EXPECT_EQ(Message(), "Waiting Time must be a whole number of ms!(NG)") << text;
    EXPECT_EQ(board_.MessageColor.load(), kRed);
    EXPECT_TRUE(ControlsGivenBack());
    EXPECT_FALSE(page_.Edit25.ReadOnly());
  }
  EXPECT_EQ(WorkersStarted(), 0);
  EXPECT_EQ(board_.WaitTimeoutMs.load(), 10000);
}

TEST_F(MultiPortStartTest, ThreePortsShowInTheBoxesAndTheStatusBar) {
  page_.Options.RadioButton4Click();  // calibration: the workers only read
  Select(100);
  board_.StatusText[4].Set("an old run's end");
  Check({1, 4, 6});
  page_.Button1Click();
  EXPECT_EQ(Message(), "Testing....");
  EXPECT_EQ(page_.SlotBox(0).Caption(), "COM2");
  EXPECT_EQ(page_.SlotBox(1).Caption(), "COM5");
  EXPECT_EQ(page_.SlotBox(2).Caption(), "COM7");
  for (int slot = 3; slot < 8; ++slot) EXPECT_EQ(page_.SlotBox(slot).Caption(), " ") << slot;
  EXPECT_EQ(form_.StatusBar1.PanelAt(1).text, "Selected Com Port : COM2COM5COM7");
  EXPECT_EQ(board_.StatusText[4].Get(), "Select file to be transferred");
  EXPECT_EQ(board_.StatusColor[4].load(), kNavy);
  EXPECT_EQ(WorkersStarted(), 3);
  EXPECT_FALSE(page_.Button1.Enabled());
  EXPECT_TRUE(page_.Button7.Enabled()) << "a running run can be stopped";
  EXPECT_FALSE(form_.AutoPage.Supervising()) << "slot 0 is this run's, not the automatic page's";
  EXPECT_EQ(board_.WaitTimeoutMs.load(), 35000);
}

TEST_F(MultiPortStartTest, CalibrationOpensEveryPortInVbiBeforeItsWorker) {
  page_.Options.RadioButton4Click();
  // No file: a calibration sends none. The modules talk at the speed the terminal page opened
  // the reference at, whatever an earlier job left in the shared baud text.
  board_.TerminalBaudText.Set("9600");
  board_.CurrentBaudText.Set("115200");
  board_.ReferenceRequestSent = 1;
  fake_.Log("COM3")->refuse_every_baud = true;  // this one fails to open
  Check({0, 2, 4});
  page_.Button1Click();
  // (The workers run on the test's clock, which their reads move on: what they do later is not
  // this test's business.)
  for (int slot : {0, 2}) {
    EXPECT_EQ(fake_.Log(slot == 0 ? "COM1" : "COM5")->opens.load(), 1) << slot;
    EXPECT_EQ(board_.ProtocolMode[slot].load(), 1)
        << "a VBI module's frames must reach calibration";
    EXPECT_NE(board_.Worker[slot].Get(), nullptr);
  }
  EXPECT_EQ(fake_.Log("COM1")->baud.load(), 9600u);
  EXPECT_EQ(board_.StatusText[1].Get(), "Open Com Port Failed!");
  EXPECT_EQ(board_.StatusColor[1].load(), kRed);
  EXPECT_EQ(board_.Worker[1].Get(), nullptr) << "no worker for a port that did not open";
  EXPECT_EQ(board_.ReferenceRequestSent.load(), 0) << "the reference is asked again";

  page_.Button7Click();
  for (int slot : {0, 2}) {
    EXPECT_TRUE(board_.Worker[slot].Get()->Terminated());
    EXPECT_EQ(board_.ReadEnabled[slot].load(), 0);
  }
  EXPECT_TRUE(page_.Button1.Enabled());
  EXPECT_FALSE(page_.Edit25.ReadOnly());
}

TEST_F(MultiPortStartTest, ANewStartRetiresTheWorkersOfTheLastRun) {
  page_.Options.RadioButton4Click();
  Select(100);
  Check({0, 1});
  page_.Button1Click();
  auto first = board_.Worker[1].Get();
  ASSERT_NE(first, nullptr);
  // A passed calibration keeps reading until Stop; a slot's verdict gives Start back meanwhile.
  page_.Button1Click();
  EXPECT_TRUE(first->Finished()) << "two readers on one port would split the module's frames";
  EXPECT_NE(board_.Worker[1].Get(), first);
  EXPECT_FALSE(board_.Worker[1].Get()->Finished());
}

TEST_F(MultiPortStartTest, CalibrationNeedsTheReferenceOpen) {
  page_.Options.RadioButton4Click();
  Select(100);
  Check({0});
  board_.ReadEnabled[kTerminalSlot] = 0;
  page_.Button1Click();
  EXPECT_EQ(Message(), "Please Open Ref. GPS! ");
  EXPECT_EQ(board_.MessageColor.load(), kRed);
  EXPECT_TRUE(page_.Button1.Enabled());
  EXPECT_FALSE(page_.Button7.Enabled());
  EXPECT_FALSE(page_.Edit25.ReadOnly());
  EXPECT_EQ(WorkersStarted(), 0);
}

TEST_F(MultiPortStartTest, StopWithCalibrationAfterDownloadSetsTheRunUpAgain) {
  page_.Options.AutoCalibration.Click();
  ASSERT_EQ(board_.XtalAfterDownload.load(), 1);
  for (int slot = 0; slot < 8; ++slot) {
    board_.JobAllImageNoCode[slot] = 0;
    board_.JobXtalCal[slot] = 1;
    board_.ProtocolMode[slot] = 0;
  }
  page_.Button7Click();
  for (int slot = 0; slot < 8; ++slot) {
    EXPECT_EQ(board_.JobAllImageNoCode[slot].load(), 1);
    EXPECT_EQ(board_.JobXtalCal[slot].load(), 0);
    EXPECT_EQ(board_.ProtocolMode[slot].load(), 1);
  }
}

}  // namespace
}  // namespace flashpost
