#include "platform/port_discovery.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/posix/sysfs_ports.h"
#include "platform/pty.h"
#include "platform/serial_device.h"

namespace flashpost::platform {
namespace {

namespace fs = std::filesystem;
using Paths = std::vector<std::string>;

// A throw-away stand-in for /sys/class/tty and /dev.
class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "fp-sysfs-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    fs::create_directories(sys());
    fs::create_directories(dev());
    fs::create_directories(root_ / "devices" / "usb1");
  }
  void TearDown() override { fs::remove_all(root_); }

  std::string sys() const { return (root_ / "class-tty").string(); }
  std::string dev() const { return (root_ / "dev").string(); }

  // A tty class entry; real sysfs links "device" to the parent device, older layouts had folders.
  void AddTty(const std::string& name, bool with_device, bool device_as_link = false) {
    fs::path entry = fs::path(sys()) / name;
    fs::create_directories(entry);
    if (!with_device) return;
    if (device_as_link) {
      fs::create_directory_symlink(root_ / "devices" / "usb1", entry / "device");
    } else {
      fs::create_directories(entry / "device");
    }
  }

  fs::path root_;
};

TEST_F(FakeSysfs, ListsHardwareTtysInNaturalOrder) {
  AddTty("ttyUSB10", true, true);
  AddTty("ttyUSB2", true, true);
  AddTty("ttyACM0", true);
  AddTty("ttyUSB1", true);
  AddTty("tty0", false);  // virtual console
  AddTty("console", false);
  AddTty("ptmx", false);

  const std::string d = dev();
  EXPECT_EQ(DiscoverSysfsPorts(sys(), d),
            (Paths{d + "/ttyACM0", d + "/ttyUSB1", d + "/ttyUSB2", d + "/ttyUSB10"}));
}

TEST_F(FakeSysfs, LegacyPortsNeedAUartBehindThem) {
  AddTty("ttyUSB0", true);
  AddTty("ttyS0", true);  // no /dev node at all
  AddTty("ttyS1", true);  // a /dev node that is not a serial port
  std::ofstream(fs::path(dev()) / "ttyS1") << "not a tty";
  // A tty that does not answer the serial ioctl, as an empty 8250 slot does not either.
  PseudoTerminal pty;
  ASSERT_TRUE(pty.ok());
  AddTty("ttyS2", true);
  fs::create_symlink(pty.SlavePath(), fs::path(dev()) / "ttyS2");
  // No UART can be faked here, so the inclusion of a live ttyS port is not covered.

  EXPECT_EQ(DiscoverSysfsPorts(sys(), dev()), (Paths{dev() + "/ttyUSB0"}));
}

// A USB adapter's ids and strings sit on the USB device, above the interface (ACM) or the
// driver's own port folder (ttyUSB) that the tty's "device" link leads to.
TEST_F(FakeSysfs, DescribesEachPortByItsLinksAndItsUsbAdapter) {
  const fs::path usb = root_ / "devices" / "usb1";
  const auto add_adapter = [&](const std::string& tty, const fs::path& usb_device,
                               const fs::path& below,
                               std::initializer_list<std::pair<const char*, const char*>> strings) {
    fs::create_directories(usb / usb_device / below);
    fs::create_directories(fs::path(sys()) / tty);
    fs::create_directory_symlink(usb / usb_device / below, fs::path(sys()) / tty / "device");
    std::ofstream(fs::path(dev()) / tty);
    for (auto [name, text] : strings) std::ofstream(usb / usb_device / name) << text << "\n";
  };
  add_adapter("ttyUSB0", "1-2", "1-2:1.0/ttyUSB0",
              {{"idVendor", "0403"},
               {"idProduct", "6001"},
               {"manufacturer", "FTDI"},
               {"product", "FT232R USB UART"},
               {"serial", "A10K1234"}});
  add_adapter("ttyACM0", "1-3", "1-3:1.0",
              {{"idVendor", "1546"}, {"idProduct", "01a8"}, {"product", "u-blox \"GNSS\""}});
  const fs::path serial = root_ / "serial";
  fs::create_directories(serial / "by-id");
  fs::create_directories(serial / "by-path");
  const std::string by_id = serial / "by-id" / "usb-FTDI_FT232R_USB_UART_A10K1234-if00-port0";
  const std::string by_path = serial / "by-path" / "pci-0000:00:14.0-usb-0:2:1.0-port0";
  fs::create_symlink("../../dev/ttyUSB0", by_id);
  fs::create_symlink("../../dev/ttyUSB0", by_path);
  fs::create_symlink("../../dev/ttyACM0", serial / "by-id" / "usb-u-blox_GNSS-if00");

  const std::string d = dev();
  const std::pair<std::string, std::string> cases[] = {
      {d + "/ttyUSB0", d + "/ttyUSB0 " + by_path + " " + by_id +
                           " usb=0403:6001 manufacturer=\"FTDI\" product=\"FT232R USB UART\""
                           " serial=\"A10K1234\""},
      {d + "/ttyACM0", d + "/ttyACM0 " + serial.string() + "/by-id/usb-u-blox_GNSS-if00" +
                           " usb=1546:01a8 product=\"u-blox \\\"GNSS\\\"\""},
      {"/dev/pts/flashpost-none", "/dev/pts/flashpost-none"},
  };
  for (const auto& [port, line] : cases) {
    EXPECT_EQ(FormatPortDescription(DescribeSysfsPort(port, sys(), serial.string())), line);
  }
}

