// `flashpost erase` against a simulated module's boot code on a pty.
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/erase_command.h"
#include "e2e/cli_test_support.h"
#include "sim/boot_menu.h"
#include "sim/simulated_module.h"

namespace flashpost {
namespace {

using testing::ListedPorts;
using testing::Slurp;

class CliEraseTest : public ::testing::Test {
 protected:
  // A module at 9600: the eraser's port moving to 115200 plays its power-up.
  void StartModule(sim::BootMenuKind kind) {
    sim::ModuleOptions options;
    options.boot.kind = kind;
    // The eraser reads the menu three times, 100 ms apart, and gives up: the clock runs at real
    // time, so that the simulator on a loaded machine still answers within those reads.
    options.boot.window_ms = 20'000;
    module_ = std::make_unique<sim::SimulatedModule>(options, clock_);
    ASSERT_TRUE(module_->ok());
    module_->Start();
    options_.port = module_->PortPath();
  }
  int Run(std::vector<std::string> listed = {}) {
    if (listed.empty()) listed.push_back(module_->PortPath());
    ListedPorts serial(listed);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = cli::RunErase(options_, clock_, serial, out, err);
    out_ = Slurp(out);
    err_ = Slurp(err);
    return status;
  }
  bool Has(const std::string& text) const { return out_.find(text) != std::string::npos; }

  platform::ScaledClock clock_{1.0};
  std::unique_ptr<sim::SimulatedModule> module_;
  cli::EraseOptions options_;
  std::string out_, err_;
};

TEST_F(CliEraseTest, TheBootMenuErasesEveryAreaAndTheAnswersAreShown) {
  ASSERT_NO_FATAL_FAILURE(StartModule(sim::BootMenuKind::kMenu));
  options_.timeout_s = 60;
  EXPECT_EQ(Run(), 0) << out_ << err_;
  // The answers were written just before the eraser let go of the port; the module may still
  // be taking them in.
  for (int i = 0; i < 200 && module_->Erased().size() < 3; ++i) clock_.Sleep(10);
  EXPECT_EQ(module_->Erased(),
            (std::vector<std::string>{sim::BootCode::kAreaFirmware, sim::BootCode::kAreaSettings,
                                      sim::BootCode::kAreaCalibration}));
  EXPECT_TRUE(Has(" Got connection!  \n")) << out_;
  EXPECT_TRUE(Has(" Finished!(OK) \n")) << out_;
  EXPECT_TRUE(Has("answered 'y': Erase firmware? (y/n)\n")) << out_;
  EXPECT_TRUE(Has("answered 'y': Erase calibration data? (y/n)\n")) << out_;
  EXPECT_TRUE(Has("PASS  Finished!(OK)   (erase, ")) << out_;
}

TEST_F(CliEraseTest, AModuleThatNeverShowsTheMenuFailsAtTheLimit) {
  ASSERT_NO_FATAL_FAILURE(StartModule(sim::BootMenuKind::kSilent));
  options_.timeout_s = 3;
  options_.json = true;
  EXPECT_EQ(Run(), 1) << out_;
  EXPECT_TRUE(Has("{\"ms\": ")) << out_;
  EXPECT_TRUE(Has("\"caption\": \" Please connect your module!  \"")) << out_;
  EXPECT_TRUE(Has("gave up after 3 s in eraser state 0")) << out_;
  EXPECT_TRUE(Has("\"caption\": \" Starting.....\"")) << "Stop was pressed\n" << out_;
  EXPECT_TRUE(module_->Erased().empty());
}

TEST_F(CliEraseTest, ABannerWithoutAMenuStaysUnerased) {
  ASSERT_NO_FATAL_FAILURE(StartModule(sim::BootMenuKind::kBannerOnly));
  options_.timeout_s = 3;
  EXPECT_EQ(Run(), 1) << out_;
  EXPECT_TRUE(Has("gave up after 3 s in eraser state 2")) << out_;
  EXPECT_FALSE(Has("PASS")) << out_;
}

TEST_F(CliEraseTest, APortTheScanDoesNotListIsAUsageError) {
  ASSERT_NO_FATAL_FAILURE(StartModule(sim::BootMenuKind::kMenu));
  EXPECT_EQ(Run({"/dev/ttyS-other"}), 2);
  EXPECT_NE(err_.find("is not among the ports found"), std::string::npos) << err_;
  EXPECT_EQ(module_->Resets(), 0) << "the port was never opened";
}

TEST(EraseQuestionsTest, OneAnswerForEveryQuestionThePageShowed) {
  // One 'y' went out per 'E' the module printed.
  EXPECT_TRUE(cli::QuestionsAnswered({"select> ", "", " 0  erase the flash"}).empty());
  EXPECT_EQ(cli::QuestionsAnswered({"Erase firmware? (y/n)", "kept", "EE"}),
            (std::vector<std::string>{"Erase firmware? (y/n)", "EE", "EE"}));
}

}  // namespace
}  // namespace flashpost
