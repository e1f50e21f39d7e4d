#include "download/xmodem.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "download/test_receiver.h"
#include "payloads/payloads.h"
#include "platform/pty.h"
#include "serial/serial_port.h"
#include "ui/stop_signal.h"

namespace flashpost::download {
namespace {

uint8_t Sum(const uint8_t* data, size_t n) {
  unsigned sum = 0;
  for (size_t i = 0; i < n; ++i) sum += data[i];
  return static_cast<uint8_t>(sum & 0xFF);
}

// Cuts a payload into packets the way the senders do and checks every byte of each.
void CheckTransferLayout(std::span<const uint8_t> payload, size_t block, size_t expected_packets) {
  size_t offset = 0;
  size_t packets = 0;
  uint8_t number = 0;
  while (offset < payload.size()) {
    ++number;
    XmodemPacket p = BuildXmodemPacket(payload, offset, number, block);
    ++packets;
    const bool last = packets == expected_packets;
    ASSERT_EQ(p.last, last) << packets;
    ASSERT_EQ(p.size, 3 + block + 1 + (last ? 1 : 0)) << packets;
    ASSERT_EQ(p.bytes[0], block == kBlock1K ? kStx : kSoh);
    ASSERT_EQ(p.bytes[1], static_cast<uint8_t>(packets & 0xFF));
    ASSERT_EQ(p.bytes[2], static_cast<uint8_t>(~packets & 0xFF));
    const size_t carried = std::min(block, payload.size() - offset);
    ASSERT_TRUE(std::equal(payload.begin() + offset, payload.begin() + offset + carried,
                           p.bytes.begin() + 3));
    for (size_t i = carried; i < block; ++i) ASSERT_EQ(p.bytes[3 + i], kFill) << i;
    ASSERT_EQ(p.bytes[3 + block], Sum(p.bytes.data() + 3, block)) << "checksum of " << packets;
    if (last) {
      ASSERT_EQ(p.bytes[3 + block + 1], kEot);
    }
    offset += p.payload_taken;
  }
  EXPECT_EQ(packets, expected_packets);
}

TEST(XmodemPacketTest, TheImageGoesIn480PacketsEndingWithFillAndEot) {
  CheckTransferLayout(payloads::ImageP2(), kBlock1K, 480);
  XmodemPacket last = BuildXmodemPacket(payloads::ImageP1(), 490496, 224, kBlock1K);
  EXPECT_EQ(last.size, 1029u);
  EXPECT_EQ(last.payload_taken, 1020u);
  EXPECT_EQ(last.bytes[1], 224);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(last.bytes[3 + 1020 + i], kFill);
}

TEST(XmodemPacketTest, TheLoadersGoIn22And28PacketsOf128) {
  CheckTransferLayout(payloads::LoaderImage1(), kBlock128, 22);
  CheckTransferLayout(payloads::LoaderImage2(), kBlock128, 28);
}

TEST(XmodemPacketTest, BlockNumbersWrapToZeroWithComplementFF) {
  auto p = BuildXmodemPacket(payloads::ImageP1(), 255 * 1024, 0, kBlock1K);
  EXPECT_EQ(p.bytes[1], 0x00);
  EXPECT_EQ(p.bytes[2], 0xFF);
}

TEST(XmodemPacketTest, ProgressTruncatesAndReachesExactlyOneHundred) {
  EXPECT_EQ(TransferProgress(1, 1024, payloads::kImageSize), 0);
  EXPECT_EQ(TransferProgress(5, 1024, payloads::kImageSize), 1);
  EXPECT_EQ(TransferProgress(479, 1024, payloads::kImageSize), 99);
  EXPECT_EQ(TransferProgress(480, 1024, payloads::kImageSize), 100);
  EXPECT_EQ(TransferProgress(22, 128, payloads::kLoader1Size), 100) << "capped";
}

TEST(PayloadTest, StandInsHaveTheRightSizesAndDiffer) {
  EXPECT_EQ(payloads::ImageP1().size(), payloads::kImageSize);
  EXPECT_EQ(payloads::LoaderImage2().size(), payloads::kLoader2Size);
  EXPECT_FALSE(std::equal(payloads::ImageP1().begin(), payloads::ImageP1().end(),
                          payloads::ImageP2().begin()));
  EXPECT_EQ(
      payloads::Crc32(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>("123456789"), 9)),
      0xCBF43926u);
}

class SenderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "115200", 2), 1);
    board_.WaitTimeoutMs = 5000;
  }
  platform::ScaledClock clock_{50.0};
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  app::PortBoard board_{clock_, *host_};
  platform::PseudoTerminal pty_;
  ui::StopSignal stop_;
  const serial::SlotJob job_{board_, 2, stop_};
};

