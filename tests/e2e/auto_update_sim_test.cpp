// The automatic update page end to end: the application on a headless loop, the simulated module
// on a pseudo-terminal, every road an operator can meet.
#include <gtest/gtest.h>

#include <tuple>

#include "app/application.h"
#include "sim/simulated_module.h"
#include "ui/headless_loop.h"

namespace flashpost {
namespace {

using sim::Payload;

class AutoUpdateSimTest : public ::testing::Test {
 protected:
  void Start(sim::ModuleOptions options) {
    module_ = std::make_unique<sim::SimulatedModule>(options, clock_);
    ASSERT_TRUE(module_->ok());
    module_->Start();
  }
  // Presses OK and serves the window until the run has ended (OK given back); false on time-out.
  bool PressOkAndWait(const std::string& baud = "9600") {
    auto& page = app_.Form().AutoPage;
    page.ComboBox6.SetText(module_->PortPath());
    page.ComboBox9.SetText(baud);
    page.Button13.Click();
    bool ended = loop_.RunUntil([&] { return page.Button13.Enabled(); }, 120'000);
    app_.Form().RefreshBoard();
    return ended;
  }
  const ui::Label& Status() { return app_.Form().AutoPage.Label63; }
  app::PortBoard& Board() { return app_.Board(); }

  platform::ScaledClock clock_{20.0};
  ui::HeadlessLoop loop_{clock_};
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  std::unique_ptr<sim::SimulatedModule> module_;
  app::Application app_{clock_, *host_, loop_};
};

TEST_F(AutoUpdateSimTest, AModuleOnVersionFiveGetsTheSecondImageByCommand) {
  Start({});
  ASSERT_TRUE(PressOkAndWait());
  EXPECT_EQ(Status().Caption(), " FW(AP) update OK!(OK)");
  EXPECT_EQ(Status().FontColor(), app::kGreen);
  EXPECT_EQ(app_.Form().AutoPage.ProgressBar17.Position(), 100);
  EXPECT_EQ(app_.Form().AutoPage.Label64.Caption(), "100%");
  EXPECT_EQ(module_->ImageReceived(), Payload::kImageP2);
  EXPECT_EQ(module_->UpdateCommands(), 1);
  EXPECT_EQ(module_->KernelEntries(), 0);
  EXPECT_EQ(Board().CurrentBaudText.Get(), "9600") << "the operator's speed comes back";
}

TEST_F(AutoUpdateSimTest, AModuleOnVersionThreeGetsTheFirstImage) {
  sim::ModuleOptions options;
  options.version_field3 = "3";
  Start(options);
  ASSERT_TRUE(PressOkAndWait());
  EXPECT_EQ(Status().Caption(), " FW(AP) update OK!(OK)");
  EXPECT_EQ(module_->ImageReceived(), Payload::kImageP1);
}

TEST_F(AutoUpdateSimTest, TheProbeGoesTwiceAndBothReachTheModule) {
  Start({});
  ASSERT_TRUE(PressOkAndWait());
  // The module's log, byte by byte with the tick of the read that brought it. The module judges
  // the speed when it reads, and the program may already have closed the port by then, so the
  // second probe can be logged as not understood.
  std::string text;
  std::vector<uint32_t> tick_of;
  for (const auto& chunk : module_->Received()) {
    text.append(chunk.bytes.begin(), chunk.bytes.end());
    tick_of.insert(tick_of.end(), chunk.bytes.size(), chunk.tick_ms);
  }
  const std::string probe = "$PQRV14,8*14\r\n";
  std::vector<uint32_t> probe_ticks;
  for (size_t at = text.find(probe); at != std::string::npos; at = text.find(probe, at + 1)) {
    probe_ticks.push_back(tick_of[at]);
  }
  ASSERT_EQ(probe_ticks.size(), 2u) << text.substr(0, 200);
  EXPECT_GT(probe_ticks[1], probe_ticks[0]);
  EXPECT_EQ(module_->ImageReceived(), Payload::kImageP2);
}

TEST_F(AutoUpdateSimTest, ASilentModuleIsUpdatedThroughItsBootKernel) {
  sim::ModuleOptions options;
  options.dead_firmware = true;
  Start(options);
  ASSERT_TRUE(PressOkAndWait());
  EXPECT_EQ(Status().Caption(), " FW Re-update OK!(OK)");
  EXPECT_EQ(Status().FontColor(), app::kGreen);
  EXPECT_EQ(module_->ImageReceived(), Payload::kImageP2);
  EXPECT_EQ(module_->KernelEntries(), 1);
  EXPECT_EQ(Board().AttemptCount.load(), 1);
}

// The answer window closes at the first supervision tick 2 s after the second probe, which
// falls 2.3 to 2.8 s after the first one: an answer at 3 s is always too late, one at 1.5 s always
// in time.
TEST_F(AutoUpdateSimTest, ALateAnswerIsTooLateAndAnEarlyOneIsInTime) {
  for (auto [delay, image, commands] :
       {std::tuple{3000u, Payload::kImageP2, 0}, std::tuple{1500u, Payload::kImageP1, 1}}) {
    SCOPED_TRACE(delay);
    sim::ModuleOptions options;
    options.version_field3 = "3";
    options.reply_delay_ms = delay;
    Start(options);
    ASSERT_TRUE(PressOkAndWait());
    EXPECT_EQ(module_->UpdateCommands(), commands);
    EXPECT_EQ(module_->ImageReceived(), image) << "the fall-back always sends P2";
    EXPECT_EQ(Status().FontColor(), app::kGreen);
  }
}

TEST_F(AutoUpdateSimTest, AFailedCommandedUpdateFallsBackToTheKernel) {
  sim::ModuleOptions options;
  options.version_field3 = "3";
  options.no_nak_after_erase = true;
  Start(options);
  ASSERT_TRUE(PressOkAndWait());
  EXPECT_EQ(Status().Caption(), " FW Re-update OK!(OK)");
  EXPECT_EQ(module_->UpdateCommands(), 1);
  EXPECT_EQ(module_->KernelEntries(), 1);
  EXPECT_EQ(module_->ImageReceived(), Payload::kImageP2);
}

TEST_F(AutoUpdateSimTest, TwoFailedReUpdatesThenTheRunIsGivenUp) {
  sim::ModuleOptions options;
  options.dead_firmware = true;
  options.no_nak_after_kernel_entry = true;
  Start(options);
  auto& page = app_.Form().AutoPage;
  page.ComboBox6.SetText(module_->PortPath());
  page.ComboBox9.SetText("9600");
  page.Button13.Click();
  uint32_t third_start = 0;
  uint32_t given_up = 0;
  ASSERT_TRUE(loop_.RunUntil(
      [&] {
        if (third_start == 0 && Board().AttemptCount.load() >= 3) third_start = clock_.Ticks();
        if (given_up == 0 && page.Label63.Caption() == "Restart module and Tool!") {
          given_up = clock_.Ticks();
        }
        return page.Button13.Enabled();
      },
      120'000));
  ASSERT_NE(third_start, 0u);
  ASSERT_NE(given_up, 0u);
  EXPECT_LE(given_up - third_start, 600u) << "within one timer period of the third start";
  EXPECT_EQ(page.Label63.FontColor(), app::kRed);
  EXPECT_FALSE(app_.Form().Timer1.TimerEnabled());
  EXPECT_GE(module_->KernelEntries(), 2);
  EXPECT_EQ(module_->ImageReceived(), Payload::kNone);
  // The abandoned attempt was stopped where it stood: nothing more reaches the module.
  const size_t sent = module_->ReceivedText().size();
  loop_.RunFor(3000);
  EXPECT_EQ(module_->ReceivedText().size(), sent);
  EXPECT_EQ(page.Label63.Caption(), "Restart module and Tool!");
}

TEST_F(AutoUpdateSimTest, OkAfterASuccessStartsAFreshRun) {
  Start({});
  ASSERT_TRUE(PressOkAndWait());
  Board().AttemptCount = 2;
  ASSERT_TRUE(PressOkAndWait());
  EXPECT_EQ(Status().Caption(), " FW(AP) update OK!(OK)");
  EXPECT_EQ(Board().AttemptCount.load(), 0);
  EXPECT_EQ(module_->UpdateCommands(), 2);
}

TEST_F(AutoUpdateSimTest, APortThatDoesNotExistLeavesOkEnabled) {
  auto& page = app_.Form().AutoPage;
  page.ComboBox6.SetText("/dev/flashpost-none");
  page.Button13.Click();
  EXPECT_TRUE(page.Button13.Enabled());
  app_.Form().RefreshBoard();
  EXPECT_EQ(Status().Caption(), "Cannot open /dev/flashpost-none port !");
}

}  // namespace
}  // namespace flashpost
