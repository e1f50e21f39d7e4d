// The slot's serial access on recording fake ports: what no real port shows (the order of the
// closing steps, a driver that refuses every speed, slots without a port). The same calls on
// real ports: tests/platform/serial_port_suite.h.
#include "serial/serial_port.h"

#include <gtest/gtest.h>

#include "support/fake_serial.h"

namespace flashpost {
namespace {

class SerialPortFakeTest : public ::testing::Test {
 protected:
  platform::ManualClock clock_;
  testing::FakeSerialSystem fake_{{"COM3", "COM4"}};
  app::PortBoard board_{clock_, fake_};
};

TEST_F(SerialPortFakeTest, ARefusedSpeedRestoresAndClosesThePort) {
  fake_.Log("COM3")->refuse_every_baud = true;
  EXPECT_EQ(serial::OpenPort(board_, "COM3", "921600", 0), 0);
  EXPECT_EQ(board_.StatusText[0].Get(), "Cannot set 921600 baud on COM3 port !");
  EXPECT_EQ(fake_.Log("COM3")->restores.load(), 1);
  EXPECT_EQ(fake_.Log("COM3")->closes.load(), 1);
  EXPECT_EQ(board_.ReadEnabled[0].load(), 0);
}

TEST_F(SerialPortFakeTest, CloseDrainsThenRestoresAndLowersTheModemLines) {
  ASSERT_EQ(serial::OpenPort(board_, "COM4", "4800", 9), 1);
  EXPECT_EQ(fake_.Log("COM4")->baud.load(), 4800u);
  ASSERT_EQ(serial::ClosePort(board_, 9), 1);
  auto log = fake_.Log("COM4");
  EXPECT_EQ(log->rx_purges.load(), 1);
  EXPECT_EQ(log->restores_after_drain.load(), 1) << "the last bytes must leave at the old speed";
  EXPECT_EQ(log->rts_dtr_clears.load(), 1);
  EXPECT_EQ(log->closes.load(), 1);
}

TEST_F(SerialPortFakeTest, SlotsWithoutAPortReadAsASilentLineAndListsTakeEveryPort) {
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

  ui::ComboBox a("a", nullptr), b("b", nullptr);
  a.SetItems({"COM1", "COM2"});
  serial::ScanPorts(board_, {&a, &b});
  EXPECT_EQ(a.Items(), (std::vector<std::string>{"COM3", "COM4"}));
  EXPECT_EQ(b.Items(), a.Items());
  EXPECT_EQ(board_.PortsFound.load(), 2);
}

}  // namespace
}  // namespace flashpost
