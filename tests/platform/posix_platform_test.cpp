#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <list>
#include <optional>
#include <tuple>

#include "platform/file.h"
#include "platform/port_discovery.h"
#include "platform/posix/sysfs_ports.h"
#include "platform/pty.h"
#include "platform/serial_port_suite.h"

namespace flashpost::platform {
namespace {

using namespace std::chrono_literals;
using suite::MsSince;
using suite::SerialPortSuite;

// Leaves the line in a state of its own, as another program or an earlier session does; with
// `lock`, root pins the bits so that the line keeps them whatever the program asks for, as a
// driver that cannot do what it is told and says nothing. The line's termios as found after.
termios LeaveLine(const std::string& path, speed_t speed, tcflag_t cflag, tcflag_t lflag,
                  tcflag_t iflag, bool lock = false) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  termios t{};
  tcgetattr(fd, &t);
  if (speed != B0) {
    t.c_cflag = cflag | CREAD;
    t.c_lflag = lflag;
    t.c_iflag = iflag;
    cfsetspeed(&t, speed);
    EXPECT_EQ(tcsetattr(fd, TCSANOW, &t), 0);
  }
  termios pinned{};
  pinned.c_cflag = cflag & ~CSIZE;
  pinned.c_iflag = iflag;
  EXPECT_TRUE(!lock || ioctl(fd, TIOCSLCKTRMIOS, &pinned) == 0) << "pinning the line needs root";
  ::close(fd);
  return t;
}

// Each port starts as a cooked terminal, which no serial line is: 7E2, RTS/CTS, XON/XOFF, echo,
// line editing, signals and CR mapping.
class PtyEnds final : public suite::FarEnds {
 public:
  ~PtyEnds() override {
    stop_.store(true);
    for (auto& t : echoes_) t.join();
  }
  std::string Silent() override {
    PseudoTerminal& pty = ptys_.emplace_back();
    LeaveLine(pty.SlavePath(), B9600, CS7 | PARENB | CSTOPB | CRTSCTS, ICANON | ECHO | ISIG,
              ICRNL | IXON);
    return pty.SlavePath();
  }
  std::string Echo() override {
    const std::string path = Silent();
    echoes_.emplace_back([this, &pty = ptys_.back()] {
      while (!stop_.load()) {
        auto bytes = pty.ReceiveNow(20ms);
        if (!bytes.empty()) pty.Send(bytes);
      }
    });
    return path;
  }
  std::string Backlog(size_t bytes) override {
    PseudoTerminal& pty = ptys_.emplace_back();
    std::string text;
    while (text.size() < bytes) text += "0123456789";
    EXPECT_TRUE(pty.Send(text));
    std::this_thread::sleep_for(50ms);  // the bytes reach the program's side a moment later
    return pty.SlavePath();
  }
  std::string Missing() override { return "/dev/flashpost-no-such-port"; }
  std::string HeldText() override { return "in use by another slot of this program"; }

