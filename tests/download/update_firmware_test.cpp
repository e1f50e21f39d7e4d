#include <gtest/gtest.h>

#include <thread>

#include "download/test_receiver.h"
#include "download/update_procedures.h"
#include "payloads/payloads.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"
#include "ui/headless_loop.h"

namespace flashpost::download {
namespace {

// The module's side played by the test on a pty, UpdateFirmware on a worker thread of its own.
class UpdateFirmwareTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    services_.restore_controls = [this](bool) { ++restores_; };
    services_.enable_ok = [this] { ++ok_enables_; };
    board_.RunBaudText[2].Set("9600");
    // Another slot's procedure has just set the shared text to the kernel speed.
    board_.CurrentBaudText.Set("115200");
    board_.JobFwAp[2] = 1;
    board_.VersionSeen[2] = 1;
    board_.OverallSuccess = 0;
  }
  void Run() {
    worker_ = std::thread([this] { UpdateFirmware(services_, pty_.SlavePath(), 2, stop_); });
  }
  void Join() {
    if (worker_.joinable()) worker_.join();
    loop_.ProcessPending();
  }
  void TearDown() override { Join(); }

  // Waits (real time, bounded) until the program has the line at that speed; its clock tick.
  uint32_t AwaitSpeed(uint32_t baud) {
    for (int i = 0; i < 5000; ++i) {
      if (pty_.ProgramSideSettings().baud == baud) return clock_.Ticks();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    ADD_FAILURE() << "the line never went to " << baud;
    return clock_.Ticks();
  }

  // Waits (real time, bounded) for the slot's status text: the worker sets it after the reopen.
  void AwaitStatus(const std::string& text) {
    for (int i = 0; i < 5000 && board_.StatusText[2].Get() != text; ++i)
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    EXPECT_EQ(board_.StatusText[2].Get(), text);
  }

  // The update command, and where the line stood when it came.
  uint32_t ExpectCommandAtModuleSpeed() {
    std::string got;
    for (int i = 0; i < 100 && got.size() < 22; ++i) {
      auto bytes = pty_.Receive(50, 22 - got.size());
      got.append(bytes.begin(), bytes.end());
    }
    uint32_t tick = clock_.Ticks();
    EXPECT_EQ(got, "$PQRV11,1,0,6,2,0*1C\r\n");
    EXPECT_EQ(pty_.ProgramSideSettings().baud, 9600u) << "opened at the run's NMEA speed";
    return tick;
  }

  platform::ScaledClock clock_{10.0};
  ui::HeadlessLoop loop_{clock_};
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  app::PortBoard board_{clock_, *host_};
  DownloadServices services_{board_, loop_, {}, {}};
  platform::PseudoTerminal pty_;
  ui::StopSignal stop_;
  std::thread worker_;
  int restores_ = 0;
  int ok_enables_ = 0;
};

TEST_F(UpdateFirmwareTest, CommandThenPausesThenTheImageAtKernelSpeed) {
  board_.JobFsa[2] = 1;
  board_.ChipIsSecond = 0;
  Run();
  uint32_t command_tick = ExpectCommandAtModuleSpeed();
  uint32_t reopen_tick = AwaitSpeed(115200);
  EXPECT_GE(reopen_tick - command_tick, 1400u) << "1000 ms, the close, then 500 ms";
  AwaitStatus("Flash is being erased...");
  {
    Receiver rx(pty_, kBlock1K);
    pty_.Send(Bytes{kNak});
    Join();
    EXPECT_EQ(rx.packets.load(), 480);
    auto image = payloads::ImageP1();
    EXPECT_TRUE(std::equal(image.begin(), image.end(), rx.data.begin()));
  }
  // Both jobs' texts go out; the firmware job's, written last, stays.
  EXPECT_EQ(board_.StatusText[2].Get(), " FW(AP) update OK!(OK)");
  EXPECT_EQ(board_.StatusColor[2].load(), app::kGreen);
  EXPECT_EQ(board_.CurrentBaudText.Get(), "9600") << "the operator's speed comes back";
  EXPECT_EQ(board_.JobFwAp[2].load(), 0);
  EXPECT_EQ(board_.OverallSuccess.load(), 1);
  EXPECT_EQ(restores_, 1);
  EXPECT_EQ(ok_enables_, 1);
}

TEST_F(UpdateFirmwareTest, ANakFourSecondsAfterTheReopenIsTakenWithFiveSecondsToWait) {
  board_.WaitTimeoutMs = 5000;
  Run();
  ExpectCommandAtModuleSpeed();
  uint32_t reopen = AwaitSpeed(115200);
  clock_.Sleep(4000 - std::min<uint32_t>(clock_.Ticks() - reopen, 4000));
  pty_.Send(Bytes{kNak});
  Join();  // no ACK follows: the transfer fails after its own wait
  EXPECT_EQ(board_.StatusText[2].Get(), "Xmodem_1K Download Failed!");
  EXPECT_EQ(board_.StatusColor[2].load(), app::kRed);
  EXPECT_EQ(board_.CurrentBaudText.Get(), "115200");
  EXPECT_EQ(board_.JobFwAp[2].load(), 0);
  EXPECT_EQ(board_.VersionSeen[2].load(), 0);
}

TEST_F(UpdateFirmwareTest, TheSameNakIsTooLateWithThreeSeconds) {
  board_.WaitTimeoutMs = 3000;
  Run();
  ExpectCommandAtModuleSpeed();
  uint32_t reopen = AwaitSpeed(115200);
  clock_.Sleep(4000 - std::min<uint32_t>(clock_.Ticks() - reopen, 4000));
  pty_.Send(Bytes{kNak});
  Join();
  EXPECT_EQ(board_.StatusText[2].Get(), "Waiting ACK failed...");
  EXPECT_EQ(board_.JobFwAp[2].load(), 0);
  EXPECT_EQ(board_.VersionSeen[2].load(), 0);
  EXPECT_EQ(board_.OverallSuccess.load(), 0);
  EXPECT_EQ(restores_, 1);
  EXPECT_EQ(ok_enables_, 0);
}

TEST_F(UpdateFirmwareTest, AStopInAPauseEndsTheUpdateWithoutTouchingTheSlot) {
  Run();
  ExpectCommandAtModuleSpeed();
  // The line is written just after the command; a stop before it would rightly leave it out.
  AwaitStatus("Send FW(AP) command.....");
  const uint32_t stopped_at = clock_.Ticks();
  stop_.Request();
  Join();
  EXPECT_LT(clock_.Ticks() - stopped_at, 1000u) << "the pauses are cut short";
  EXPECT_NE(pty_.ProgramSideSettings().baud, 115200u) << "not reopened for the kernel";
  EXPECT_EQ(board_.StatusText[2].Get(), "Send FW(AP) command.....");
  EXPECT_EQ(board_.JobFwAp[2].load(), 1);
  EXPECT_EQ(board_.VersionSeen[2].load(), 1);
  EXPECT_EQ(restores_, 0);
}

TEST(UpdateFirmwareOpenTest, SlotZeroStopsRetryingAFailedOpenAfterTenSeconds) {
  platform::ManualClock clock;
  ui::HeadlessLoop loop(clock);
  testing::FakeSerialSystem fake;  // no ports at all
  app::PortBoard board(clock, fake);
  DownloadServices services{board, loop, {}, {}};
  ui::StopSignal stop;
  board.JobFwAp[0] = 1;
  board.VersionSeen[0] = 1;
  board.OverallSuccess = 1;
  uint32_t start = clock.Ticks();
  int tries = 0;
  // As slot 0's worker does: the job runs again on every pass while its flag stays set.
  while (board.JobFwAp[0].load() != 0 && tries < 1000) {
    UpdateFirmware(services, "COM9", 0, stop);
    ++tries;
  }
  EXPECT_EQ(board.StatusText[0].Get(), "Open Com Port Failed!");
  EXPECT_GE(clock.Ticks() - start, kOpenRetryLimitMs);
  EXPECT_LE(clock.Ticks() - start, kOpenRetryLimitMs + kOpenRetryPauseMs);
  EXPECT_LE(tries, 41) << "at most four tries a second";
  EXPECT_EQ(board.VersionSeen[0].load(), 0);
  EXPECT_EQ(board.OverallSuccess.load(), 0);

  // A multi-port slot keeps its flags: its worker ends after one run anyway.
  board.JobFwAp[3] = 1;
  UpdateFirmware(services, "COM9", 3, stop);
  EXPECT_EQ(board.JobFwAp[3].load(), 1);
  EXPECT_EQ(board.StatusColor[3].load(), app::kRed);
}

}  // namespace
}  // namespace flashpost::download
