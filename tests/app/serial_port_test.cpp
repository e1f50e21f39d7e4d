#include "serial/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "board/port_board.h"
#include "platform/pty.h"
#include "support/fake_serial.h"

namespace flashpost {
namespace {

using app::PortBoard;
using platform::PseudoTerminal;
using testing::FakeSerialSystem;

// Bytes written on a pty master reach the program's side a moment later.
void WaitUntilWaiting(PortBoard& board, int slot, size_t n) {
  for (int i = 0; i < 200 && serial::PortBytesWaiting(board, slot) < n; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

class SerialPortPtyTest : public ::testing::Test {
 protected:
  platform::SystemClock clock_;
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  PortBoard board_{clock_, *host_};
  PseudoTerminal pty_;
};

TEST_F(SerialPortPtyTest, OpenConfiguresRaw8N1AndReadsOneByteAtATime) {
  ASSERT_TRUE(pty_.ok());
  ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "115200", 3), 1);
  EXPECT_EQ(board_.ReadEnabled[3].load(), 1);
  EXPECT_GT(board_.PortHandle[3].load(), 0);
  auto line = pty_.ProgramSideSettings();
  EXPECT_EQ(line.baud, 115200u);
  EXPECT_EQ(line.data_bits, 8);
  EXPECT_EQ(line.parity, 'N');
  EXPECT_EQ(line.stop_bits, 1);
  EXPECT_TRUE(pty_.IsRaw());

  ASSERT_TRUE(pty_.Send("$G"));
  WaitUntilWaiting(board_, 3, 2);
  EXPECT_EQ(serial::ReadPortByte(board_, 3), uint8_t{'$'});
  EXPECT_EQ(serial::ReadPortByte(board_, 3), uint8_t{'G'});

  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(serial::ReadPortByte(board_, 3), std::nullopt);
  auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_GE(waited, std::chrono::milliseconds(90));
  EXPECT_LT(waited, std::chrono::milliseconds(400));

  ASSERT_TRUE(serial::WritePort(board_, 3, "$PQVER*00\r\n"));
  auto sent = pty_.Receive(1000);
  EXPECT_EQ(std::string(sent.begin(), sent.end()), "$PQVER*00\r\n");
}

TEST_F(SerialPortPtyTest, StaleInputBeyondTheLimitIsDroppedAtOpenButShortInputIsKept) {
  ASSERT_TRUE(pty_.ok());
  ASSERT_TRUE(pty_.Send(std::string(1500, 'x')));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "4800", 0), 1);
  EXPECT_EQ(serial::PortBytesWaiting(board_, 0), 0u);
  serial::ClosePort(board_, 0);

  ASSERT_TRUE(pty_.Send("abc"));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "4800", 0), 1);
  WaitUntilWaiting(board_, 0, 3);
  EXPECT_EQ(serial::PortBytesWaiting(board_, 0), 3u);
}

TEST_F(SerialPortPtyTest, ASecondOpenOfAHeldPortFailsWithTheStatusText) {
  ASSERT_TRUE(pty_.ok());
  ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "4800", 1), 1);
  EXPECT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "4800", 2), 0);
  EXPECT_EQ(board_.StatusText[2].Get(), "Cannot open " + pty_.SlavePath() + " port !");
  EXPECT_EQ(board_.OpenFailureText[2].Get(), "in use by another slot of this program");
  EXPECT_EQ(board_.StatusColor[2].load(), app::kRed);
  EXPECT_EQ(board_.PortHandle[2].load(), -1);
  EXPECT_EQ(board_.ReadEnabled[2].load(), 0);

  EXPECT_EQ(serial::OpenPort(board_, "/dev/flashpost-no-such-port", "4800", 4), 0);
  EXPECT_EQ(board_.StatusText[4].Get(), "Cannot open /dev/flashpost-no-such-port port !");
  EXPECT_EQ(board_.OpenFailureText[4].Get(), "no such device");

  // Once slot 1 lets go, the port can be had again, and the slot's old cause is gone.
  EXPECT_EQ(serial::ClosePort(board_, 1), 1);
  EXPECT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "4800", 2), 1);
  EXPECT_EQ(board_.OpenFailureText[2].Get(), "");
}

TEST_F(SerialPortPtyTest, ABadBaudTextLeavesThePortClosedAndSaysSo) {
  ASSERT_TRUE(pty_.ok());
  for (std::string bad : {"abc", "", "0", "-9600", "9600x"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(serial::OpenPort(board_, pty_.SlavePath(), bad, 5), 0);
    EXPECT_EQ(board_.StatusText[5].Get(),
              "Cannot set " + bad + " baud on " + pty_.SlavePath() + " port !");
    EXPECT_EQ(board_.StatusColor[5].load(), app::kRed);
    EXPECT_EQ(board_.ReadEnabled[5].load(), 0);
    EXPECT_FALSE(serial::WritePort(board_, 5, "x")) << "no port may be left open on the slot";
  }
  // Nothing was left holding the port.
  EXPECT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "9600", 6), 1);
}