 private:
  std::list<PseudoTerminal> ptys_;
  std::atomic<bool> stop_{false};
  std::list<std::thread> echoes_;
};

INSTANTIATE_TEST_SUITE_P(Pty, SerialPortSuite,
                         ::testing::Values(+[]() -> std::unique_ptr<suite::FarEnds> {
                           return std::make_unique<PtyEnds>();
                         }));

class PtyPortTest : public ::testing::Test {
 protected:
  std::unique_ptr<SerialSystem> system_ = MakeHostSerialSystem();
  SystemClock clock_;
  app::PortBoard board_{clock_, *system_};
  PseudoTerminal pty_;
};

// Read back, the line must run as asked; then the port is put back as it was and let go. The
// port's own settings are a terminal's (echo, XOFF on a full buffer): put back as they were, the
// line would talk back to the module, so a close leaves those out.
TEST_F(PtyPortTest, ALineThatKeepsSettingsOfItsOwnDoesNotOpenAndCloseNeverLeavesItTalkingBack) {
  for (auto [cflag, iflag] : {std::pair<tcflag_t, tcflag_t>{CS8 | CSTOPB, 0}, {CS8, IXON}}) {
    PseudoTerminal pty;
    LeaveLine(pty.SlavePath(), B4800, cflag, 0, iflag, true);
    EXPECT_EQ(serial::OpenPort(board_, pty.SlavePath(), "115200", 0), 0);
    const termios after = LeaveLine(pty.SlavePath(), B0, 0, 0, 0);
    EXPECT_EQ(cfgetospeed(&after), speed_t{B4800}) << "the port was not put back";
    EXPECT_NE(system_->Open(pty.SlavePath(), clock_, 100), nullptr);
  }
  LeaveLine(pty_.SlavePath(), B4800, CS8, ICANON | ECHO | ECHONL, IXON | IXOFF);
  ASSERT_EQ(serial::OpenPort(board_, pty_.SlavePath(), "115200", 0), 1);
  ASSERT_EQ(serial::ClosePort(board_, 0), 1);
  const termios back = LeaveLine(pty_.SlavePath(), B0, 0, 0, 0);
  EXPECT_EQ(cfgetospeed(&back), speed_t{B4800});
  EXPECT_EQ(back.c_lflag & (ICANON | ECHO | ECHONL), tcflag_t{ICANON});
  EXPECT_EQ(back.c_iflag & (IXON | IXOFF), tcflag_t{IXON});
  auto dev = system_->Open(pty_.SlavePath(), clock_, 100);
  EXPECT_FALSE(dev->Configure(0)) << "B0 hangs the line up";
  ASSERT_TRUE(dev->Configure(9600));
  const uint8_t ping = 'p';  // a single byte must cross too
  ASSERT_TRUE(dev->Write(&ping, 1));
  EXPECT_EQ(pty_.Receive(1000), std::vector<uint8_t>{'p'});
}

TEST_F(PtyPortTest, AReadSitsOutTheTimeOutWhenTheFarEndIsGone) {
  auto pty = std::make_unique<PseudoTerminal>();
  auto dev = system_->Open(pty->SlavePath(), clock_, 100);
  ASSERT_NE(dev, nullptr);
  pty.reset();  // master closed: the slave now reports hang-up and EIO
  timespec cpu0{}, cpu1{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu0);
  const auto start = std::chrono::steady_clock::now();
  uint8_t buf[8];
  EXPECT_EQ(dev->Read(buf, sizeof buf), 0u);
  EXPECT_GE(MsSince(start), 90.0);
  EXPECT_LT(MsSince(start), 300.0);
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &cpu1);
  EXPECT_LT((cpu1.tv_sec - cpu0.tv_sec) * 1e3 + (cpu1.tv_nsec - cpu0.tv_nsec) / 1e6, 10.0)
      << "Read spun on the hung-up line";
  EXPECT_FALSE(dev->Write(buf, 1));
}

// Ticks at the real pace, but an OS wait would last ten seconds: a call that comes back quickly
// can only have been cut short.
class LongWaitClock final : public Clock {
 public:
  uint32_t Ticks() const override { return real_.Ticks(); }
  void Sleep(uint32_t) override { std::this_thread::sleep_for(1ms); }
  std::chrono::nanoseconds RealDuration(uint32_t) const override { return 10s; }

 private:
  SystemClock real_;
};

TEST_F(PtyPortTest, CloseEndsBlockedCallsAndNeverTouchesTheOldDescriptor) {
  LongWaitClock clock;
  auto dev = system_->Open(pty_.SlavePath(), clock, 5000);
  std::atomic<bool> stop{false};
  std::atomic<size_t> first_read{99}, read_after_close{0};
  std::atomic<int> write_result{-1};
  std::thread reader([&] {
    uint8_t buf[64];
    first_read = dev->Read(buf, sizeof buf);
    while (!stop) read_after_close += dev->Read(buf, sizeof buf);
  });
  std::thread writer([&] {  // nobody drains the master: a megabyte cannot fit in the pty
    std::vector<uint8_t> big(1 << 20, 0x55);
    write_result = dev->Write(big.data(), big.size());
  });
  std::this_thread::sleep_for(50ms);
  ASSERT_EQ(first_read, 99u) << "Read should still be waiting";
  ASSERT_EQ(write_result, -1) << "Write should still be blocked on the full buffer";
  const auto start = std::chrono::steady_clock::now();
  dev->Close();
  EXPECT_LT(MsSince(start), 1000.0);
  writer.join();
  EXPECT_EQ(write_result, 0);
  // The freed descriptor number is likely to be handed to the next open.
  PseudoTerminal next;
  auto next_dev = system_->Open(next.SlavePath(), clock, 5000);
  ASSERT_TRUE(next.Send("to-program"));
  std::this_thread::sleep_for(30ms);  // let the old device's reader loop have its chance
  std::vector<uint8_t> got(10);
  got.resize(next_dev->Read(got.data(), got.size()));
  EXPECT_EQ(std::string(got.begin(), got.end()), "to-program");
  stop = true;
  reader.join();
  EXPECT_EQ(first_read, 0u);
  EXPECT_EQ(read_after_close, 0u);
}

