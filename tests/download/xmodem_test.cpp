#include "download/xmodem.h"

#include <gtest/gtest.h>

#include <functional>
#include <thread>

#include "download/update_procedures.h"
#include "payloads/payloads.h"
#include "platform/pty.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"
#include "ui/headless_loop.h"
#include "ui/stop_signal.h"

namespace flashpost::download {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

// A receiver on the far end of a pty: reads whole packets and answers each as told, ACK by
// default; before runs just before the answer to packet n (from 1).
class Receiver {
 public:
  using Answer = std::function<Bytes(int)>;
  Receiver(platform::PseudoTerminal& pty, size_t block, Answer answer = {},
           std::function<void(int)> before = {})
      : answer_(std::move(answer)), before_(std::move(before)), pty_(pty), packet_(block + 4) {}
  std::atomic<int> packets{0};
  std::atomic<int> eots{0};
  Bytes data;

 private:
  void Run(const std::stop_token& stop) {
    Bytes pending;
    while (!stop.stop_requested()) {
      if (!pending.empty() && pending[0] == kEot) {
        ++eots;
        pending.erase(pending.begin());
      }
      // Asking for just what completes the packet returns as soon as it is there.
      auto got = pty_.Receive(20, pending.size() < packet_ ? packet_ - pending.size() : 1);
      pending.insert(pending.end(), got.begin(), got.end());
      if (pending.size() < packet_ || pending[0] == kEot) continue;
      data.insert(data.end(), pending.begin() + 3, pending.begin() + packet_ - 1);
      pending.erase(pending.begin(), pending.begin() + packet_);
      const int n = ++packets;
      if (before_) before_(n);
      pty_.Send(answer_ ? answer_(n) : Bytes{kAck});
    }
  }
  const Answer answer_;
  const std::function<void(int)> before_;
  platform::PseudoTerminal& pty_;
  const size_t packet_;
  std::jthread thread_{[this](std::stop_token stop) { Run(stop); }};
};

// rx checks the packets byte for byte (lrzsz_test); here the images' checksum.
TEST(XmodemPacketTest, ProgressTruncatesAndTheImagesAreCheckedByCrc32) {
  EXPECT_EQ(payloads::Crc32(std::span(reinterpret_cast<const uint8_t*>("123456789"), 9)),
            0xCBF43926u);
  EXPECT_EQ(TransferProgress(5, 1024, payloads::kImageSize), 1);
  EXPECT_EQ(TransferProgress(479, 1024, payloads::kImageSize), 99);
  EXPECT_EQ(TransferProgress(22, 128, payloads::kLoader1Size), 100) << "capped";
}

class SenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "115200", 2), 1);
    board_.ChipIsSecond = 0;
  }
  platform::ScaledClock clock_{50.0};
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  app::PortBoard board_{clock_, *host_};
  platform::PseudoTerminal pty_;
  ui::StopSignal stop_;
  const serial::SlotJob job_{board_, 2, stop_};
};

// What the sender makes of the receiver's answers: only an ACK within the wait limit moves it
// on, and there is no retransmission.
TEST_F(SenderTest, RepliesToEachPacket) {
  const struct {
    size_t block;
    Receiver::Answer answer;  // to packet n
    uint32_t delay_ms;        // clock time before the answer to packet 2
    bool sent;
    int packets;
  } cases[] = {
      // clang-format off
      {kBlock1K, {}, 0, true, 480},
      {kBlock128, [](int) { return Bytes{kNak, 0x18, 'x', kAck}; }, 0, true, 22},
      {kBlock128, [](int n) { return n == 3 ? Bytes{kNak} : Bytes{kAck}; }, 0, false, 3},
      {kBlock1K, {}, 1500, false, 2},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    board_.WaitTimeoutMs = c.delay_ms > 0 ? 1000 : 5000;
    board_.StatusText[2].Set("");
    std::vector<int> progress;
    const uint32_t start = clock_.Ticks();
    Receiver rx(pty_, c.block, c.answer, [&](int n) {
      progress.push_back(board_.ProgressPercent[2].load());
      if (n == 2) clock_.Sleep(c.delay_ms);
    });
    EXPECT_EQ(c.block == kBlock1K ? SendXmodem1K(job_) : SendXmodem(job_, true), c.sent);
    EXPECT_EQ(rx.packets.load(), c.packets);
    EXPECT_EQ(board_.StatusText[2].Get(), c.sent ? "" : "Download Failed!(No ACK)");
    EXPECT_GE(clock_.Ticks() - start, c.sent ? 0u : 1000u) << "the wait limit";
    if (!c.sent || c.block != kBlock1K) continue;
    // The EOT travels behind the last packet's checksum, read after the last answer.
    for (int i = 0; i < 100 && rx.eots == 0; ++i) clock_.Sleep(250);
    EXPECT_EQ(rx.eots.load(), 1);
    EXPECT_EQ(board_.ProgressPercent[2].load(), 100);
    // Progress is written after each ACK; the receiver saw the value of the block before.
    EXPECT_EQ(progress[1], 0) << "after the first block";
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
  }
}

