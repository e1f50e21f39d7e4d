// `flashpost mcd` against simulated modules and a simulated reference receiver on ptys.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "board/colors.h"
#include "cli/mcd_command.h"
#include "e2e/cli_test_support.h"
#include "sim/reference_receiver.h"
#include "sim/simulated_module.h"

namespace flashpost {
namespace {

using testing::ListedPorts;
using testing::Slurp;
class CliMcdTest : public ::testing::Test {
 protected:
  ~CliMcdTest() override {
    if (!file_.empty()) std::filesystem::remove(file_);
  }

  void StartStation(const std::vector<sim::ModuleOptions>& modules) {
    reference_ = std::make_unique<sim::SimulatedReference>(sim::ReferenceOptions{}, clock_);
    ASSERT_TRUE(reference_->ok());
    reference_->Start();
    options_.reference = reference_->PortPath();
    listed_.push_back(reference_->PortPath());
    for (const sim::ModuleOptions& o : modules) {
      modules_.push_back(std::make_unique<sim::SimulatedModule>(o, clock_));
      ASSERT_TRUE(modules_.back()->ok());
      modules_.back()->Start();
      options_.ports.push_back(modules_.back()->PortPath());
      listed_.push_back(modules_.back()->PortPath());
    }
  }

  void MakeFile(uint64_t size) {
    file_ = (std::filesystem::temp_directory_path() /
             ("flashpost-cli-mcd-" +
              std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()) + "-" +
              std::to_string(std::random_device{}()) + ".bin"))
                .string();
    std::ofstream(file_, std::ios::binary).close();
    std::filesystem::resize_file(file_, size);
    options_.file = file_;
  }

  int Run() {
    ListedPorts serial(listed_);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = cli::RunMcd(options_, clock_, serial, out, err);
    out_ = Slurp(out);
    err_ = Slurp(err);
    return status;
  }

  bool Has(const std::string& text) const { return out_.find(text) != std::string::npos; }

  static sim::ModuleOptions At115200() {
    sim::ModuleOptions o;
    o.baud = 115200;
    return o;
  }