namespace fs = std::filesystem;

// Opens the port from another process, as another program would; `ordinary_user` first makes the
// child user 65534 with no groups (root opens a device whatever its mode). What the child was
// told, or nothing when the port opened or the child could not drop root.
std::optional<OpenFailure> OpenInChild(const std::string& path, bool ordinary_user) {
  int out[2];
  if (pipe2(out, O_CLOEXEC) != 0) return std::nullopt;
  const pid_t pid = fork();
  if (pid == 0) {
    std::string report = "E";
    if (!ordinary_user || (setgroups(0, nullptr) == 0 && setresgid(65534, 65534, 65534) == 0 &&
                           setresuid(65534, 65534, 65534) == 0)) {
      SystemClock clock;
      OpenFailure failure;
      report = MakeHostSerialSystem()->Open(path, clock, 100, failure)
                   ? "E"
                   : static_cast<char>('0' + static_cast<int>(failure.cause)) + failure.text;
    }
    (void)!::write(out[1], report.data(), report.size());
    _exit(0);
  }
  ::close(out[1]);
  std::string report;
  char buffer[512];
  for (ssize_t n; (n = ::read(out[0], buffer, sizeof buffer)) > 0;) report.append(buffer, n);
  ::close(out[0]);
  if (pid > 0) waitpid(pid, nullptr, 0);
  if (report.empty() || report[0] == 'E') return std::nullopt;
  return OpenFailure{static_cast<OpenFailureCause>(report[0] - '0'), report.substr(1)};
}

using Paths = std::vector<std::string>;

// A throw-away folder; in it stand-ins for /sys/class/tty, /dev and /dev/serial.
class Scratch : public ::testing::Test {
 protected:
  Scratch() {
    for (const char* dir : {"class-tty", "dev", "serial/by-id", "serial/by-path"})
      fs::create_directories(root_ / dir);
  }
  ~Scratch() override { fs::remove_all(root_); }
  // A tty class entry; real sysfs links "device" to the parent device, older layouts had folders.
  void AddTty(const std::string& name, bool with_device, const fs::path& link_to = {}) {
    fs::create_directories(sys / name);
    if (!link_to.empty()) {
      fs::create_directories(link_to);
      fs::create_directory_symlink(link_to, sys / name / "device");
    } else if (with_device) {
      fs::create_directories(sys / name / "device");
    }
  }
  const fs::path root_ = [] {
    // tmpfs lists a folder by when its entries were made, so the test sets what the sort gets.
    const fs::path shm = "/dev/shm";
    std::string tmpl =
        ((fs::is_directory(shm) ? shm : fs::temp_directory_path()) / "fp-sysfs-XXXXXX");
    return fs::path(mkdtemp(tmpl.data()));
  }();
  const fs::path sys = root_ / "class-tty";
  const std::string dev = (root_ / "dev").string();
};

TEST_F(Scratch, EachOpenRefusalSaysWhy) {
  const std::string dir = root_.string();
  std::ofstream(dir + "/image.bin") << "not a port";
  auto system = MakeHostSerialSystem();
  SystemClock clock;
  PseudoTerminal pty;
  auto held = system->Open(pty.SlavePath(), clock, 100);
  ASSERT_NE(held, nullptr);
  std::string name;
  std::getline(std::ifstream("/proc/self/comm"), name);
  EXPECT_EQ(OpenInChild(pty.SlavePath(), false).value_or(OpenFailure{}).text,
            "in use by another program (PID " + std::to_string(getpid()) + ", " + name + ")");

  const std::tuple<std::string, OpenFailureCause, std::string> cases[] = {
      {"/dev/null", OpenFailureCause::kNotASerialPort,
       "not a serial port (a device that is no terminal)"},
      {dir + "/image.bin", OpenFailureCause::kNotASerialPort, "not a serial port (a regular file)"},
      {dir, OpenFailureCause::kNotASerialPort, "not a serial port (a folder)"},
  };
  for (const auto& [path, cause, text] : cases) {
    OpenFailure failure{OpenFailureCause::kNone, "stale"};
    EXPECT_EQ(system->Open(path, clock, 100, failure), nullptr) << path;
    EXPECT_EQ(std::tie(failure.cause, failure.text), std::tie(cause, text)) << path;
  }
  held.reset();
  OpenFailure failure{OpenFailureCause::kOther, "stale"};
  EXPECT_NE(system->Open(pty.SlavePath(), clock, 100, failure), nullptr) << "no lock left behind";
  EXPECT_EQ(failure.cause, OpenFailureCause::kNone) << failure.text;
}

