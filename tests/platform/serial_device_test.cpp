#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/line_drain.h"
#include "platform/pty.h"
#include "platform/serial_device.h"

namespace flashpost::platform {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

double MsSince(steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(steady_clock::now() - start).count();
}

// Gives the slave a line state of its own through a separate descriptor, the way another program
// or an earlier session would have left the port.
void SetSlaveLine(const PseudoTerminal& pty, speed_t speed, tcflag_t cflag, tcflag_t lflag = 0,
                  tcflag_t iflag = 0) {
  int fd = ::open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  termios t{};
  ASSERT_EQ(tcgetattr(fd, &t), 0);
  t.c_cflag = cflag | CREAD;
  t.c_lflag = lflag;
  t.c_iflag = iflag;
  cfsetispeed(&t, speed);
  cfsetospeed(&t, speed);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
  ::close(fd);
}

// Bytes written on the master reach the slave's queue through a kernel work item, not at once.
bool WaitUntilWaiting(SerialDevice& dev, size_t n) {
  auto start = steady_clock::now();
  while (dev.BytesWaiting() < n) {
    if (steady_clock::now() - start > 1s) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

std::vector<uint8_t> ReadAll(SerialDevice& dev, size_t n) {
  std::vector<uint8_t> got(n);
  got.resize(dev.Read(got.data(), n));
  return got;
}

class SerialDeviceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(pty_.ok()); }

  std::unique_ptr<SerialDevice> Open(Clock& clock, uint32_t timeout_ms = 100) {
    return system_->Open(pty_.SlavePath(), clock, timeout_ms);
  }

  std::unique_ptr<SerialSystem> system_ = MakeHostSerialSystem();
  PseudoTerminal pty_;
  SystemClock clock_;
};

TEST_F(SerialDeviceTest, ConfigureTurnsACookedLineIntoRaw8N1) {
  SetSlaveLine(pty_, B9600, CS7 | PARENB | CSTOPB | CRTSCTS, ICANON | ECHO | ISIG, ICRNL | IXON);
  ASSERT_FALSE(pty_.IsRaw());
  auto dev = Open(clock_);
  ASSERT_NE(dev, nullptr);

  for (uint32_t baud : {4800u, 115200u}) {
    SCOPED_TRACE(baud);
    ASSERT_TRUE(dev->Configure(baud));
    LineSettings s = pty_.ProgramSideSettings();
    EXPECT_EQ(s.baud, baud);
    EXPECT_EQ(s.data_bits, 8);
    EXPECT_EQ(s.parity, 'N');
    EXPECT_EQ(s.stop_bits, 1);
    EXPECT_FALSE(s.hardware_flow);
    EXPECT_FALSE(s.software_flow);
    EXPECT_TRUE(pty_.IsRaw());

    LineSettings own = dev->Settings();
    EXPECT_EQ(own.baud, baud);
    EXPECT_EQ(own.data_bits, 8);
    EXPECT_EQ(own.parity, 'N');
  }

  // Bytes a cooked line would translate, swallow or act on must pass untouched both ways.
  const std::vector<uint8_t> binary = {0x0D, 0x0A, 0x11, 0x13, 0x03, 0x7F, 0x00, 0xFF, 0x04};
  ASSERT_TRUE(pty_.Send(binary));
  EXPECT_EQ(ReadAll(*dev, binary.size()), binary);
  ASSERT_TRUE(dev->Write(binary.data(), binary.size()));
  EXPECT_EQ(pty_.Receive(1000, binary.size()), binary);
}

TEST_F(SerialDeviceTest, AcceptsStandardAndOddSpeeds) {
  auto dev = Open(clock_);
  ASSERT_NE(dev, nullptr);
  for (uint32_t baud :
       {1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 28800u, 38400u, 57600u, 115200u}) {
    EXPECT_TRUE(dev->Configure(baud)) << baud;
    EXPECT_EQ(pty_.ProgramSideSettings().baud, baud);
  }
}

TEST_F(SerialDeviceTest, RefusesSpeedZero) {
  auto dev = Open(clock_);
  ASSERT_NE(dev, nullptr);
  ASSERT_TRUE(dev->Configure(9600));
  EXPECT_FALSE(dev->Configure(0));
  EXPECT_EQ(pty_.ProgramSideSettings().baud, 9600u);
  // A pty stores whatever speed it is given (it has no clock to divide), so the refusal of an
  // impossible speed by a real driver cannot be shown here.
}

TEST_F(SerialDeviceTest, ReadTimesOutOnASilentLine) {
  auto dev = Open(clock_, 100);
  ASSERT_NE(dev, nullptr);
  uint8_t buf[4];
  auto start = steady_clock::now();
  EXPECT_EQ(dev->Read(buf, sizeof buf), 0u);
  double ms = MsSince(start);
  EXPECT_GE(ms, 90.0);
  EXPECT_LT(ms, 300.0);
}

TEST_F(SerialDeviceTest, ReadTimeOutRunsOnTheInjectedClock) {
  ScaledClock fast(10);
  auto dev = Open(fast, 100);
  ASSERT_NE(dev, nullptr);
  uint8_t buf[4];
  auto start = steady_clock::now();
  EXPECT_EQ(dev->Read(buf, sizeof buf), 0u);
  double ms = MsSince(start);
  EXPECT_GE(ms, 9.0);
  EXPECT_LT(ms, 60.0);
}

TEST_F(SerialDeviceTest, ReadTakesOneBytePerCallAndCountsWhatWaits) {
  auto dev = Open(clock_);
  ASSERT_NE(dev, nullptr);
  ASSERT_TRUE(pty_.Send("abc"));
  ASSERT_TRUE(WaitUntilWaiting(*dev, 3));
  EXPECT_EQ(dev->BytesWaiting(), 3u);

  for (char expected : std::string("abc")) {
    uint8_t b = 0;
    ASSERT_EQ(dev->Read(&b, 1), 1u);
    EXPECT_EQ(b, static_cast<uint8_t>(expected));
  }
  EXPECT_EQ(dev->BytesWaiting(), 0u);
}

TEST_F(SerialDeviceTest, ReadWaitsForTheRestOfAReplyThatArrivesInPieces) {
  auto dev = Open(clock_, 1000);
  ASSERT_NE(dev, nullptr);
  ASSERT_TRUE(pty_.Send("ab"));
  std::thread later([&] {
    std::this_thread::sleep_for(30ms);
    pty_.Send("cd");
  });
  EXPECT_EQ(ReadAll(*dev, 4), (std::vector<uint8_t>{'a', 'b', 'c', 'd'}));
  later.join();
}

TEST_F(SerialDeviceTest, PurgeReceiveDropsWaitingBytes) {
  auto dev = Open(clock_, 50);
  ASSERT_NE(dev, nullptr);
  ASSERT_TRUE(pty_.Send("0123456789"));
  ASSERT_TRUE(WaitUntilWaiting(*dev, 10));
  dev->Purge(true, false);
  EXPECT_EQ(dev->BytesWaiting(), 0u);
  uint8_t buf[10];
  EXPECT_EQ(dev->Read(buf, sizeof buf), 0u);
}

TEST_F(SerialDeviceTest, ClearRtsDtrIsHarmlessWithoutModemLines) {
  auto dev = Open(clock_);
  ASSERT_NE(dev, nullptr);
  dev->ClearRtsDtr();
  const uint8_t ping[] = {'p'};
  EXPECT_TRUE(dev->Write(ping, 1));
  EXPECT_EQ(pty_.Receive(1000), (std::vector<uint8_t>{'p'}));
}

TEST_F(SerialDeviceTest, OpenIsExclusiveUntilClosed) {
  auto first = Open(clock_);
  ASSERT_NE(first, nullptr);
  // We run as one process (and often as root), which TIOCEXCL alone would let through.
  EXPECT_EQ(Open(clock_), nullptr);
  EXPECT_EQ(Open(clock_), nullptr);

  first->Close();
  EXPECT_FALSE(first->IsOpen());
  auto second = Open(clock_);
  ASSERT_NE(second, nullptr);
  second.reset();  // the destructor must release the port just as Close does
  EXPECT_NE(Open(clock_), nullptr);
}

TEST_F(SerialDeviceTest, OpenOfAMissingPortFails) {
  EXPECT_EQ(system_->Open(pty_.SlavePath() + "-missing", clock_, 100), nullptr);
  EXPECT_EQ(system_->Open("/dev/null", clock_, 100), nullptr) << "not a tty";
  // The refused opens must not have left a lock behind.
  EXPECT_NE(Open(clock_), nullptr);
}

TEST_F(SerialDeviceTest, RestoreSettingsPutsBackWhatEachPortHadBeforeOpen) {
  PseudoTerminal other;
  ASSERT_TRUE(other.ok());
  // Some kernels refuse other character sizes on a pty, so the ports differ in speed and stop bits.
  SetSlaveLine(pty_, B2400, CS8 | CSTOPB);
  SetSlaveLine(other, B19200, CS8);
  auto a = Open(clock_);
  auto b = system_->Open(other.SlavePath(), clock_, 100);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  ASSERT_TRUE(a->Configure(115200));
  ASSERT_TRUE(b->Configure(57600));

  a->RestoreSettings();
  LineSettings sa = pty_.ProgramSideSettings();
  EXPECT_EQ(sa.baud, 2400u);
  EXPECT_EQ(sa.stop_bits, 2);
  EXPECT_EQ(other.ProgramSideSettings().baud, 57600u) << "restoring one port touched the other";

  b->RestoreSettings();
  LineSettings sb = other.ProgramSideSettings();
  EXPECT_EQ(sb.baud, 19200u);
  EXPECT_EQ(sb.stop_bits, 1);
}

TEST_F(SerialDeviceTest, RestoreSettingsKeepsASpeedWithoutAConstant) {
  {
    auto earlier = Open(clock_);
    ASSERT_NE(earlier, nullptr);
    ASSERT_TRUE(earlier->Configure(14400));
  }
  auto dev = Open(clock_);
  ASSERT_NE(dev, nullptr);
  ASSERT_TRUE(dev->Configure(115200));
  dev->RestoreSettings();
  EXPECT_EQ(pty_.ProgramSideSettings().baud, 14400u);
}

TEST(SerialDeviceHangUpTest, ReadSitsOutTheTimeOutWhenTheFarEndIsGone) {
  SystemClock clock;
  auto pty = std::make_unique<PseudoTerminal>();
  ASSERT_TRUE(pty->ok());
  auto dev = MakeHostSerialSystem()->Open(pty->SlavePath(), clock, 100);
  ASSERT_NE(dev, nullptr);
  pty.reset();  // master closed: the slave now reports hang-up and EIO

  timespec cpu0{}, cpu1{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
  auto start = steady_clock::now();
  uint8_t buf[8];
  EXPECT_EQ(dev->Read(buf, sizeof buf), 0u);
  double ms = MsSince(start);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
  double cpu_ms = (cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6;

  EXPECT_GE(ms, 90.0);
  EXPECT_LT(ms, 300.0);
  EXPECT_LT(cpu_ms, 40.0) << "Read spun on the hung-up line";
  EXPECT_FALSE(dev->Write(buf, 1));
}

TEST(DrainTimeLimitTest, CoversTheBytesTimeOnTheLineUpToTwoSeconds) {
  // Bytes, baud, at least (their own time on the line, ten bits each, or the cap), at most.
  const int64_t cases[][4] = {{96, 9600, 100, 400},       {1029, 115200, 90, 400},
                              {1029, 1200, 2000, 2000},   {7, 0, 2000, 2000},
                              {INT32_MAX, 1, 2000, 2000}, {0, 9600, 0, 50}};
  for (const auto& c : cases) {
    const auto limit = DrainTimeLimit(c[0], static_cast<uint32_t>(c[1])).count();
    EXPECT_GE(limit, c[2]) << c[0] << " bytes at " << c[1];
    EXPECT_LE(limit, c[3]) << c[0] << " bytes at " << c[1];
  }
}

// Ticks at the real pace, but an OS wait would last ten seconds: a call that comes back quickly
// can only have been cut short. Sleeps are counted rather than sat out.
class LongWaitClock final : public Clock {
 public:
  uint32_t Ticks() const override { return real_.Ticks(); }
  void Sleep(uint32_t ms) override {
    last_sleep_ms.store(ms);
    sleeps.fetch_add(1);
    std::this_thread::sleep_for(1ms);
  }
  std::chrono::nanoseconds RealDuration(uint32_t) const override { return 10s; }

  std::atomic<int> sleeps{0};
  std::atomic<uint32_t> last_sleep_ms{0};

 private:
  SystemClock real_;
};

TEST(SerialDeviceCloseTest, CloseEndsBlockedCallsAndNeverTouchesTheOldDescriptor) {
  LongWaitClock clock;
  auto system = MakeHostSerialSystem();
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok());
  auto dev = system->Open(pty.SlavePath(), clock, 5000);
  ASSERT_NE(dev, nullptr);
  ASSERT_TRUE(dev->Configure(115200));

  std::atomic<bool> reader_started{false}, first_read_done{false}, stop{false};
  std::atomic<size_t> first_read{99}, read_after_close{0};
  std::thread reader([&] {
    uint8_t buf[64];
    reader_started = true;
    first_read = dev->Read(buf, sizeof buf);
    first_read_done = true;
    while (!stop) read_after_close += dev->Read(buf, sizeof buf);
  });

  // Nobody drains the master, so a megabyte cannot fit in the pty's buffers.
  std::atomic<bool> writer_started{false}, write_done{false}, write_result{true};
  std::thread writer([&] {
    std::vector<uint8_t> big(1 << 20, 0x55);
    writer_started = true;
    write_result = dev->Write(big.data(), big.size());
    write_done = true;
  });

  while (!reader_started || !writer_started) std::this_thread::yield();
  std::this_thread::sleep_for(50ms);
  ASSERT_FALSE(first_read_done) << "Read should still be waiting";
  ASSERT_FALSE(write_done) << "Write should still be blocked on the full buffer";

  auto start = steady_clock::now();
  dev->Close();
  EXPECT_LT(MsSince(start), 1000.0);
  EXPECT_FALSE(dev->IsOpen());
  writer.join();
  EXPECT_TRUE(write_done);
  EXPECT_FALSE(write_result);
  while (!first_read_done) std::this_thread::yield();
  EXPECT_EQ(first_read, 0u);

  // The freed descriptor number is likely to be handed to whichever of these opens comes first.
  PseudoTerminal next;
  ASSERT_TRUE(next.ok());
  auto next_dev = system->Open(next.SlavePath(), clock, 5000);
  ASSERT_NE(next_dev, nullptr);
  ASSERT_TRUE(next.Send("to-program"));
  const std::string reply = "to-far-end";
  ASSERT_TRUE(next_dev->Write(reinterpret_cast<const uint8_t*>(reply.data()), reply.size()));
  std::this_thread::sleep_for(30ms);  // let the old device's reader loop have its chance
  EXPECT_EQ(next.Receive(1000), std::vector<uint8_t>(reply.begin(), reply.end()));
  std::vector<uint8_t> got(10);
  got.resize(next_dev->Read(got.data(), got.size()));
  EXPECT_EQ(std::string(got.begin(), got.end()), "to-program");

  stop = true;
  reader.join();
  EXPECT_EQ(read_after_close, 0u);
  EXPECT_GT(clock.sleeps, 0) << "Read after Close should wait like a silent line";
  EXPECT_EQ(clock.last_sleep_ms, 5000u);

  uint8_t b = 0;
  EXPECT_FALSE(dev->Write(&b, 1));
  EXPECT_FALSE(dev->Configure(9600));
  EXPECT_EQ(dev->BytesWaiting(), 0u);
  dev->Close();  // a second Close is harmless
}

}  // namespace
}  // namespace flashpost::platform