TEST_F(FakeSysfs, MissingFolderGivesNothing) {
  EXPECT_TRUE(DiscoverSysfsPorts(sys() + "/nowhere", dev()).empty());
  EXPECT_TRUE(DiscoverSysfsPorts(sys(), dev()).empty());
}

TEST(SplitPortListTest, SkipsEmptyItems) {
  EXPECT_EQ(SplitPortList("a:b::c"), (Paths{"a", "b", "c"}));
  EXPECT_EQ(SplitPortList(":/dev/ttyX:"), (Paths{"/dev/ttyX"}));
  EXPECT_EQ(SplitPortList("/dev/pts/3"), (Paths{"/dev/pts/3"}));
  EXPECT_TRUE(SplitPortList("").empty());
  EXPECT_TRUE(SplitPortList("::").empty());
}

// Sets FLASHPOST_PORTS for one test and puts back what was there.
class PortsVariable : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* v = getenv("FLASHPOST_PORTS")) saved_ = v;
  }
  void TearDown() override {
    if (saved_) {
      setenv("FLASHPOST_PORTS", saved_->c_str(), 1);
    } else {
      unsetenv("FLASHPOST_PORTS");
    }
  }
  std::optional<std::string> saved_;
};

TEST_F(PortsVariable, HostPortsComeFirstThenTheVariableWithoutRepeats) {
  const Paths machine = DiscoverSysfsPorts("/sys/class/tty", "/dev");
  std::string list = "/tmp/fp-one::/tmp/fp-two:/tmp/fp-one";
  if (!machine.empty()) list += ":" + machine.front();  // already listed by sysfs
  setenv("FLASHPOST_PORTS", list.c_str(), 1);

  Paths expected = machine;
  expected.push_back("/tmp/fp-one");
  expected.push_back("/tmp/fp-two");
  EXPECT_EQ(DiscoverHostPorts(), expected);
  EXPECT_EQ(MakeHostSerialSystem()->ListPorts(), expected);
}

// Fixtures name their adapters by udev's stable links; the commands take those for the port the
// scan lists under the kernel's name.
TEST_F(PortsVariable, ALinkChainToAListedPortResolvesToIt) {
  PseudoTerminal listed, unlisted;
  ASSERT_TRUE(listed.ok() && unlisted.ok());
  setenv("FLASHPOST_PORTS", listed.SlavePath().c_str(), 1);
  std::string tmpl = (fs::temp_directory_path() / "fp-links-XXXXXX").string();
  ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
  const fs::path dir = tmpl;
  fs::create_directories(dir / "by-id");
  fs::create_symlink(listed.SlavePath(), dir / "station-3");
  fs::create_symlink("../station-3", dir / "by-id" / "usb-FTDI_A10K1234-if00-port0");
  fs::create_symlink(unlisted.SlavePath(), dir / "other");
  fs::create_symlink(dir / "gone", dir / "unplugged");

  auto system = MakeHostSerialSystem();
  const std::optional<std::string> none;
  const std::pair<std::string, std::optional<std::string>> cases[] = {
      {listed.SlavePath(), listed.SlavePath()},
      {(dir / "by-id" / "usb-FTDI_A10K1234-if00-port0").string(), listed.SlavePath()},
      {(dir / "other").string(), none},
      {unlisted.SlavePath(), none},
      {(dir / "unplugged").string(), none},
  };
  for (const auto& [name, port] : cases) EXPECT_EQ(system->ResolvePort(name), port) << name;
  fs::remove_all(dir);
}

TEST_F(PortsVariable, UnsetVariableAddsNothing) {
  unsetenv("FLASHPOST_PORTS");
  EXPECT_EQ(DiscoverHostPorts(), DiscoverSysfsPorts("/sys/class/tty", "/dev"));
}

}  // namespace
}  // namespace flashpost::platform