TEST_F(SerialPortPtyTest, CloseWhileAReaderIsBlockedEndsTheReadAndLaterReadsAreSilent) {
  ASSERT_TRUE(pty_.ok());
  ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "115200", 0), 1);
  std::atomic<bool> stop{false};
  std::atomic<int> reads{0};
  std::thread reader([&] {
    while (!stop) {
      serial::ReadPortByte(board_, 0);
      ++reads;
    }
  });
  while (reads < 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(serial::ClosePort(board_, 0), 1);
  EXPECT_EQ(board_.ReadEnabled[0].load(), 0);
  EXPECT_EQ(serial::ClosePort(board_, 0), 0) << "a second close has nothing to close";
  int after_close = reads;
  while (reads < after_close + 2) std::this_thread::sleep_for(std::chrono::milliseconds(5));
  stop = true;
  reader.join();
  EXPECT_FALSE(serial::WritePort(board_, 0, "x"));
}

TEST_F(SerialPortPtyTest, EachSlotPutsBackItsOwnPortsSettingsOnClose) {
  PseudoTerminal other;
  ASSERT_TRUE(pty_.ok());
  ASSERT_TRUE(other.ok());
  // Leave the ports resting at 2400 and 19200, as another program might have left them.
  for (auto [pty, baud] : {std::pair{&pty_, 2400u}, std::pair{&other, 19200u}}) {
    auto device = host_->Open(pty->SlavePath(), clock_, serial::kReadTimeoutMs);
    ASSERT_NE(device, nullptr);
    ASSERT_TRUE(device->Configure(baud));
  }
  // The ports now rest at 2400 and 19200. Open both, then close in the other order.
  ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "115200", 1), 1);
  ASSERT_EQ(serial::OpenPort(board_, other.SlavePath(), "57600", 2), 1);
  serial::ClosePort(board_, 2);
  EXPECT_EQ(other.ProgramSideSettings().baud, 19200u);
  EXPECT_EQ(pty_.ProgramSideSettings().baud, 115200u) << "closing slot 2 touched slot 1";
  serial::ClosePort(board_, 1);
  EXPECT_EQ(pty_.ProgramSideSettings().baud, 2400u);
}