TEST_F(SenderTest, AClosedPortFailsTheWrite) {
  serial::ClosePort(board_, 2);
  EXPECT_FALSE(SendXmodem1K(job_));
  EXPECT_EQ(board_.StatusText[2].Get(), "Download Failed!(can't send)");
  EXPECT_FALSE(SendXmodem(job_, true));
  EXPECT_EQ(board_.StatusText[2].Get(), "Download Failed!(can't Send)");
}

TEST_F(SenderTest, AStopEndsTheAckWaitAtOnceAndLeavesTheSlotAlone) {
  board_.WaitTimeoutMs = 60'000;
  board_.StatusText[2].Set("P2 File is being transferred...");
  std::atomic<uint32_t> stopped_at{0};
  {
    // The module takes the first block and never answers; the operator stops the slot.
    Receiver rx(
        pty_, kBlock1K, [](int) { return Bytes{}; },
        [&](int) {
          stopped_at = clock_.Ticks();
          stop_.Request();
        });
    EXPECT_FALSE(SendXmodem1K(job_));
    EXPECT_LT(clock_.Ticks() - stopped_at.load(), 1000u) << "not the 60 s wait limit";
    EXPECT_EQ(rx.packets.load(), 1);
  }
  EXPECT_EQ(board_.StatusText[2].Get(), "P2 File is being transferred...");
  EXPECT_EQ(board_.ProgressPercent[2].load(), 0);
  EXPECT_FALSE(SendKernelEntry(job_));
  EXPECT_TRUE(pty_.Receive(100).empty()) << "nothing more reaches the module";
}

// A line that takes no more bytes (a stalled adapter) holds neither the stop up nor the write on.
TEST_F(SenderTest, AStopEndsAWriteTheLineNoLongerTakes) {
  std::atomic<int> wrote{-1};
  std::thread writer([&] {  // nobody drains the far end: a megabyte cannot fit in the pty
    const Bytes big(1 << 20, 0x55);
    wrote = job_.Write(big.data(), big.size());
  });
  EXPECT_EQ(pty_.Receive(5000, 1).size(), 1u) << "the write has begun";
  std::atomic<bool> stopped{false};
  std::thread stopper([&] {
    stop_.Request();
    stopped = true;
  });
  for (int i = 0; i < 5000 && !(stopped && wrote >= 0); ++i) std::this_thread::sleep_for(200us);
  EXPECT_TRUE(stopped.load()) << "the stop waits for the write";
  EXPECT_EQ(wrote.load(), 0) << "the write goes on after the stop";
  serial::ClosePort(board_, 2);  // ends a write that did not give way
  stopper.join();
  writer.join();
}

// Ten times real time; a test may look at each timed wait just before it begins.
class WatchedClock final : public platform::Clock {
 public:
  uint32_t Ticks() const override { return inner_.Ticks(); }
  void Sleep(uint32_t ms) override { inner_.Sleep(ms); }
  std::chrono::nanoseconds RealDuration(uint32_t ms) const override {
    if (before_wait) before_wait(ms);
    return inner_.RealDuration(ms);
  }
  std::function<void(uint32_t)> before_wait;  // set before the procedure starts

