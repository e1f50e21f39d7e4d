// The serial access of the program (OpenPort, ReadPort, WritePort, ClosePort, ScanPorts on a
// PortBoard with the host serial system) on real COM ports of Windows, or of Wine. A driver
// outside this program plays the far end of every port and names the ports in these variables:
//
//   FLASHPOST_TEST_SILENT_PORT         a COM port whose far end is open and never sends
//   FLASHPOST_TEST_ECHO_PORT           a COM port whose far end sends back every byte it receives
//   FLASHPOST_TEST_BACKLOG_PORT        a COM port on which 2000 bytes wait before the test
//                                      opens it
//   FLASHPOST_TEST_SMALL_BACKLOG_PORT  a COM port on which 1000 bytes ("0123456789" repeated)
//                                      wait before the test opens it
//   FLASHPOST_TEST_LISTED_PORTS        comma-separated COM names the registry must list, in
//                                      this order
//   FLASHPOST_TEST_MISSING_PORT        a COM name no device is behind
//
// A test whose variable is unset fails and names it. The two backlog ports are good for one run
// of the suite: opening them takes the waiting bytes.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "board/port_board.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "serial/serial_port.h"
#include "ui/control.h"

namespace flashpost {
namespace {

using std::chrono::steady_clock;

constexpr const char* kSilentPort = "FLASHPOST_TEST_SILENT_PORT";
constexpr const char* kEchoPort = "FLASHPOST_TEST_ECHO_PORT";
constexpr const char* kBacklogPort = "FLASHPOST_TEST_BACKLOG_PORT";
constexpr const char* kSmallBacklogPort = "FLASHPOST_TEST_SMALL_BACKLOG_PORT";
constexpr const char* kListedPorts = "FLASHPOST_TEST_LISTED_PORTS";
constexpr const char* kMissingPort = "FLASHPOST_TEST_MISSING_PORT";

::testing::AssertionResult FromDriver(const char* variable, std::string& value) {
  const char* text = std::getenv(variable);
  if (text == nullptr || *text == '\0') {
    return ::testing::AssertionFailure()
           << variable << " is not set: the test driver sets it (see the top of this file)";
  }
  value = text;
  return ::testing::AssertionSuccess();
}

double MsSince(steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(steady_clock::now() - start).count();
}

// Reads until n bytes have come or a whole read time-out brought nothing.
std::string ReadUpTo(app::PortBoard& board, int slot, size_t n) {
  std::string got;
  std::vector<uint8_t> buffer(n);
  while (got.size() < n) {
    size_t r = serial::ReadPort(board, slot, buffer.data(), n - got.size());
    if (r == 0) break;
    got.append(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(r));
  }
  return got;
}

class Win32PortTest : public ::testing::Test {
 protected:
  platform::LineSettings SettingsOf(int slot) {
    auto device = board_.Port[slot].Get();
    return device ? device->Settings() : platform::LineSettings{};
  }