TEST_F(SenderTest, TheImageArrivesWholeAndProgressEndsAtOneHundred) {
  std::vector<int> progress;
  {
    Receiver rx(pty_, kBlock1K, {},
                [&](int) { progress.push_back(board_.ProgressPercent[2].load()); });
    board_.ChipIsSecond = 0;
    ASSERT_TRUE(SendXmodem1K(job_));
    EXPECT_EQ(rx.packets.load(), 480);
    // The EOT travels behind the last packet's checksum, read after the last answer.
    for (int i = 0; i < 100 && !rx.saw_eot; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(rx.saw_eot.load());
    EXPECT_EQ(board_.ProgressPercent[2].load(), 100);
    // The receiver is idle now: the sender only returned after its last answer.
    auto image = payloads::ImageP1();
    ASSERT_GE(rx.data.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), rx.data.begin()));
  }
  // Progress is written after each ACK; the receiver saw the value of the block before.
  ASSERT_GE(progress.size(), 2u);
  EXPECT_EQ(progress[1], 0) << "after the first block";
  EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
}

TEST_F(SenderTest, OnlyAckCountsAsAcknowledgement) {
  // NAK, CAN and noise before each ACK are dropped, not taken as an answer.
  Receiver rx(pty_, kBlock128, [](int) { return Bytes{kNak, 0x18, 'x', kAck}; });
  ASSERT_TRUE(SendXmodem(job_, /*bbchip_checked=*/true));
  EXPECT_EQ(rx.packets.load(), 22);
}

TEST_F(SenderTest, ANakInsteadOfAnAckFailsWithoutRetransmission) {
  Receiver rx(pty_, kBlock128, [](int n) { return n == 3 ? Bytes{kNak} : Bytes{kAck}; });
  board_.WaitTimeoutMs = 1000;
  EXPECT_FALSE(SendXmodem(job_, false));
  EXPECT_EQ(board_.StatusText[2].Get(), "Download Failed!(No ACK)");
  EXPECT_EQ(rx.packets.load(), 3) << "the block was sent again";
}

TEST_F(SenderTest, AnAckAfterTheWaitLimitIsTooLate) {
  Receiver rx(pty_, kBlock1K, {}, [&](int n) {
    if (n == 2) clock_.Sleep(1500);  // clock time
  });
  board_.WaitTimeoutMs = 1000;
  uint32_t start = clock_.Ticks();
  EXPECT_FALSE(SendXmodem1K(job_));
  EXPECT_EQ(board_.StatusText[2].Get(), "Download Failed!(No ACK)");
  EXPECT_GE(clock_.Ticks() - start, 1000u);
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

TEST_F(SenderTest, KernelEntryIsSevenEscapesThenEightOnes) {
  uint32_t start = clock_.Ticks();
  SendKernelEntry(job_);
  EXPECT_GE(clock_.Ticks() - start, 700u);
  auto got = pty_.Receive(200);
  for (int i = 0; i < 20 && got.size() < 15; ++i) {
    auto more = pty_.Receive(50);
    got.insert(got.end(), more.begin(), more.end());
  }
  Bytes expected(7, kEsc);
  expected.insert(expected.end(), 8, kOne);
  EXPECT_EQ(got, expected);
}

}  // namespace
}  // namespace flashpost::download
