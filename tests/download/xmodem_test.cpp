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

// Cuts a payload into packets the way the senders do and checks every byte of each.
TEST(XmodemPacketTest, EveryPayloadGoesInNumberedPaddedPacketsEndingWithEot) {
  const struct {
    std::span<const uint8_t> payload;
    size_t block;
    size_t packets;
  } cases[] = {{payloads::ImageP2(), kBlock1K, 480},
               {payloads::LoaderImage1(), kBlock128, 22},
               {payloads::LoaderImage2(), kBlock128, 28}};
  for (const auto& [payload, block, expected_packets] : cases) {
    size_t offset = 0;
    size_t packets = 0;
    while (offset < payload.size()) {
      ++packets;
      const XmodemPacket p =
          BuildXmodemPacket(payload, offset, static_cast<uint8_t>(packets), block);
      const bool last = packets == expected_packets;
      ASSERT_EQ(p.last, last) << packets;
      ASSERT_EQ(p.size, 3 + block + 1 + (last ? 1 : 0)) << packets;
      ASSERT_EQ(p.bytes[0], block == kBlock1K ? kStx : kSoh);
      ASSERT_EQ(p.bytes[1], static_cast<uint8_t>(packets));
      ASSERT_EQ(p.bytes[2], static_cast<uint8_t>(~packets));
      const size_t carried = std::min(block, payload.size() - offset);
      ASSERT_TRUE(std::equal(payload.begin() + offset, payload.begin() + offset + carried,
                             p.bytes.begin() + 3));
      unsigned sum = 0;
      for (size_t i = 0; i < block; ++i) sum += p.bytes[3 + i];
      for (size_t i = carried; i < block; ++i) ASSERT_EQ(p.bytes[3 + i], kFill) << i;
      ASSERT_EQ(p.bytes[3 + block], static_cast<uint8_t>(sum)) << "checksum of " << packets;
      if (last) {
        ASSERT_EQ(p.bytes[3 + block + 1], kEot);
      }
      offset += p.payload_taken;
    }
    EXPECT_EQ(packets, expected_packets);
  }
  // The number wraps to 0 with the complement 0xFF.
  const auto wrapped = BuildXmodemPacket(payloads::ImageP1(), 255 * 1024, 0, kBlock1K);
  EXPECT_EQ(wrapped.bytes[1], 0x00);
  EXPECT_EQ(wrapped.bytes[2], 0xFF);
  EXPECT_EQ(payloads::Crc32(std::span(reinterpret_cast<const uint8_t*>("123456789"), 9)),
            0xCBF43926u);
}

TEST(XmodemPacketTest, ProgressTruncatesAndReachesExactlyOneHundred) {
  EXPECT_EQ(TransferProgress(1, 1024, payloads::kImageSize), 0);
  EXPECT_EQ(TransferProgress(5, 1024, payloads::kImageSize), 1);
  EXPECT_EQ(TransferProgress(479, 1024, payloads::kImageSize), 99);
  EXPECT_EQ(TransferProgress(480, 1024, payloads::kImageSize), 100);
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
      {kBlock1K, {}, 0, true, 480},
      {kBlock128,
       [](int) {
         return Bytes{kNak, 0x18, 'x', kAck};
       },
       0, true, 22},
      {kBlock128, [](int n) { return n == 3 ? Bytes{kNak} : Bytes{kAck}; }, 0, false, 3},
      {kBlock1K, {}, 1500, false, 2},
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
    for (int i = 0; i < 100 && !rx.saw_eot; ++i) clock_.Sleep(250);
    EXPECT_TRUE(rx.saw_eot.load());
    EXPECT_EQ(board_.ProgressPercent[2].load(), 100);
    // Progress is written after each ACK; the receiver saw the value of the block before.
    EXPECT_EQ(progress[1], 0) << "after the first block";
    EXPECT_TRUE(std::is_sorted(progress.begin(), progress.end()));
    // The receiver is idle now: the sender only returned after its last answer.
    const auto image = payloads::ImageP1();
    ASSERT_GE(rx.data.size(), image.size());
    EXPECT_TRUE(std::equal(image.begin(), image.end(), rx.data.begin()));
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

}  // namespace
}  // namespace flashpost::download
