// `flashpost cno` against simulated modules and a simulated reference receiver on ptys.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/verdicts.h"
#include "board/colors.h"
#include "cli/cno_command.h"
#include "e2e/cli_test_support.h"
#include "sim/reference_receiver.h"
#include "sim/simulated_module.h"

namespace flashpost {
namespace {

using testing::ListedPorts;
using testing::Slurp;

class CliCnoTest : public ::testing::Test {
 protected:
  void StartReference(int strongest_cn0, uint32_t baud = 115200) {
    sim::ReferenceOptions options;
    options.baud = baud;
    options.satellites = sim::WithStrongestCn0(sim::DefaultSatellites(), strongest_cn0);
    reference_ = std::make_unique<sim::SimulatedReference>(options, clock_);
    ASSERT_TRUE(reference_->ok());
    reference_->Start();
    options_.reference = reference_->PortPath();
    listed_.push_back(reference_->PortPath());
  }
  void AddModule(const sim::ModuleOptions& options) {
    modules_.push_back(std::make_unique<sim::SimulatedModule>(options, clock_));
    ASSERT_TRUE(modules_.back()->ok());
    modules_.back()->Start();
    options_.ports.push_back(modules_.back()->PortPath());
    listed_.push_back(modules_.back()->PortPath());
  }
  static sim::ModuleOptions WithCn0(int cn0) {
    sim::ModuleOptions options;
    options.strongest_cn0 = cn0;
    return options;
  }

  int Run() {
    ListedPorts serial(listed_);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = cli::RunCno(options_, clock_, serial, out, err);
    out_ = Slurp(out);
    err_ = Slurp(err);
    return status;
  }
  bool Has(const std::string& text) const { return out_.find(text) != std::string::npos; }
  std::string Slot(int slot) const {
    return "slot " + std::to_string(slot) + " " + modules_[slot]->PortPath() + ": ";
  }

