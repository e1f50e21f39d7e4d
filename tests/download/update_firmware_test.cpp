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

// The module's side played by the test on a pty, the procedure on a worker thread of its own.
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
  void Run(decltype(&UpdateFirmware) procedure = &UpdateFirmware) {
    worker_ = std::thread([this, procedure] { procedure(services_, pty_.SlavePath(), 2, stop_); });
  }
  void Join() {
    if (worker_.joinable()) worker_.join();
    loop_.ProcessPending();
  }
  void TearDown() override { Join(); }

  // Waits (real time, bounded) until the program has the line at that speed; its clock tick.
  uint32_t AwaitSpeed(uint32_t baud) {
    for (int i = 0; i < 5000 && pty_.ProgramSideSettings().baud != baud; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_EQ(pty_.ProgramSideSettings().baud, baud);
    return clock_.Ticks();
  }
  // Waits (real time, bounded) for the slot's status text.
  void AwaitStatus(const std::string& text) {
    for (int i = 0; i < 5000 && board_.StatusText[2].Get() != text; ++i) {
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    EXPECT_EQ(board_.StatusText[2].Get(), text);
  }
  // The next n bytes the module gets.
  std::string Received(size_t n) {
    std::string got;
    for (int i = 0; i < 100 && got.size() < n; ++i) {
      auto bytes = pty_.Receive(50, n - got.size());
      got.append(bytes.begin(), bytes.end());
    }
    return got;
  }
  // The update command, and where the line stood when it came.
  uint32_t ExpectCommandAtModuleSpeed() {
    EXPECT_EQ(Received(22), "$PQRV11,1,0,6,2,0*1C\r\n");
    EXPECT_EQ(pty_.ProgramSideSettings().baud, 9600u) << "opened at the run's NMEA speed";
    return clock_.Ticks();
  }
  // A receiver that takes the image, noting the status line during the transfer.
  void TakeTheImage(std::span<const uint8_t> image) {
    Receiver rx(pty_, kBlock1K, {}, [&](int n) {
      if (n == 1) transfer_text_ = board_.StatusText[2].Get();
    });
    pty_.Send(Bytes{kNak});
    Join();
    EXPECT_EQ(rx.packets.load(), 480);
    EXPECT_TRUE(std::equal(image.begin(), image.end(), rx.data.begin()));
  }
  // The module asks for the image four seconds after the reopen for the kernel, then says no
  // more.
  void NakFourSecondsAfterTheReopen() {
    Run();
    ExpectCommandAtModuleSpeed();
    const uint32_t reopen = AwaitSpeed(115200);
    clock_.Sleep(4000 - std::min<uint32_t>(clock_.Ticks() - reopen, 4000));
    pty_.Send(Bytes{kNak});
    Join();
    EXPECT_EQ(board_.StatusColor[2].load(), app::kRed);
    EXPECT_EQ(board_.JobFwAp[2].load(), 0);
    EXPECT_EQ(board_.VersionSeen[2].load(), 0);
    EXPECT_EQ(board_.OverallSuccess.load(), 0);
    EXPECT_EQ(restores_, 1);
    EXPECT_EQ(ok_enables_, 0);
  }

  platform::ScaledClock clock_{10.0};
  ui::HeadlessLoop loop_{clock_};
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  app::PortBoard board_{clock_, *host_};
  DownloadServices services_{board_, loop_, {}, {}};
  platform::PseudoTerminal pty_;
  ui::StopSignal stop_;
  std::thread worker_;
  std::string transfer_text_;
  int restores_ = 0;
  int ok_enables_ = 0;
};

TEST_F(UpdateFirmwareTest, CommandThenPausesThenTheImageAtKernelSpeed) {
  board_.JobFsa[2] = 1;
  board_.ChipIsSecond = 0;
  Run();
  const uint32_t command_tick = ExpectCommandAtModuleSpeed();
  EXPECT_GE(AwaitSpeed(115200) - command_tick, 1400u) << "1000 ms, the close, then 500 ms";
  AwaitStatus("Flash is being erased...");
  TakeTheImage(payloads::ImageP1());
  EXPECT_EQ(transfer_text_, "P1 File is being transferred...");
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
  NakFourSecondsAfterTheReopen();  // no ACK follows: the transfer fails after its own wait
  EXPECT_EQ(board_.StatusText[2].Get(), "Xmodem_1K Download Failed!");
  EXPECT_EQ(board_.CurrentBaudText.Get(), "115200");
}

TEST_F(UpdateFirmwareTest, TheSameNakIsTooLateWithThreeSeconds) {
  board_.WaitTimeoutMs = 3000;
  NakFourSecondsAfterTheReopen();
  EXPECT_EQ(board_.StatusText[2].Get(), "Waiting ACK failed...");
}

TEST_F(UpdateFirmwareTest, AStopInAPauseEndsTheUpdateWithoutTouchingTheSlot) {
  Run();
  ExpectCommandAtModuleSpeed();
  AwaitStatus("Send FW(AP) command.....");  // the worker is in its pause now
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

TEST_F(UpdateFirmwareTest, TheReUpdateGoesThroughTheKernelWithTheSecondImage) {
  board_.JobReUpdate[2] = 1;
  board_.ChipIsSecond = 1;
  Run(&ReUpdate);
  // Seven escapes 100 ms apart, then eight ones, at the kernel's speed.
  EXPECT_EQ(Received(1), std::string(1, kEsc));
  const uint32_t first_escape = clock_.Ticks();
  EXPECT_EQ(board_.StatusText[2].Get(), "Into Kernel mode.....");
  EXPECT_EQ(pty_.ProgramSideSettings().baud, 115200u);
  EXPECT_EQ(Received(14), std::string(6, kEsc) + std::string(8, kOne));
  EXPECT_GE(clock_.Ticks() - first_escape, 600u);
  TakeTheImage(payloads::ImageP2());
  EXPECT_EQ(transfer_text_, "P2 File is being transferred...");
  EXPECT_EQ(board_.StatusText[2].Get(), " FW Re-update OK!(OK)");
  EXPECT_EQ(board_.StatusColor[2].load(), app::kGreen);
  EXPECT_EQ(board_.JobReUpdate[2].load(), 0);
  EXPECT_EQ(board_.OverallSuccess.load(), 1);
  EXPECT_EQ(ok_enables_, 1);
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
  const uint32_t start = clock.Ticks();
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
