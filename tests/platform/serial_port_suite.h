// The serial access of the program (OpenPort, ReadPort, WritePort, ClosePort on a PortBoard over
// the host serial system) written once and run on every host's ports: pseudo-terminals on POSIX,
// COM ports on Windows and under Wine. Each host supplies the far ends of its ports.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "board/port_board.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "serial/serial_port.h"

namespace flashpost::suite {

class FarEnds {
 public:
  virtual ~FarEnds() = default;
  virtual std::string Silent() = 0;  // open at the far end, never sends
  virtual std::string Echo() = 0;    // sends back every byte it receives
  // Ports on which 1000 and 2000 bytes ("0123456789" repeated) wait before the test opens them.
  virtual std::string Backlog(size_t bytes) = 0;
  virtual std::string Missing() = 0;                // no device behind the name
  virtual std::string HeldText() = 0;               // the cause given for a port another slot holds
  virtual bool AnySpeed() { return true; }          // also speeds without a constant: 14400, 28800
  virtual bool PutsBackTheSpeed() { return true; }  // a close restores the speed found at open
};
using MakeFarEnds = std::unique_ptr<FarEnds> (*)();

inline double MsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

class SerialPortSuite : public ::testing::TestWithParam<MakeFarEnds> {
 protected:
  // What arrives within one read time-out, up to n bytes.
  std::string ReadUpTo(int slot, size_t n) {
    std::string got(n, '\0');
    got.resize(serial::ReadPort(board_, slot, reinterpret_cast<uint8_t*>(got.data()), n));
    return got;
  }
  // The speed the port rests at while the program does not hold it, after leaving it at `baud`.
  uint32_t Rest(const std::string& port, uint32_t baud = 0) {
    auto device = serial_->Open(port, clock_, serial::kReadTimeoutMs);
    return device && (baud == 0 || device->Configure(baud)) ? device->Settings().baud : 0;
  }

  std::unique_ptr<FarEnds> ends_ = GetParam()();
  platform::SystemClock clock_;
  std::unique_ptr<platform::SerialSystem> serial_ = platform::MakeHostSerialSystem();
  app::PortBoard board_{clock_, *serial_};
};

TEST_P(SerialPortSuite, OpensRaw8N1AtEverySpeedAndClosesOnce) {
  const std::string port = ends_->Silent();
  std::vector<uint32_t> speeds = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200};
  if (ends_->AnySpeed()) speeds.insert(speeds.end(), {14400, 28800});
  for (uint32_t baud : speeds) {
    SCOPED_TRACE(baud);
    ASSERT_EQ(serial::OpenPort(board_, port, std::to_string(baud), 6), 1);
    EXPECT_EQ(board_.ReadEnabled[6].load(), 1);
    EXPECT_GT(board_.PortHandle[6].load(), 0);
    const platform::LineSettings s = board_.Port[6].Get()->Settings();
    EXPECT_EQ(
        std::tuple(s.baud, s.data_bits, s.parity, s.stop_bits, s.hardware_flow, s.software_flow),
        std::tuple(baud, 8, 'N', 1, false, false));
    ASSERT_EQ(serial::ClosePort(board_, 6), 1);
    EXPECT_EQ(board_.ReadEnabled[6].load(), 0);
    EXPECT_EQ(serial::ClosePort(board_, 6), 0) << "a second close has nothing to close";
  }
}

