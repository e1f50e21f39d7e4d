#include "platform/port_discovery.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/posix/sysfs_ports.h"
#include "platform/pty.h"
#include "platform/serial_device.h"

namespace flashpost::platform {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<std::string>;

// A throw-away stand-in for /sys/class/tty, /dev and /dev/serial.
class FakeSysfs : public ::testing::Test {
 protected:
  FakeSysfs() {
    for (const char* dir : {"class-tty", "dev", "serial/by-id", "serial/by-path"}) {
      fs::create_directories(root_ / dir);
    }
  }
  ~FakeSysfs() override { fs::remove_all(root_); }
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

TEST_F(FakeSysfs, ListsHardwareTtysWithNumbersInNumericOrder) {
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
TEST_F(FakeSysfs, DescribesEachPortByItsLinksAndItsUsbAdapter) {
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
  std::ofstream(dev + "/ttyUSB0");
  std::ofstream(dev + "/ttyACM0");
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
      {"/dev/pts/flashpost-none", "/dev/pts/flashpost-none"},
  };
  for (const auto& [port, line] : cases) {
    EXPECT_EQ(FormatPortDescription(DescribeSysfsPort(port, sys.string(), serial.string())), line);
  }
}

// The machine's ports come first, then FLASHPOST_PORTS without repeats or empty items; fixtures
// name adapters by udev's stable links, which the commands take for the port the scan lists.
TEST(PortListTest, TheVariableAddsPortsAndLinksResolveToListedPorts) {
  PseudoTerminal listed, unlisted;
  const Paths machine = DiscoverSysfsPorts("/sys/class/tty", "/dev");
  std::string list = ":" + listed.SlavePath() + "::/tmp/fp-two:" + listed.SlavePath();
  if (!machine.empty()) list += ":" + machine.front();
  setenv("FLASHPOST_PORTS", list.c_str(), 1);
  Paths expected = machine;
  expected.insert(expected.end(), {listed.SlavePath(), "/tmp/fp-two"});
  auto system = MakeHostSerialSystem();
  EXPECT_EQ(system->ListPorts(), expected);

  std::string tmpl = (fs::temp_directory_path() / "fp-links-XXXXXX").string();
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  const fs::path dir = tmpl;
  fs::create_symlink(listed.SlavePath(), dir / "station-3");
  fs::create_symlink("station-3", dir / "usb-FTDI_A10K1234-if00-port0");
  fs::create_symlink(unlisted.SlavePath(), dir / "other");
  fs::create_symlink(dir / "gone", dir / "unplugged");
  const std::string none = "(none)";
  const std::pair<std::string, std::string> cases[] = {
      {listed.SlavePath(), listed.SlavePath()},
      {(dir / "usb-FTDI_A10K1234-if00-port0").string(), listed.SlavePath()},
      {(dir / "other").string(), none},
      {unlisted.SlavePath(), none},
      {(dir / "unplugged").string(), none}};
  for (const auto& [name, port] : cases) EXPECT_EQ(system->ResolvePort(name).value_or(none), port);
  fs::remove_all(dir);
  unsetenv("FLASHPOST_PORTS");
}

}  // namespace
}  // namespace flashpost::platform