// The port's own settings are a terminal's (echo, XOFF on a full buffer) and the module keeps
// talking while its port closes and after: none of its bytes may come back to it.
TEST_F(SerialPortPtyTest, CloseNeverTalksBackToTheModule) {
  const int line = ::open(pty_.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios own{};
  ASSERT_EQ(tcgetattr(line, &own), 0);
  own.c_lflag |= ICANON | ECHO | ECHONL;
  own.c_iflag |= IXON | IXOFF;
  cfsetspeed(&own, B4800);
  ASSERT_EQ(tcsetattr(line, TCSANOW, &own), 0);
  ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "115200", 0), 1);

  std::atomic<bool> closed{false};
  std::thread module([&] {  // talks on for another 50 sentences once the port is closed
    const std::string sentence = "$GPGGA,,,,,,0,00,,,M,,M,,*66\r\n";
    for (int after_close = 0; after_close < 50; after_close += closed.load() ? 1 : 0) {
      pty_.SendNow(reinterpret_cast<const uint8_t*>(sentence.data()), sentence.size());
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  WaitUntilWaiting(board_, 0, 30);
  serial::ClosePort(board_, 0);
  closed = true;
  module.join();
  EXPECT_EQ(pty_.Receive(100), std::vector<uint8_t>{}) << "the module heard its own bytes";

  termios back{};  // the port's own settings are back, but silent
  ASSERT_EQ(tcgetattr(line, &back), 0);
  ::close(line);
  EXPECT_EQ(cfgetospeed(&back), speed_t{B4800});
  EXPECT_EQ(back.c_lflag & (ICANON | ECHO | ECHONL), tcflag_t{ICANON});
  EXPECT_EQ(back.c_iflag & (IXON | IXOFF), tcflag_t{IXON});
}

class SerialPortFakeTest : public ::testing::Test {
 protected:
  platform::ManualClock clock_;
  FakeSerialSystem fake_{{"COM3", "COM4"}};
  PortBoard board_{clock_, fake_};
};

TEST_F(SerialPortFakeTest, ARefusedSpeedRestoresAndClosesThePort) {
  fake_.Log("COM3")->refuse_every_baud = true;
  EXPECT_EQ(serial::OpenPort(board_, "COM3", "921600", 0), 0);
  EXPECT_EQ(board_.StatusText[0].Get(), "Cannot set 921600 baud on COM3 port !");
  EXPECT_EQ(fake_.Log("COM3")->restores.load(), 1);
  EXPECT_EQ(fake_.Log("COM3")->closes.load(), 1);
  EXPECT_EQ(board_.ReadEnabled[0].load(), 0);
}

TEST_F(SerialPortFakeTest, CloseDropsInputRestoresAndLowersTheModemLines) {
  ASSERT_EQ(serial::OpenPort(board_, "COM4", "4800", 9), 1);
  EXPECT_EQ(fake_.Log("COM4")->baud.load(), 4800u);
  ASSERT_EQ(serial::ClosePort(board_, 9), 1);
  auto log = fake_.Log("COM4");
  EXPECT_EQ(log->rx_purges.load(), 1);
  EXPECT_EQ(log->restores_after_drain.load(), 1) << "the last bytes must leave at the old speed";
  EXPECT_EQ(log->rts_dtr_clears.load(), 1);
  EXPECT_EQ(log->closes.load(), 1);
}

TEST_F(SerialPortFakeTest, ReopeningASlotReleasesThePortItHeld) {
  ASSERT_EQ(serial::OpenPort(board_, "COM3", "4800", 0), 1);
  ASSERT_EQ(serial::OpenPort(board_, "COM4", "4800", 0), 1);
  EXPECT_EQ(fake_.Log("COM3")->closes.load(), 1) << "the first port would stay locked";
  EXPECT_EQ(board_.OpenPortName[0].Get(), "COM4");
  // And so another slot can open it.
  EXPECT_EQ(serial::OpenPort(board_, "COM3", "4800", 1), 1);
}

TEST_F(SerialPortFakeTest, SlotsWithoutAPortReadAsASilentLine) {
  uint32_t before = clock_.Ticks();
  EXPECT_EQ(serial::ReadPortByte(board_, 7), std::nullopt);
  EXPECT_EQ(clock_.Ticks() - before, serial::kReadTimeoutMs);
  // A reader that has been asked to stop does not sit the silence out.
  ui::StopSignal stop;
  stop.Request();
  before = clock_.Ticks();
  EXPECT_EQ(serial::ReadPortByte(board_, 7, &stop), std::nullopt);
  EXPECT_EQ(clock_.Ticks(), before);
  EXPECT_EQ(serial::ReadPortByte(board_, 42), std::nullopt);  // not a slot: no crash
  EXPECT_EQ(serial::OpenPort(board_, "COM3", "4800", 10), 0);
  EXPECT_EQ(serial::ClosePort(board_, -1), 0);
}

TEST(ScanPortsTest, FillsEveryListInMachineOrderAndCountsThePorts) {
  platform::ManualClock clock;
  FakeSerialSystem fake({"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/pts/7"});
  PortBoard board(clock, fake);
  ui::ComboBox a("a", nullptr), b("b", nullptr);
  a.SetItems({"COM1", "COM2"});
  serial::ScanPorts(board, {&a, &b});
  std::vector<std::string> expected{"/dev/ttyUSB0", "/dev/ttyUSB1", "/dev/pts/7"};
  EXPECT_EQ(a.Items(), expected);
  EXPECT_EQ(b.Items(), expected);
  EXPECT_EQ(board.PortsFound.load(), 3);

  FakeSerialSystem empty;
  PortBoard bare(clock, empty);
  serial::ScanPorts(bare, {&a});
  EXPECT_TRUE(a.Items().empty());
  EXPECT_EQ(bare.PortsFound.load(), 0);
}

TEST(ScanPortsTest, PortsNamedInTheEnvironmentComeLast) {
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok());
  ASSERT_EQ(setenv("FLASHPOST_PORTS", (pty.SlavePath() + ":/dev/flashpost-extra").c_str(), 1), 0);
  platform::SystemClock clock;
  auto host = platform::MakeHostSerialSystem();
  PortBoard board(clock, *host);
  ui::ComboBox list("ComboBox6", nullptr);
  serial::ScanPorts(board, {&list});
  unsetenv("FLASHPOST_PORTS");
  ASSERT_GE(list.Items().size(), 2u);
  auto n = list.Items().size();
  EXPECT_EQ(list.Items()[n - 2], pty.SlavePath());
  EXPECT_EQ(list.Items()[n - 1], "/dev/flashpost-extra");
  EXPECT_EQ(board.PortsFound.load(), static_cast<int>(n));
}

}  // namespace
}  // namespace flashpost