 private:
  platform::ScaledClock inner_{10.0};
};

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
  }
  void TearDown() override { Join(); }
  void Join() {
    if (worker_.joinable()) worker_.join();
    loop_.ProcessPending();
  }
  // Starts the procedure; it sends the update command at the run's NMEA speed.
  uint32_t RunUntilTheCommand() {
    worker_ =
        std::thread([this] { succeeded_ = UpdateFirmware(services_, pty_.SlavePath(), 2, stop_); });
    EXPECT_EQ(Received(22), "$PQRV11,1,0,6,2,0*1C\r\n");
    EXPECT_EQ(pty_.ProgramSideSettings().baud, 9600u);
    return clock_.Ticks();
  }
  // Waits (real time, bounded) until the condition holds; returns the clock tick then.
  uint32_t Await(const std::function<bool()>& done) {
    for (int i = 0; i < 5000 && !done(); ++i) std::this_thread::sleep_for(200us);
    EXPECT_TRUE(done());
    return clock_.Ticks();
  }
  uint32_t AwaitKernelSpeed() {
    return Await([&] { return pty_.ProgramSideSettings().baud == 115200; });
  }
  std::string Received(size_t n) {
    std::string got;
    for (int i = 0; i < 100 && got.size() < n; ++i) {
      auto bytes = pty_.Receive(50, n - got.size());
      got.append(bytes.begin(), bytes.end());
    }
    return got;
  }
  WatchedClock clock_;
  ui::HeadlessLoop loop_{clock_};
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  app::PortBoard board_{clock_, *host_};
  DownloadServices services_{board_, loop_, {}, {}};
  platform::PseudoTerminal pty_;
  ui::StopSignal stop_;
  std::thread worker_;
  bool succeeded_ = false;  // read after Join
  int restores_ = 0;
  int ok_enables_ = 0;
};

TEST_F(UpdateFirmwareTest, CommandThenPausesThenTheImageAtKernelSpeed) {
  board_.JobFsa[2] = 1;
  board_.ChipIsSecond = 0;
  const uint32_t command_tick = RunUntilTheCommand();
  EXPECT_GE(AwaitKernelSpeed() - command_tick, 1400u) << "1000 ms, the close, then 500 ms";
  Await([&] { return board_.StatusText[2].Get() == "Flash is being erased..."; });
  std::string text;
  Receiver rx(pty_, kBlock1K, {}, [&](int n) {
    if (n == 1) text = board_.StatusText[2].Get();
  });
  pty_.Send(Bytes{kNak});
  Join();
  // All 480 counted: the receiver wrote the text before it counted the second packet.
  EXPECT_EQ(rx.packets.load(), 480);
  EXPECT_EQ(text, "P1 File is being transferred...");
  const auto image = payloads::ImageP1();
  EXPECT_TRUE(std::equal(image.begin(), image.end(), rx.data.begin()));
  EXPECT_EQ(board_.StatusColor[2].load(), app::kGreen);
  EXPECT_EQ(board_.OverallSuccess.load(), 1);
  EXPECT_EQ(ok_enables_, 1);
  // Both jobs' texts go out; the firmware job's, written last, stays.
  EXPECT_EQ(board_.StatusText[2].Get(), " FW(AP) update OK!(OK)");
  EXPECT_EQ(board_.CurrentBaudText.Get(), "9600") << "the operator's speed comes back";
  EXPECT_EQ(board_.JobFwAp[2].load(), 0);
  EXPECT_EQ(restores_, 1);
}

// The module asks for the image four seconds after the reopen for the kernel, then says no more:
// with five seconds to wait the transfer fails after its own wait, with three the NAK is late.
TEST_F(UpdateFirmwareTest, ANakFourSecondsAfterTheReopen) {
  for (auto [wait_ms, text] :
       {std::pair{5000, "Xmodem_1K Download Failed!"}, std::pair{3000, "Waiting ACK failed..."}}) {
    SCOPED_TRACE(wait_ms);
    board_.WaitTimeoutMs = wait_ms;
    board_.JobFwAp[2] = 1;
    board_.VersionSeen[2] = 1;
    board_.OverallSuccess = 1;
    RunUntilTheCommand();
    const uint32_t reopen = AwaitKernelSpeed();
    clock_.Sleep(4000 - std::min<uint32_t>(clock_.Ticks() - reopen, 4000));
    pty_.Send(Bytes{kNak});
    Join();
    pty_.Receive(100);  // the unanswered first packet
    EXPECT_EQ(board_.StatusText[2].Get(), text);
    EXPECT_EQ(board_.StatusColor[2].load(), app::kRed);
    EXPECT_EQ(board_.JobFwAp[2] + board_.VersionSeen[2] + board_.OverallSuccess + ok_enables_, 0);
  }
  EXPECT_EQ(restores_, 2);
}