TEST_P(SerialPortSuite, EveryByteValueMakesTheRoundTripOneBytePerRead) {
  const std::string port = ends_->Echo();
  ASSERT_EQ(serial::OpenPort(board_, port, "115200", 5), 1);
  // Every byte value, then those a text mode, a flow control or a line discipline would swallow
  // or change: CR, LF, Ctrl-Z, XON, XOFF, Ctrl-C, NUL, DEL, Ctrl-D.
  std::string sent;
  for (int i = 0; i < 256; ++i) sent += static_cast<char>(i);
  sent += std::string("\r\n\x1a\x11\x13\x03\x00\x7f\x04\r\r\n\n", 13);
  ASSERT_TRUE(serial::WritePort(board_, 5, sent));
  EXPECT_EQ(ReadUpTo(5, sent.size()), sent);

  ASSERT_TRUE(serial::WritePort(board_, 5, "$G"));  // the receive loops read one byte per call
  EXPECT_EQ(serial::ReadPortByte(board_, 5), uint8_t{'$'});
  EXPECT_EQ(serial::ReadPortByte(board_, 5), uint8_t{'G'});
  EXPECT_EQ(serial::ReadPortByte(board_, 5), std::nullopt) << "nothing more was sent";
}

TEST_P(SerialPortSuite, AReadOnASilentLineEndsAfterTheTimeOutOfTheBoardsClock) {
  const std::string port = ends_->Silent();
  ASSERT_EQ(serial::OpenPort(board_, port, "9600", 0), 1);
  for (size_t n : {size_t{1}, size_t{64}}) {
    std::vector<uint8_t> buffer(n);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(serial::ReadPort(board_, 0, buffer.data(), n), 0u);
    EXPECT_GE(MsSince(start), 80.0) << n;
    EXPECT_LT(MsSince(start), 1000.0) << n;
  }
  serial::ClosePort(board_, 0);
  // A clock that moves only when told learns of every read time-out that ran out.
  platform::ManualClock manual(0xFFFFFFC0u);
  app::PortBoard told{manual, *serial_};
  ASSERT_EQ(serial::OpenPort(told, port, "9600", 0), 1);
  EXPECT_EQ(serial::ReadPortByte(told, 0), std::nullopt);
  EXPECT_EQ(static_cast<uint32_t>(manual.Ticks() - 0xFFFFFFC0u), serial::kReadTimeoutMs);
}

TEST_P(SerialPortSuite, StaleInputBeyondTheLimitIsDroppedAtOpenButShortInputComesFirst) {
  const std::string stale = ends_->Backlog(2000), recent = ends_->Backlog(1000);
  ASSERT_EQ(serial::OpenPort(board_, stale, "9600", 0), 1);
  EXPECT_EQ(serial::PortBytesWaiting(board_, 0), 0u);
  EXPECT_EQ(ReadUpTo(0, 16), "") << "stale bytes came through";
  ASSERT_EQ(serial::OpenPort(board_, recent, "9600", 1), 1);
  EXPECT_EQ(serial::PortBytesWaiting(board_, 1), 1000u);
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += "0123456789";
  EXPECT_EQ(ReadUpTo(1, 1000), expected);
}

TEST_P(SerialPortSuite, AHeldPortIsRefusedUntilItsHolderLetsGo) {
  const std::string port = ends_->Silent(), other = ends_->Echo();
  ASSERT_EQ(serial::OpenPort(board_, port, "9600", 1), 1);
  EXPECT_EQ(serial::OpenPort(board_, port, "9600", 2), 0);
  EXPECT_EQ(board_.StatusText[2].Get(), "Cannot open " + port + " port !");
  EXPECT_EQ(board_.OpenFailureText[2].Get(), ends_->HeldText());
  EXPECT_EQ(board_.PortHandle[2].load(), -1);
  auto other_serial = platform::MakeHostSerialSystem();  // as a second Flashpost would be
  app::PortBoard second{clock_, *other_serial};
  EXPECT_EQ(serial::OpenPort(second, port, "9600", 1), 0);

  // A slot opened on another port lets go of the one it held.
  ASSERT_EQ(serial::OpenPort(board_, other, "9600", 1), 1);
  EXPECT_EQ(board_.OpenPortName[1].Get(), other);
  EXPECT_EQ(serial::OpenPort(board_, port, "9600", 2), 1);
  EXPECT_EQ(board_.OpenFailureText[2].Get(), "") << "the slot's old cause stays";

  EXPECT_EQ(serial::OpenPort(board_, ends_->Missing(), "9600", 4), 0);
  EXPECT_EQ(board_.OpenFailureText[4].Get(), "no such device");
}