TEST(OpenFailureTest, PermissionDeniedNamesTheGroupAndTheOneStep) {
  PseudoTerminal pty;
  const std::string path = pty.SlavePath();
  std::string expected = "permission denied: " + path + " has mode 0000 (owner ";
  if (geteuid() == 0) {
    // A device open to its group, as dialout's are, and a user outside that group.
    ASSERT_EQ(chmod(path.c_str(), 0660), 0);
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    const std::string group = getgrgid(st.st_gid)->gr_name;
    expected = "permission denied: " + path + " belongs to group " + group +
               "; add yourself with  sudo usermod -aG " + group + " $USER  and log in again";
  } else {
    ASSERT_EQ(chmod(path.c_str(), 0), 0);
  }
  auto failure = OpenInChild(path, geteuid() == 0);
  if (!failure) GTEST_SKIP() << "no refusal to show: the port opened or root could not be left";
  EXPECT_EQ(failure->cause, OpenFailureCause::kPermissionDenied);
  EXPECT_EQ(failure->text.substr(0, expected.size()), expected);
}

// Two fixtures on one PC that selected the same image share it; a writer waits for both.
TEST_F(Scratch, ReadersShareAHeldFileWhileAWriterThatLocksIsKeptOut) {
  const std::string path = root_ / "image.bin";
  std::ofstream(path) << "image";
  auto first = OpenHeldFile(path), second = OpenHeldFile(path);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr) << "a second reader must share the file";
  EXPECT_EQ(first->Size(), std::optional<uint64_t>(5));
  const int writer = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  EXPECT_NE(::flock(writer, LOCK_EX | LOCK_NB), 0) << "a writer must wait for the readers";
  ::close(writer);
  first.reset();
  second.reset();
  // Started by a line-control system with its standard input closed, the program gets the file
  // as descriptor 0.
  const int input = ::dup(0);
  ::close(0);
  EXPECT_NE(OpenHeldFile(path), nullptr);
  ::dup2(input, 0);
  ::close(input);
}

TEST_F(Scratch, ListsHardwareTtysWithNumbersInNumericOrder) {
  // In order; names that begin with another's name come after it.
  const Paths names = {"rfcomm0", "ttyACM0", "ttyACM1",  "ttyACM01-gnss-receiver",
                       "ttyAMA0", "ttyGS",   "ttyGS0x",  "ttyGSA0",
                       "ttyUSB",  "ttyUSB2", "ttyUSB2a", "ttyUSB10"};
  std::ofstream(dev + "/ttyS2") << "not a tty";
  PseudoTerminal pty;
  fs::create_symlink(pty.SlavePath(), dev + "/ttyS3");
  Paths expected;
  for (const auto& name : names) expected.push_back(dev + "/" + name);
  expected.insert(expected.end() - 1, dev + "/ttyUSB7");
  for (bool reverse : {false, true}) {  // the sort gets them in this order, then in reverse
    fs::remove_all(sys);
    for (size_t i = 0; i < names.size(); ++i)
      AddTty(names[reverse ? names.size() - 1 - i : i], true);
    AddTty("ttyUSB7", true, root_ / "devices/usb1/1-7");
    for (const char* virtual_tty : {"tty0", "console", "ptmx"}) AddTty(virtual_tty, false);
    // Legacy ttyS entries count only with a UART behind them: no /dev node, a file, and a tty
    // that does not answer the serial ioctl, as an empty 8250 slot does not either.
    for (const char* empty_slot : {"ttyS1", "ttyS2", "ttyS3"}) AddTty(empty_slot, true);
    EXPECT_EQ(DiscoverSysfsPorts(sys.string(), dev), expected);
  }
  EXPECT_TRUE(DiscoverSysfsPorts((sys / "nowhere").string(), dev).empty());
}