TEST_F(UpdateFirmwareTest, AStopInAPauseEndsTheUpdateWithoutTouchingTheSlot) {
  RunUntilTheCommand();
  Await([&] { return board_.StatusText[2].Get() == "Send FW(AP) command....."; });
  const uint32_t stopped_at = clock_.Ticks();
  stop_.Request();
  Join();
  EXPECT_LT(clock_.Ticks() - stopped_at, 1000u) << "the pauses are cut short";
  EXPECT_NE(pty_.ProgramSideSettings().baud, 115200u) << "not reopened for the kernel";
  EXPECT_EQ(board_.StatusText[2].Get(), "Send FW(AP) command.....");
  EXPECT_EQ(board_.JobFwAp[2].load() + board_.VersionSeen[2].load(), 2);
  EXPECT_EQ(restores_, 0);
}

// A stop while the image goes out is no success and no failure: the slot keeps its last text.
TEST_F(UpdateFirmwareTest, AStopDuringTheTransferEndsTheUpdateUnsuccessfulAndSilent) {
  RunUntilTheCommand();
  AwaitKernelSpeed();
  Receiver rx(pty_, kBlock1K, {}, [&](int n) {
    if (n == 3) stop_.Request();
  });
  pty_.Send(Bytes{kNak});
  Join();
  EXPECT_FALSE(succeeded_);
  EXPECT_LT(rx.packets.load(), 480);
  EXPECT_EQ(board_.StatusText[2].Get(), "P2 File is being transferred...");
  EXPECT_EQ(board_.OverallSuccess.load() + restores_ + ok_enables_, 0);
}

// A stop in the pause after the image went out: no success, the job stays to be done.
TEST_F(UpdateFirmwareTest, AStopAfterTheReUpdatesTransferIsNoSuccess) {
  board_.JobReUpdate[2] = 1;
  board_.ChipIsSecond = 1;
  // The wait holds the stop's lock while it asks the clock: the stop comes from another thread.
  std::thread stopper;
  clock_.before_wait = [&](uint32_t ms) {
    auto log = board_.Transfers[2].Get();
    if (ms == 500 && !log->empty() && log->back().complete && !stopper.joinable()) {
      stopper = std::thread([this] { stop_.Request(); });
    }
  };
  worker_ = std::thread([this] { succeeded_ = ReUpdate(services_, pty_.SlavePath(), 2, stop_); });
  // Seven escapes 100 ms apart, then eight ones, at the kernel's speed.
  EXPECT_EQ(Received(1), std::string(1, kEsc));
  const uint32_t first_escape = clock_.Ticks();
  EXPECT_EQ(board_.StatusText[2].Get(), "Into Kernel mode.....");
  EXPECT_EQ(pty_.ProgramSideSettings().baud, 115200u);
  EXPECT_EQ(Received(14), std::string(6, kEsc) + std::string(8, kOne));
  EXPECT_GE(clock_.Ticks() - first_escape, 600u);
  Receiver rx(pty_, kBlock1K);
  pty_.Send(Bytes{kNak});
  Join();
  clock_.before_wait = nullptr;
  ASSERT_TRUE(stopper.joinable());
  stopper.join();
  EXPECT_FALSE(succeeded_);
  EXPECT_EQ(rx.packets.load(), 480);
  EXPECT_EQ(board_.JobReUpdate[2].load(), 1);
  EXPECT_EQ(board_.OverallSuccess.load() + ok_enables_, 0);
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
  int tries = 0;
  // As slot 0's worker does: the job runs again on every pass while its flag stays set.
  for (; board.JobFwAp[0].load() != 0 && tries < 1000; ++tries)
    UpdateFirmware(services, "COM9", 0, stop);
  EXPECT_EQ(board.StatusText[0].Get(), "Open Com Port Failed!");
  EXPECT_GE(clock.Ticks(), kOpenRetryLimitMs);
  EXPECT_LE(clock.Ticks(), kOpenRetryLimitMs + kOpenRetryPauseMs);
  EXPECT_LE(tries, 41) << "at most four tries a second";
  EXPECT_EQ(board.VersionSeen[0].load() + board.OverallSuccess.load(), 0);
  // A multi-port slot keeps its flags: its worker ends after one run anyway.
  board.JobFwAp[3] = 1;
  UpdateFirmware(services, "COM9", 3, stop);
  EXPECT_EQ(board.JobFwAp[3].load(), 1);
  EXPECT_EQ(board.StatusColor[3].load(), app::kRed);
}

}  // namespace
}  // namespace flashpost::download