TEST_P(SerialPortSuite, ABaudTextThatIsNoSpeedFailsTheOpenAndFreesThePort) {
  const std::string port = ends_->Silent();
  for (std::string bad : {"abc", "", "0", "-9600", "9600x"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(serial::OpenPort(board_, port, bad, 7), 0);
    EXPECT_EQ(board_.StatusText[7].Get(), "Cannot set " + bad + " baud on " + port + " port !");
    EXPECT_EQ(board_.StatusColor[7].load(), app::kRed);
    EXPECT_EQ(board_.ReadEnabled[7].load(), 0);
    EXPECT_FALSE(serial::WritePort(board_, 7, "x")) << "no port may be left open on the slot";
  }
  EXPECT_EQ(serial::OpenPort(board_, port, "9600", 0), 1) << "a refused open must let go of it";
}

TEST_P(SerialPortSuite, APortClosedUnderItsReaderActsAsASilentLine) {
  const std::string port = ends_->Silent();
  platform::ManualClock manual;
  app::PortBoard board{manual, *serial_};
  ASSERT_EQ(serial::OpenPort(board, port, "9600", 0), 1);
  std::shared_ptr<platform::SerialDevice> device = board.Port[0].Get();
  std::atomic<bool> closed{false};
  std::atomic<int> reads{0};
  size_t got_after_close = 99;
  uint32_t ticks_after_close = 0;
  bool wrote_after_close = true;
  std::thread reader([&] {
    uint8_t byte = 0;
    while (!closed.load()) reads += 1 + static_cast<int>(device->Read(&byte, 1));
    const uint32_t before = manual.Ticks();
    got_after_close = device->Read(&byte, 1);
    ticks_after_close = manual.Ticks() - before;
    wrote_after_close = device->Write(&byte, 1);
  });
  while (reads.load() < 3) std::this_thread::yield();
  EXPECT_EQ(serial::ClosePort(board, 0), 1);
  closed.store(true);
  reader.join();
  EXPECT_EQ(got_after_close, 0u);
  EXPECT_EQ(ticks_after_close, serial::kReadTimeoutMs);
  EXPECT_FALSE(wrote_after_close);
  // Handle and hold are both let go, although a read was running when the close came.
  EXPECT_EQ(serial::OpenPort(board_, port, "9600", 0), 1);
}

TEST_P(SerialPortSuite, EachCloseDropsTheInputAndPutsBackItsOwnPortsSpeed) {
  const std::string a = ends_->Silent(), b = ends_->Echo();
  ASSERT_EQ(Rest(a, 2400), 2400u);
  const uint32_t odd = ends_->AnySpeed() ? 14400 : 19200;
  ASSERT_EQ(Rest(b, odd), odd);
  const bool back = ends_->PutsBackTheSpeed();
  ASSERT_EQ(serial::OpenPort(board_, a, "115200", 1), 1);
  ASSERT_EQ(serial::OpenPort(board_, b, "57600", 2), 1);
  ASSERT_TRUE(serial::WritePort(board_, 2, "abc"));
  for (int i = 0; i < 200 && serial::PortBytesWaiting(board_, 2) < 3; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(serial::PortBytesWaiting(board_, 2), 3u);
  serial::ClosePort(board_, 2);
  EXPECT_EQ(Rest(b), back ? odd : 57600);
  EXPECT_EQ(board_.Port[1].Get()->Settings().baud, 115200u) << "closing slot 2 touched slot 1";
  serial::ClosePort(board_, 1);
  EXPECT_EQ(Rest(a), back ? 2400u : 115200u);
  ASSERT_EQ(serial::OpenPort(board_, b, "57600", 2), 1);
  EXPECT_EQ(serial::PortBytesWaiting(board_, 2), 0u) << "what came before the close stayed";
}

}  // namespace flashpost::suite