  platform::ScaledClock clock_{20.0};
  std::unique_ptr<sim::SimulatedReference> reference_;
  std::vector<std::unique_ptr<sim::SimulatedModule>> modules_;
  std::vector<std::string> listed_;
  cli::McdOptions options_;
  std::string file_;
  std::string out_, err_;
};

TEST_F(CliMcdTest, ThreeModulesTakeFwApAndEachSlotPasses) {
  ASSERT_NO_FATAL_FAILURE(StartStation({At115200(), At115200(), At115200()}));
  options_.job = app::McdJob::kFwAp;
  MakeFile(475 * 1024);
  EXPECT_EQ(Run(), 0) << out_ << err_;
  for (int slot = 0; slot < 3; ++slot) {
    const std::string prefix = "slot " + std::to_string(slot) + " " + modules_[slot]->PortPath();
    EXPECT_TRUE(Has(prefix + ": PASS  FW(AP) update OK!(OK)  (fwap, ")) << out_;
    EXPECT_TRUE(Has(prefix + ": [green]  FW(AP) update OK!(OK) 100%\n")) << out_;
    EXPECT_EQ(modules_[slot]->ImagesReceived(), 1) << slot;
  }
  EXPECT_TRUE(Has("[navy] Downloading....\n")) << out_;
  EXPECT_TRUE(reference_->SpeaksVbi()) << "Start needs the reference in VBI";
}

TEST_F(CliMcdTest, OneModuleLosingABlockFailsTheRunInJson) {
  sim::ModuleOptions broken = At115200();
  broken.fail_block = 5;
  ASSERT_NO_FATAL_FAILURE(StartStation({At115200(), broken}));
  options_.job = app::McdJob::kFwAp;
  options_.waiting_ms = 2000;
  options_.json = true;
  MakeFile(480 * 1024);
  EXPECT_EQ(Run(), 1) << out_;
  const std::string good = "\"port\": \"" + modules_[0]->PortPath() + "\", \"result\": \"pass\"";
  const std::string bad = "\"port\": \"" + modules_[1]->PortPath() + "\", \"result\": \"fail\"";
  EXPECT_TRUE(Has(good)) << out_;
  EXPECT_TRUE(Has(bad)) << out_;
  // One object per line.
  for (size_t at = 0; at < out_.size(); at = out_.find('\n', at) + 1) {
    EXPECT_EQ(out_.compare(at, 7, "{\"ms\": "), 0) << out_.substr(at, 60);
  }
}

TEST_F(CliMcdTest, CalibrationPassesOnItsHandOverAndFailsOnARedStep) {
  sim::ModuleOptions good = At115200();
  good.vbi.at_boot = true;
  sim::ModuleOptions bad = good;
  bad.vbi.phases = {7, 4, 4, 0};  // never waits for aiding
  ASSERT_NO_FATAL_FAILURE(StartStation({good, bad}));
  options_.job = app::McdJob::kXtal;
  MakeFile(1);
  EXPECT_EQ(Run(), 1) << out_;
  EXPECT_TRUE(Has(modules_[0]->PortPath() + ": PASS Close ComPort for NMEA mode!  (xtal, "))
      << out_;
  EXPECT_TRUE(Has(modules_[1]->PortPath() + ": FAIL  F1 Failure - 2(Test Fail!)  (")) << out_;
}

TEST_F(CliMcdTest, ARefusedStartPrintsThePagesMessage) {
  ASSERT_NO_FATAL_FAILURE(StartStation({At115200()}));
  options_.job = app::McdJob::kFwAp;
  MakeFile(100 * 1024);
  EXPECT_EQ(Run(), 3);
  EXPECT_TRUE(Has("[red] File size is over 480K or small than 470K!(NG)\n")) << out_;
  EXPECT_EQ(modules_[0]->UpdateCommands(), 0);
}

TEST_F(CliMcdTest, ARunThatDoesNotEndIsStoppedAtTheLimit) {
  sim::ModuleOptions slow = At115200();
  slow.pace_line_rate = true;  // an image takes its real 40 s on the line
  ASSERT_NO_FATAL_FAILURE(StartStation({slow}));
  options_.job = app::McdJob::kFwAp;
  options_.timeout_s = 8;
  MakeFile(475 * 1024);
  EXPECT_EQ(Run(), 1) << out_;
  EXPECT_TRUE(Has("[red] gave up after 8 s")) << out_;
  EXPECT_TRUE(Has(modules_[0]->PortPath() + ": FAIL ")) << out_;
  EXPECT_EQ(modules_[0]->ImagesReceived(), 0);
}

TEST_F(CliMcdTest, APortTheScanDoesNotListIsAUsageError) {
  ASSERT_NO_FATAL_FAILURE(StartStation({At115200()}));
  options_.job = app::McdJob::kFwAp;
  options_.ports.push_back("/dev/flashpost-none");
  MakeFile(475 * 1024);
  EXPECT_EQ(Run(), 2);
  EXPECT_NE(err_.find("port '/dev/flashpost-none' is not among the ports found"), std::string::npos)
      << err_;
  EXPECT_EQ(modules_[0]->UpdateCommands(), 0) << "nothing started";
}

TEST(CliMcdJudgeTest, ASlotPassesOnlyOnItsJobsPassText) {
  using app::McdJob;
  using app::SlotOutcome;
  struct Case {
    McdJob job;
    bool vbi_output;
    const char* status;
    ui::Color color;
    bool worker_done;
    SlotOutcome expected;
  };
  const Case cases[] = {
      {McdJob::kFwAp, false, " FW(AP) update OK!(OK)", app::kGreen, false, SlotOutcome::kPassed},
      {McdJob::kFsa, false, " FSA update OK!(OK)", app::kGreen, true, SlotOutcome::kPassed},
      {McdJob::kAllImage, false, "All Image Download OK!", app::kGreen, true, SlotOutcome::kPassed},
      {McdJob::kAllImageCode, false, " All Image update OK!(OK)", app::kGreen, true,
       SlotOutcome::kPassed},
      // Another job's success, or the automatic page's fall-back, is not this job's.
      {McdJob::kFsa, false, " FW(AP) update OK!(OK)", app::kGreen, true, SlotOutcome::kFailed},
      {McdJob::kFwAp, false, " FW Re-update OK!(OK)", app::kGreen, true, SlotOutcome::kFailed},
      // A download's red line ends it once its worker has ended.
      {McdJob::kFwAp, false, "Waiting ACK failed...", app::kRed, false, SlotOutcome::kRunning},
      {McdJob::kFwAp, false, "Xmodem_1K Download Failed!", app::kRed, true, SlotOutcome::kFailed},
      {McdJob::kFwAp, false, "Downloading.....", app::kNavy, false, SlotOutcome::kRunning},
      // A download followed by calibration: its download success is half the way.
      {McdJob::kAllImageXtal, false, "All Image Download OK!", app::kGreen, false,
       SlotOutcome::kRunning},
      {McdJob::kAllImageXtal, false, "Download Failed!", app::kRed, false, SlotOutcome::kFailed},
      {McdJob::kXtal, true, "VBI mode!", app::kBlue, false, SlotOutcome::kRunning},
      {McdJob::kXtal, true, " F3 Success - 4(Test OK!)", app::kNavy, false, SlotOutcome::kPassed},
      {McdJob::kXtal, false, " F3 Success - 4(Test OK!)", app::kNavy, true, SlotOutcome::kFailed},
      {McdJob::kXtal, false, "Close ComPort for NMEA mode!", app::kBlue, false,
       SlotOutcome::kPassed},
      {McdJob::kXtal, true, "Time out : 35S", app::kRed, false, SlotOutcome::kFailed},
      {McdJob::kXtal, true, " F3 Failure - 1(No Calibration) ", app::kNavy, false,
       SlotOutcome::kRunning},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(app::JudgeMcdSlot(c.job, c.vbi_output, c.status, c.color, c.worker_done), c.expected)
        << "'" << c.status << "' job " << static_cast<int>(c.job);
  }
}

}  // namespace
}  // namespace flashpost