// A USB adapter's ids and strings sit on the USB device, above the interface (ACM) or the
// driver's own port folder (ttyUSB) that the tty's "device" link leads to.
TEST_F(Scratch, DescribesEachPortByItsLinksAndItsUsbAdapter) {
  const fs::path usb = root_ / "devices/usb1", serial = root_ / "serial";
  AddTty("ttyUSB0", true, usb / "1-2/1-2:1.0/ttyUSB0");
  AddTty("ttyACM0", true, usb / "1-3/1-3:1.0");
  const char* files[] = {"idVendor", "idProduct", "manufacturer", "product", "serial"};
  const char* ftdi[] = {"0403", "6001", "FTDI", "FT232R USB UART", "A10K1234"};
  const char* ublox[] = {"1546", "01a8", nullptr, "u-blox\x01\"GNSS\"", nullptr};
  for (int i = 0; i < 5; ++i) {
    std::ofstream(usb / "1-2" / files[i]) << ftdi[i] << "\n";
    if (ublox[i]) std::ofstream(usb / "1-3" / files[i]) << ublox[i] << "\n";
  }
  for (const char* node : {"/ttyUSB0", "/ttyACM0"}) std::ofstream(dev + node);
  const std::string by_id = serial / "by-id/usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0";
  const std::string by_path = serial / "by-path/pci-0000:00:14.0-usb-0:2:1.0-port0";
  const std::string acm_id = serial / "by-id/usb-u-blox_GNSS-if00";
  fs::create_symlink("../../dev/ttyUSB0", by_id);
  fs::create_symlink("../../dev/ttyUSB0", by_path);
  fs::create_symlink("../../dev/ttyACM0", acm_id);
  const std::pair<std::string, std::string> cases[] = {
      {dev + "/ttyUSB0", dev + "/ttyUSB0 " + by_path + " " + by_id +
                             " usb=0403:6001 manufacturer=\"FTDI\" product=\"FT232R USB UART\""
                             " serial=\"A10K1234\""},
      {dev + "/ttyACM0",
       dev + "/ttyACM0 " + acm_id + " usb=1546:01a8 product=\"u-blox\\x01\\\"GNSS\\\"\""},
      {"/dev/pts/flashpost\"none", "\"/dev/pts/flashpost\\\"none\""},  // quoted: it has a quote
  };
  for (const auto& [port, line] : cases)
    EXPECT_EQ(FormatPortDescription(DescribeSysfsPort(port, sys.string(), serial.string())), line);
}

// The machine's ports come first, then FLASHPOST_PORTS without repeats or empty items; fixtures
// name adapters by udev's stable links, which the commands take for the port the scan lists.
TEST_F(Scratch, TheVariableAddsPortsAndLinksResolveToListedPorts) {
  PseudoTerminal listed, unlisted;
  const Paths machine = DiscoverSysfsPorts("/sys/class/tty", "/dev");
  std::string list = ":" + listed.SlavePath() + "::/tmp/fp-two:" + listed.SlavePath();
  if (!machine.empty()) list += ":" + machine.front();
  setenv("FLASHPOST_PORTS", list.c_str(), 1);
  Paths expected = machine;
  expected.insert(expected.end(), {listed.SlavePath(), "/tmp/fp-two"});
  auto system = MakeHostSerialSystem();
  EXPECT_EQ(system->ListPorts(), expected);

  fs::create_symlink(listed.SlavePath(), root_ / "station-3");
  fs::create_symlink("station-3", root_ / "usb-FTDI_A10K1234-if00-port0");
  fs::create_symlink(unlisted.SlavePath(), root_ / "other");
  fs::create_symlink(root_ / "gone", root_ / "unplugged");
  const std::string none = "(none)";
  const std::pair<std::string, std::string> cases[] = {
      {listed.SlavePath(), listed.SlavePath()},
      {(root_ / "usb-FTDI_A10K1234-if00-port0").string(), listed.SlavePath()},
      {(root_ / "other").string(), none},
      {unlisted.SlavePath(), none},
      {(root_ / "unplugged").string(), none}};
  for (const auto& [name, port] : cases) EXPECT_EQ(system->ResolvePort(name).value_or(none), port);
  unsetenv("FLASHPOST_PORTS");
}

}  // namespace
}  // namespace flashpost::platform