  platform::ScaledClock clock_{20.0};
  std::unique_ptr<sim::SimulatedReference> reference_;
  std::vector<std::unique_ptr<sim::SimulatedModule>> modules_;
  std::vector<std::string> listed_;
  cli::CnoOptions options_;
  std::string out_, err_;
};

TEST_F(CliCnoTest, ModulesAsStrongAsTheReferencePass) {
  ASSERT_NO_FATAL_FAILURE(StartReference(44));
  ASSERT_NO_FATAL_FAILURE(AddModule(WithCn0(44)));
  ASSERT_NO_FATAL_FAILURE(AddModule(WithCn0(47)));
  options_.timeout_ms = 4000;
  EXPECT_EQ(Run(), 0) << out_ << err_;
  EXPECT_TRUE(Has(Slot(0) + "PASS SV ")) << out_;
  EXPECT_TRUE(Has(Slot(1) + "PASS SV ")) << out_;
  EXPECT_TRUE(Has(Slot(1) + "[navy] Testing C/No 47dBHz\n")) << out_;
  EXPECT_EQ(modules_[0]->TestStarts(), 1);
}

TEST_F(CliCnoTest, AModuleWeakerThanTheReferenceFailsAndIsReportedOnce) {
  ASSERT_NO_FATAL_FAILURE(StartReference(44));
  ASSERT_NO_FATAL_FAILURE(AddModule(WithCn0(45)));
  ASSERT_NO_FATAL_FAILURE(AddModule(WithCn0(41)));
  options_.timeout_ms = 4000;
  options_.bias = 2;  // 42 is still enough, 41 is not
  EXPECT_EQ(Run(), 1) << out_;
  EXPECT_TRUE(Has(Slot(0) + "PASS SV ")) << out_;
  EXPECT_TRUE(Has(Slot(1) + "FAIL SV ")) << out_;
  const std::string verdict = Slot(1) + "[red] SV ";
  const size_t first = out_.find(verdict);
  ASSERT_NE(first, std::string::npos) << out_;
  EXPECT_EQ(out_.find(verdict, first + 1), std::string::npos) << "the verdict once\n" << out_;
}

TEST_F(CliCnoTest, AReferenceAtAnotherSpeedPassesNoModule) {
  // The command opens the reference at 115200; it talks at 9600, so nothing it says is heard.
  ASSERT_NO_FATAL_FAILURE(StartReference(44, 9600));
  ASSERT_NO_FATAL_FAILURE(AddModule(WithCn0(45)));
  ASSERT_NO_FATAL_FAILURE(AddModule(WithCn0(30)));
  options_.timeout_ms = 3000;
  EXPECT_EQ(Run(), 3) << out_;
  EXPECT_TRUE(Has(Slot(0) + "FAIL No SV from Ref. GPS : Fail!")) << out_;
  EXPECT_TRUE(Has(Slot(1) + "FAIL No SV from Ref. GPS : Fail!")) << out_;
}

TEST_F(CliCnoTest, AKeyedInLimitIsUsedWhenAsked) {
  ASSERT_NO_FATAL_FAILURE(StartReference(30));  // would let every module pass
  ASSERT_NO_FATAL_FAILURE(AddModule(WithCn0(38)));
  options_.timeout_ms = 3000;
  options_.key_in = true;
  options_.limit = 39;
  options_.no_bias = true;
  EXPECT_EQ(Run(), 1) << out_;
  EXPECT_TRUE(Has(Slot(0) + "FAIL SV ")) << out_;
}

TEST_F(CliCnoTest, ACustomerIdPassesOnlyWhenConfirmed) {
  ASSERT_NO_FATAL_FAILURE(AddModule({}));
  sim::ModuleOptions deaf;
  deaf.confirm_customer_id = false;
  ASSERT_NO_FATAL_FAILURE(AddModule(deaf));
  options_.test = cli::CnoTest::kCustomerId;
  options_.id = "ACME-0042";
  options_.timeout_ms = 3000;
  options_.json = true;
  EXPECT_EQ(Run(), 1) << out_;
  EXPECT_EQ(modules_[0]->CustomerId(), "ACME-0042");
  EXPECT_TRUE(Has("\"port\": \"" + modules_[0]->PortPath() +
                  "\", \"result\": \"pass\", \"status\": \"ACME-0042 - Pass!\""))
      << out_;
  EXPECT_TRUE(Has("\"port\": \"" + modules_[1]->PortPath() +
                  "\", \"result\": \"fail\", \"status\": \"Time out : 3S\""))
      << out_;
}

TEST_F(CliCnoTest, ACustomerIdConfirmedByEveryModulePasses) {
  ASSERT_NO_FATAL_FAILURE(AddModule({}));
  ASSERT_NO_FATAL_FAILURE(AddModule({}));
  options_.test = cli::CnoTest::kCustomerId;
  options_.id = "LINE7";
  EXPECT_EQ(Run(), 0) << out_;
  EXPECT_TRUE(Has(Slot(1) + "PASS LINE7 - Pass!  (id, ")) << out_;
}

TEST_F(CliCnoTest, ARefusedStartAndAnUnlistedPortEndTheRun) {
  ASSERT_NO_FATAL_FAILURE(AddModule({}));
  options_.test = cli::CnoTest::kCustomerId;
  options_.id = "BAD$ID";
  EXPECT_EQ(Run(), 3);
  EXPECT_TRUE(Has("[red] Customer ID must be printable characters without $ or *!(NG)\n")) << out_;
  EXPECT_EQ(modules_[0]->CustomerId(), "");

  options_.id = "GOOD";
  options_.ports.push_back("/dev/flashpost-none");
  EXPECT_EQ(Run(), 2);
  EXPECT_NE(err_.find("'/dev/flashpost-none' is not among the ports found"), std::string::npos)
      << err_;
}

TEST(CliCnoJudgeTest, OnlyTheVerdictOrTheIdSentPasses) {
  using app::SlotOutcome;
  EXPECT_EQ(app::JudgeCnoSlot(true, "", "Testing C/No", app::kNavy), SlotOutcome::kRunning);
  EXPECT_EQ(app::JudgeCnoSlot(true, "", "SV 12 : Pass!", app::kGreen), SlotOutcome::kPassed);
  EXPECT_EQ(app::JudgeCnoSlot(true, "", "SV 0 : Fail!", app::kRed), SlotOutcome::kFailed);
  EXPECT_EQ(app::JudgeCnoSlot(true, "", "Open Com Port Failed!", app::kRed), SlotOutcome::kFailed);
  EXPECT_EQ(app::JudgeCnoSlot(false, "AB", "Setting CustomerID", app::kNavy),
            SlotOutcome::kRunning);
  EXPECT_EQ(app::JudgeCnoSlot(false, "AB", "AB - Pass!", app::kGreen), SlotOutcome::kPassed);
  // The page passes whatever ID came back; a module holding another one has not taken ours.
  EXPECT_EQ(app::JudgeCnoSlot(false, "AB", "ABC - Pass!", app::kGreen), SlotOutcome::kFailed);
  EXPECT_EQ(app::JudgeCnoSlot(false, "AB", "Time out : 10S", app::kRed), SlotOutcome::kFailed);
}

}  // namespace
}  // namespace flashpost
