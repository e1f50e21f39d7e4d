// The multi-port page end to end: simulated modules on real pseudo-terminals, the simulated
// reference receiver on the terminal page's port, the page driven as an operator drives it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "app/application.h"
#include "sim/reference_receiver.h"
#include "sim/simulated_module.h"
#include "ui/headless_loop.h"

namespace flashpost {
namespace {

// Long enough for a loaded machine under a sanitizer; a healthy run takes seconds.
constexpr uint32_t kRunLimitMs = 240'000;

class MultiPortSimTest : public ::testing::Test {
 protected:
  ~MultiPortSimTest() override {
    application_.Close();
    if (!file_.empty()) std::filesystem::remove(file_);
  }

  // The reference receiver opened on the terminal page in NMEA at the modules' speed and
  // switched to VBI, as the station is prepared.
  void OpenTheReference(uint32_t baud) {
    sim::ReferenceOptions options;
    options.baud = baud;
    reference_ = std::make_unique<sim::SimulatedReference>(options, clock_);
    ASSERT_TRUE(reference_->ok());
    reference_->Start();
    auto& page = form().TerminalPage;
    page.ComboBox1.SetText(reference_->PortPath());
    page.ComboBox2.SetText(std::to_string(baud));
    page.ComboBox4.SetItemIndex(0);
    page.Button3.Click();
    ASSERT_EQ(board().ReadEnabled[app::kTerminalSlot].load(), 1);
    page.Button6.Click();
    // Generous: the switch is two sentences half a second apart, but a loaded machine may
    // leave the simulator's thread waiting.
    ASSERT_TRUE(loop_.RunUntil([&] { return reference_->SpeaksVbi(); }, 60'000));
  }

  // The modules' ports listed and ticked on the page, the reference's listed but not ticked.
  void AddModules(int count, const sim::ModuleOptions& options) {
    std::vector<std::string> items;
    for (int i = 0; i < count; ++i) {
      modules_.push_back(std::make_unique<sim::SimulatedModule>(options, clock_));
      ASSERT_TRUE(modules_.back()->ok());
      modules_.back()->Start();
      items.push_back(modules_.back()->PortPath());
    }
    items.push_back(reference_->PortPath());
    page().ComPortList.SetItems(items);
    for (int i = 0; i < count; ++i) page().ComPortList.SetChecked(i, true);
  }

  void SelectFile(uint64_t size) {
    file_ = (std::filesystem::temp_directory_path() /
             ("flashpost-mcd-e2e-" +
              std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
              std::to_string(std::random_device{}()) + ".bin"))
                .string();
    std::ofstream(file_, std::ios::binary).close();
    std::filesystem::resize_file(file_, size);
    form().OpenDialog1.SetFileName(file_);
    page().Button2.Click();
  }

  bool AllEndWith(int count, const std::string& text) {
    return loop_.RunUntil(
        [&] {
          for (int slot = 0; slot < count; ++slot) {
            if (board().StatusText[slot].Get() != text) return false;
          }
          return true;
        },
        kRunLimitMs);
  }
  bool WorkersFinished(int count) {
    return loop_.RunUntil(
        [&] {
          for (int slot = 0; slot < count; ++slot) {
            auto worker = board().Worker[slot].Get();
            if (worker && !worker->Finished()) return false;
          }
          return true;
        },
        kRunLimitMs);
  }
  std::string Statuses(int count) {
    std::string all;
    for (int slot = 0; slot < count; ++slot) all += "[" + board().StatusText[slot].Get() + "]";
    return all;
  }

  app::PortBoard& board() { return application_.Board(); }
  app::TMainForm& form() { return application_.Form(); }
  download::MultiPortPage& page() { return application_.Form().McdPage; }

  platform::ScaledClock clock_{20.0};
  ui::HeadlessLoop loop_{clock_};
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  app::Application application_{clock_, *host_, loop_};
  std::unique_ptr<sim::SimulatedReference> reference_;
  std::vector<std::unique_ptr<sim::SimulatedModule>> modules_;
  std::string file_;
};

TEST_F(MultiPortSimTest, EightModulesTakeTheirFirmwareInParallel) {
  // 9600 everywhere: each slot's update must reopen its module at that speed, although the
  // others switch the shared baud text to the kernel's 115200 meanwhile.
  ASSERT_NO_FATAL_FAILURE(OpenTheReference(9600));
  sim::ModuleOptions options;
  options.baud = 9600;
  ASSERT_NO_FATAL_FAILURE(AddModules(8, options));
  page().Options.RadioButton5.Click();
  SelectFile(480 * 1024);
  page().Button1.Click();
  ASSERT_EQ(board().MessageText.Get(), "Downloading....");

  ASSERT_TRUE(AllEndWith(8, " FW(AP) update OK!(OK)")) << Statuses(8);
  ASSERT_TRUE(WorkersFinished(8));
  for (int slot = 0; slot < 8; ++slot) {
    const auto& module = *modules_[slot];
    EXPECT_EQ(module.ImagesReceived(), 1) << slot;
    EXPECT_EQ(module.ImageReceived(), sim::Payload::kImageP2) << slot;
    EXPECT_EQ(module.UpdateCommands(), 1) << slot;
    EXPECT_EQ(module.KernelEntries(), 0) << "no fall-back to the kernel on slot " << slot;
    EXPECT_EQ(board().StatusColor[slot].load(), app::kGreen);
    EXPECT_EQ(board().ReadEnabled[slot].load(), 0) << "each slot gives its port back";
  }
  loop_.RunFor(3000);  // the refresh has shown it all
  EXPECT_EQ(page().StatusLabel(7).Caption(), " FW(AP) update OK!(OK)");
  EXPECT_EQ(page().PercentLabel(7).Caption(), "100%");
  EXPECT_EQ(page().SlotBox(7).Caption(), modules_[7]->PortPath());
  EXPECT_TRUE(page().Button1.Enabled());
  // The automatic page never took slot 0 for one of its own runs: the reference receiver on
  // the terminal port was left alone.
  EXPECT_EQ(board().JobReUpdate[0].load(), 0);
  EXPECT_EQ(board().ReadEnabled[app::kTerminalSlot].load(), 1);
}

TEST_F(MultiPortSimTest, AllImageThenCalibrationAidedByTheReference) {
  // At 9600 the port Start opened for the calibration must go to the kernel's 115200 for the
  // download, and back to 9600 for the new firmware's reports.
  ASSERT_NO_FATAL_FAILURE(OpenTheReference(9600));
  sim::ModuleOptions options;
  options.baud = 9600;
  options.dead_firmware = true;  // a fresh module: only its boot code answers
  options.vbi.after_all_image = true;
  options.vbi.stay_in_vbi = true;
  ASSERT_NO_FATAL_FAILURE(AddModules(2, options));
  page().Options.AutoCalibration.Click();
  ASSERT_EQ(board().XtalAfterDownload.load(), 1);
  page().Options.ComboBox8.SetItemIndex(1);  // the modules go on in VBI
  SelectFile(512 * 1024);
  page().Button1.Click();
  ASSERT_EQ(board().MessageText.Get(), "Downloading....") << board().MessageText.Get();

  ASSERT_TRUE(AllEndWith(2, " F3 Success - 4(Test OK!)")) << Statuses(2);
  for (int slot = 0; slot < 2; ++slot) {
    EXPECT_EQ(modules_[slot]->LoadersReceived(), 1) << slot;
    EXPECT_EQ(modules_[slot]->ImagesReceived(), 1) << slot;
    EXPECT_GE(modules_[slot]->Vbi().pvts_received, 1) << slot;
  }
  EXPECT_EQ(reference_->EphemerisRequests(), 1);
}

TEST_F(MultiPortSimTest, CalibrationAloneHandsTheModulesBackInNmea) {
  ASSERT_NO_FATAL_FAILURE(OpenTheReference(115200));
  sim::ModuleOptions options;
  options.baud = 115200;
  options.vbi.at_boot = true;
  ASSERT_NO_FATAL_FAILURE(AddModules(3, options));
  page().Options.RadioButton4.Click();
  SelectFile(1);  // a calibration sends no file: any will do
  page().Button1.Click();
  ASSERT_EQ(board().MessageText.Get(), "Testing....");

  // With NMEA chosen for afterwards, the calibration data ends the slot's run.
  ASSERT_TRUE(AllEndWith(3, "Close ComPort for NMEA mode!")) << Statuses(3);
  for (int slot = 0; slot < 3; ++slot) {
    EXPECT_EQ(board().ReadEnabled[slot].load(), 0) << slot;
    EXPECT_EQ(board().ProtocolMode[slot].load(), 0) << slot;
    EXPECT_GE(modules_[slot]->Vbi().pvts_received, 1) << slot;
  }
}

TEST_F(MultiPortSimTest, AFailedAllImageIsNotFollowedByACalibration) {
  ASSERT_NO_FATAL_FAILURE(OpenTheReference(115200));
  sim::ModuleOptions options;
  options.baud = 115200;
  options.dead_firmware = true;
  options.no_nak_after_kernel_entry = true;  // the boot code never asks for the loader
  ASSERT_NO_FATAL_FAILURE(AddModules(1, options));
  page().Options.AutoCalibration.Click();
  SelectFile(512 * 1024);
  page().Edit25.SetText("3000");
  page().Button1.Click();

  ASSERT_TRUE(AllEndWith(1, "Download Failed!")) << Statuses(1) << board().MessageText.Get();
  ASSERT_TRUE(WorkersFinished(1));
  loop_.RunFor(40'000);  // longer than a calibration's time-out
  EXPECT_EQ(board().StatusText[0].Get(), "Download Failed!") << "the real failure stays";
  EXPECT_EQ(board().StatusColor[0].load(), app::kRed);
  EXPECT_EQ(board().JobXtalCal[0].load(), 0);
  EXPECT_EQ(board().ReadEnabled[0].load(), 0);
}

TEST_F(MultiPortSimTest, StopThenStartAtOnceLeavesOneRunOnEachSlot) {
  ASSERT_NO_FATAL_FAILURE(OpenTheReference(115200));
  sim::ModuleOptions options;
  options.baud = 115200;
  options.dead_firmware = true;
  options.late_ack_block = 5;  // every transfer stalls there for a while
  options.late_ack_ms = 4000;
  ASSERT_NO_FATAL_FAILURE(AddModules(2, options));
  page().Options.RadioButton2.Click();  // All Image(No code): the kernel takes it at any time
  SelectFile(512 * 1024);
  page().Button1.Click();
  ASSERT_TRUE(loop_.RunUntil(
      [&] { return modules_[0]->PacketsReceived() >= 5 && modules_[1]->PacketsReceived() >= 5; },
      kRunLimitMs));

  page().Button7.Click();
  page().Button1.Click();
  ASSERT_EQ(board().MessageText.Get(), "Downloading....") << "the old workers left at once";
  ASSERT_TRUE(AllEndWith(2, "All Image Download OK!")) << Statuses(2);
  ASSERT_TRUE(WorkersFinished(2));
  loop_.RunFor(12'000);  // longer than the stopped run's ACK wait: nothing of it comes back
  EXPECT_EQ(Statuses(2), "[All Image Download OK!][All Image Download OK!]");
  for (int slot = 0; slot < 2; ++slot) {
    EXPECT_EQ(modules_[slot]->ImagesReceived(), 1) << slot;
    EXPECT_EQ(modules_[slot]->KernelEntries(), 2) << slot;
    EXPECT_EQ(board().ReadEnabled[slot].load(), 0) << slot;
  }
}

TEST_F(MultiPortSimTest, StopInTheMiddleOfARunEndsEverySlot) {
  ASSERT_NO_FATAL_FAILURE(OpenTheReference(115200));
  sim::ModuleOptions options;
  options.baud = 115200;
  options.pace_line_rate = true;  // an image takes its real 40 s on the line
  ASSERT_NO_FATAL_FAILURE(AddModules(3, options));
  page().Options.RadioButton5.Click();
  SelectFile(475 * 1024);
  page().Button1.Click();
  ASSERT_TRUE(loop_.RunUntil([&] { return modules_[2]->PacketsReceived() > 3; }, kRunLimitMs));

  page().Button7.Click();
  EXPECT_TRUE(page().Button1.Enabled());
  for (int slot = 0; slot < 3; ++slot) {
    EXPECT_TRUE(board().Worker[slot].Get()->Terminated()) << slot;
  }
  ASSERT_TRUE(WorkersFinished(3)) << Statuses(3);
  for (int slot = 0; slot < 3; ++slot) {
    EXPECT_EQ(board().ReadEnabled[slot].load(), 0) << slot;
    EXPECT_EQ(modules_[slot]->ImagesReceived(), 0) << slot;
    EXPECT_NE(board().StatusText[slot].Get(), " FW(AP) update OK!(OK)") << slot;
  }
}

}  // namespace
}  // namespace flashpost