  platform::SystemClock clock_;
  std::unique_ptr<platform::SerialSystem> serial_ = platform::MakeHostSerialSystem();
  app::PortBoard board_{clock_, *serial_};
};

TEST_F(Win32PortTest, OpenEnablesReadsAndCloseDisablesThem) {
  std::string port;
  ASSERT_TRUE(FromDriver(kSilentPort, port));
  ASSERT_EQ(serial::OpenPort(board_, port, "9600", 0), 1);
  EXPECT_EQ(board_.ReadEnabled[0].load(), 1);
  EXPECT_GT(board_.PortHandle[0].load(), 0);

  EXPECT_EQ(serial::ClosePort(board_, 0), 1);
  EXPECT_EQ(board_.ReadEnabled[0].load(), 0);
  EXPECT_EQ(serial::ClosePort(board_, 0), 0) << "a second close must do nothing";
}

TEST_F(Win32PortTest, AHeldPortIsRefusedUntilItsHolderClosesIt) {
  std::string port;
  ASSERT_TRUE(FromDriver(kSilentPort, port));
  ASSERT_EQ(serial::OpenPort(board_, port, "9600", 1), 1);

  const std::string refusal = "Cannot open " + port + " port !";
  EXPECT_EQ(serial::OpenPort(board_, port, "9600", 2), 0);
  EXPECT_EQ(board_.StatusText[2].Get(), refusal);
  EXPECT_EQ(board_.OpenFailureText[2].Get(), "in use by another slot or another Flashpost");
  EXPECT_EQ(board_.StatusColor[2].load(), app::kRed);
  EXPECT_EQ(board_.ReadEnabled[2].load(), 0);
  EXPECT_EQ(board_.PortHandle[2].load(), -1);

  // Windows port names do not care for case, so neither may the hold.
  std::string lower = port;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  EXPECT_EQ(serial::OpenPort(board_, lower, "9600", 3), 0);

  // Another application in the same program, as a second Flashpost would be.
  auto other_serial = platform::MakeHostSerialSystem();
  app::PortBoard other{clock_, *other_serial};
  EXPECT_EQ(serial::OpenPort(other, port, "9600", 1), 0);

  ASSERT_EQ(serial::ClosePort(board_, 1), 1);
  EXPECT_EQ(serial::OpenPort(board_, port, "9600", 2), 1);
  EXPECT_EQ(board_.ReadEnabled[2].load(), 1);
}

TEST_F(Win32PortTest, AMissingPortIsReported) {
  std::string port;
  ASSERT_TRUE(FromDriver(kMissingPort, port));
  board_.ReadEnabled[4].store(1);
  EXPECT_EQ(serial::OpenPort(board_, port, "9600", 4), 0);
  EXPECT_EQ(board_.StatusText[4].Get(), "Cannot open " + port + " port !");
  EXPECT_EQ(board_.OpenFailureText[4].Get(), "no such device");
  EXPECT_EQ(board_.StatusColor[4].load(), app::kRed);
  EXPECT_EQ(board_.ReadEnabled[4].load(), 0);
  EXPECT_EQ(board_.PortHandle[4].load(), -1);
}

TEST_F(Win32PortTest, AReadOnASilentLineEndsAfterTheReadTimeOut) {
  std::string port;
  ASSERT_TRUE(FromDriver(kSilentPort, port));
  ASSERT_EQ(serial::OpenPort(board_, port, "9600", 0), 1);
  for (size_t n : {size_t{1}, size_t{64}}) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> buffer(n);
    auto start = steady_clock::now();
    EXPECT_EQ(serial::ReadPort(board_, 0, buffer.data(), n), 0u);
    double ms = MsSince(start);
    // 100 ms; wide bounds for a loaded machine, but no endless wait and no return at once.
    EXPECT_GE(ms, 60.0);
    EXPECT_LT(ms, 1000.0);
  }
}

TEST_F(Win32PortTest, TheReadTimeOutFollowsTheBoardsClock) {
  std::string port;
  ASSERT_TRUE(FromDriver(kSilentPort, port));
  {
    platform::ScaledClock fast(10);
    app::PortBoard board{fast, *serial_};
    ASSERT_EQ(serial::OpenPort(board, port, "9600", 0), 1);
    auto start = steady_clock::now();
    EXPECT_EQ(serial::ReadPortByte(board, 0), std::nullopt);
    double ms = MsSince(start);
    EXPECT_GE(ms, 5.0);
    EXPECT_LT(ms, 60.0) << "a read at the real pace takes 100 ms";
  }
  {
    // A clock that moves only when told learns of every read time-out that ran out.
    platform::ManualClock manual(0xFFFFFFC0u);
    app::PortBoard board{manual, *serial_};
    ASSERT_EQ(serial::OpenPort(board, port, "9600", 0), 1);
    uint32_t before = manual.Ticks();
    EXPECT_EQ(serial::ReadPortByte(board, 0), std::nullopt);
    EXPECT_EQ(static_cast<uint32_t>(manual.Ticks() - before), serial::kReadTimeoutMs);
  }
}

TEST_F(Win32PortTest, EveryByteValueMakesTheRoundTrip) {
  std::string port;
  ASSERT_TRUE(FromDriver(kEchoPort, port));
  ASSERT_EQ(serial::OpenPort(board_, port, "115200", 5), 1);

  // Every byte value, and then those a text mode, a flow control or a line discipline would
  // swallow or change: CR, LF, Ctrl-Z, XON, XOFF, Ctrl-C, NUL.
  std::string sent;
  for (int i = 0; i < 256; ++i) sent += static_cast<char>(i);
  sent += std::string("\r\n\x1a\x11\x13\x03\x00\r\r\n\n", 11);
  sent += "$PQRV14,8*3A\r\n";
  ASSERT_TRUE(serial::WritePort(board_, 5, sent));
  EXPECT_EQ(ReadUpTo(board_, 5, sent.size()), sent);

  // The receive loops take one byte per call.
  ASSERT_TRUE(serial::WritePort(board_, 5, "$G\r\n"));
  std::string one_by_one;
  for (int i = 0; i < 4; ++i) {
    auto byte = serial::ReadPortByte(board_, 5);
    ASSERT_TRUE(byte.has_value()) << "byte " << i;
    one_by_one += static_cast<char>(*byte);
  }
  EXPECT_EQ(one_by_one, "$G\r\n");
  EXPECT_EQ(serial::ReadPortByte(board_, 5), std::nullopt) << "nothing more was sent";
}

TEST_F(Win32PortTest, ReopeningAtAnotherSpeedChangesOnlyTheSpeed) {
  std::string port;
  ASSERT_TRUE(FromDriver(kSilentPort, port));
  for (const char* baud : {"4800", "115200", "9600"}) {
    SCOPED_TRACE(baud);
    ASSERT_EQ(serial::OpenPort(board_, port, baud, 6), 1);
    platform::LineSettings s = SettingsOf(6);
    EXPECT_EQ(s.baud, std::stoul(baud));
    EXPECT_EQ(s.data_bits, 8);
    EXPECT_EQ(s.parity, 'N');
    EXPECT_EQ(s.stop_bits, 1);
    EXPECT_FALSE(s.hardware_flow);
    EXPECT_FALSE(s.software_flow);
    ASSERT_EQ(serial::ClosePort(board_, 6), 1);
  }
}

TEST_F(Win32PortTest, ABaudTextThatIsNoSpeedFailsTheOpenAndFreesThePort) {
  std::string port;
  ASSERT_TRUE(FromDriver(kSilentPort, port));
  for (const char* baud : {"abc", "0", "96OO", ""}) {
    SCOPED_TRACE(baud);
    EXPECT_EQ(serial::OpenPort(board_, port, baud, 7), 0);
    EXPECT_EQ(board_.StatusText[7].Get(),
              "Cannot set " + std::string(baud) + " baud on " + port + " port !");
    EXPECT_EQ(board_.StatusColor[7].load(), app::kRed);
    EXPECT_EQ(board_.ReadEnabled[7].load(), 0);
  }
  EXPECT_EQ(serial::OpenPort(board_, port, "9600", 0), 1) << "a refused open must let go of it";
}

TEST_F(Win32PortTest, MoreThan1024WaitingBytesAreDroppedAtOpen) {
  std::string port;
  ASSERT_TRUE(FromDriver(kBacklogPort, port));
  ASSERT_EQ(serial::OpenPort(board_, port, "9600", 0), 1);
  EXPECT_EQ(serial::PortBytesWaiting(board_, 0), 0u);
  EXPECT_EQ(ReadUpTo(board_, 0, 16), "") << "stale bytes came through";
}

TEST_F(Win32PortTest, UpTo1024WaitingBytesStayAndComeFirst) {
  std::string port;
  ASSERT_TRUE(FromDriver(kSmallBacklogPort, port));
  ASSERT_EQ(serial::OpenPort(board_, port, "9600", 0), 1);
  EXPECT_EQ(serial::PortBytesWaiting(board_, 0), 1000u);
  std::string expected;
  for (int i = 0; i < 100; ++i) expected += "0123456789";
  EXPECT_EQ(ReadUpTo(board_, 0, 1000), expected);
  EXPECT_EQ(serial::PortBytesWaiting(board_, 0), 0u);
}

TEST_F(Win32PortTest, ADeviceClosedUnderItsReaderActsAsASilentLine) {
  std::string port;
  ASSERT_TRUE(FromDriver(kSilentPort, port));
  platform::ManualClock manual;
  app::PortBoard board{manual, *serial_};
  ASSERT_EQ(serial::OpenPort(board, port, "9600", 0), 1);
  std::shared_ptr<platform::SerialDevice> device = board.Port[0].Get();

  std::atomic<bool> closed{false};
  std::atomic<int> reads_before_close{0};
  size_t got_after_close = 99;
  uint32_t ticks_of_read_after_close = 0;
  bool wrote_after_close = true;
  std::thread reader([&] {
    uint8_t byte = 0;
    // Reads in progress while the main thread closes the port.
    while (!closed.load()) {
      device->Read(&byte, 1);
      ++reads_before_close;
    }
    uint32_t before = manual.Ticks();
    got_after_close = device->Read(&byte, 1);
    ticks_of_read_after_close = manual.Ticks() - before;
    wrote_after_close = device->Write(&byte, 1);
  });
  while (reads_before_close.load() < 3) std::this_thread::yield();
  EXPECT_EQ(serial::ClosePort(board, 0), 1);
  closed.store(true);
  reader.join();

  EXPECT_FALSE(device->IsOpen());
  EXPECT_EQ(got_after_close, 0u);
  EXPECT_EQ(ticks_of_read_after_close, serial::kReadTimeoutMs);
  EXPECT_FALSE(wrote_after_close);
  // Handle and hold are both let go, although a read was running when the close came.
  EXPECT_EQ(serial::OpenPort(board_, port, "9600", 0), 1);
}

std::vector<std::string> SplitCommas(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = std::min(list.find(',', start), list.size());
    if (end > start) out.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

TEST_F(Win32PortTest, TheScanListsTheRegistrysPortsInItsOrder) {
  std::string listed_text;
  ASSERT_TRUE(FromDriver(kListedPorts, listed_text));
  const std::vector<std::string> listed = SplitCommas(listed_text);
  ASSERT_FALSE(listed.empty());

  ui::ComboBox combo("ComboBox6", nullptr);
  ui::CheckListBox check_list("CheckListBox1", nullptr);
  combo.SetItems({"COM1", "COM2", "COM3"});  // design-time items, replaced by the scan
  serial::ScanPorts(board_, {&combo, &check_list});

  const std::vector<std::string>& found = combo.Items();
  EXPECT_EQ(found, serial_->ListPorts());
  EXPECT_EQ(check_list.Items(), found);
  EXPECT_EQ(board_.PortsFound.load(), static_cast<int32_t>(found.size()));
  auto next = found.begin();
  for (const auto& name : listed) {
    auto at = std::find(next, found.end(), name);
    ASSERT_NE(at, found.end()) << name << " is missing or out of order";
    next = at + 1;
  }
}

}  // namespace
}  // namespace flashpost
