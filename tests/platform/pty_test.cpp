#include "platform/pty.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/serial_device.h"

namespace flashpost::platform {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

// The far-end calls a simulated device uses: they neither stall on a full line nor wait for the
// line to go quiet.
class PseudoTerminalNowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    dev_ = MakeHostSerialSystem()->Open(pty_.SlavePath(), clock_, 100);
    ASSERT_NE(dev_, nullptr);
    ASSERT_TRUE(dev_->Configure(9600));
  }

  PseudoTerminal pty_;
  SystemClock clock_;
  std::unique_ptr<SerialDevice> dev_;
};

TEST_F(PseudoTerminalNowTest, SendNowDropsWhatNobodyReadsInsteadOfWaiting) {
  std::vector<uint8_t> lots(256 * 1024, 'x');
  auto start = steady_clock::now();
  size_t taken = pty_.SendNow(lots.data(), lots.size());
  EXPECT_LT(steady_clock::now() - start, 500ms);
  EXPECT_GT(taken, 0u);
  EXPECT_LT(taken, lots.size());
  EXPECT_EQ(pty_.SendNow(lots.data(), 0), 0u);
}

TEST_F(PseudoTerminalNowTest, SendNowHandsOverWhatFits) {
  const uint8_t bytes[] = {'$', 0x81, 0x00, '\r', '\n'};
  ASSERT_EQ(pty_.SendNow(bytes, sizeof bytes), sizeof bytes);
  std::vector<uint8_t> got(sizeof bytes);
  got.resize(dev_->Read(got.data(), got.size()));
  EXPECT_EQ(got, std::vector<uint8_t>(bytes, bytes + sizeof bytes));
}

TEST_F(PseudoTerminalNowTest, ReceiveNowWaitsForTheFirstByte) {
  const uint8_t bytes[] = {1, 2, 3};
  auto start = steady_clock::now();
  std::thread writer([&] {
    std::this_thread::sleep_for(20ms);
    dev_->Write(bytes, sizeof bytes);
  });
  auto got = pty_.ReceiveNow(2s);
  auto took = steady_clock::now() - start;
  writer.join();
  EXPECT_EQ(got, std::vector<uint8_t>(bytes, bytes + 3));
  EXPECT_GE(took, 20ms);
  EXPECT_LT(took, 1s);
}

TEST_F(PseudoTerminalNowTest, ReceiveNowReturnsWhatWaitsWithoutAQuietPeriod) {
  const uint8_t bytes[] = {1, 2, 3};
  ASSERT_TRUE(dev_->Write(bytes, sizeof bytes));
  std::this_thread::sleep_for(20ms);  // long enough for the bytes to cross the pty
  auto start = steady_clock::now();
  auto got = pty_.ReceiveNow(2s);
  EXPECT_LT(steady_clock::now() - start, 15ms);  // Receive waits 20 ms for the line to go quiet
  EXPECT_EQ(got, std::vector<uint8_t>(bytes, bytes + 3));
}

TEST_F(PseudoTerminalNowTest, ReceiveNowWaitsAtMostItsWaitAndHonoursMax) {
  auto start = steady_clock::now();
  EXPECT_TRUE(pty_.ReceiveNow(30ms).empty());
  auto took = steady_clock::now() - start;
  EXPECT_GE(took, 29ms);
  EXPECT_LT(took, 200ms);

  start = steady_clock::now();
  EXPECT_TRUE(pty_.ReceiveNow(0ns).empty());
  EXPECT_LT(steady_clock::now() - start, 5ms);

  const uint8_t bytes[] = {1, 2, 3, 4, 5};
  ASSERT_TRUE(dev_->Write(bytes, sizeof bytes));
  auto first = pty_.ReceiveNow(1s, 2);
  EXPECT_EQ(first, (std::vector<uint8_t>{1, 2}));
  EXPECT_EQ(pty_.ReceiveNow(1s), (std::vector<uint8_t>{3, 4, 5}));
}

}  // namespace
}  // namespace flashpost::platform
