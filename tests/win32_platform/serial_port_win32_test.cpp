// The serial port suite on COM ports of Windows, or of Wine. A driver outside this program plays
// the far ends and names the ports in variables: FLASHPOST_TEST_SILENT_PORT (never sends),
// FLASHPOST_TEST_ECHO_PORT (sends back what it receives), FLASHPOST_TEST_BACKLOG_PORT and
// FLASHPOST_TEST_SMALL_BACKLOG_PORT (2000 bytes, and 1000 of "0123456789" repeated, wait before
// the open; good for one run), FLASHPOST_TEST_LISTED_PORTS (COM names, comma-separated, that the
// registry must list in this order) and FLASHPOST_TEST_MISSING_PORT (no device behind it).

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "platform/serial_port_suite.h"

namespace flashpost {
namespace {

using suite::SerialPortSuite;

std::string FromDriver(const char* variable) {
  const char* text = std::getenv(variable);
  EXPECT_TRUE(text != nullptr && *text != '\0')
      << variable << " is not set: the test driver sets it (see the top of this file)";
  return text ? text : "";
}

class ComEnds final : public suite::FarEnds {
 public:
  std::string Silent() override { return FromDriver("FLASHPOST_TEST_SILENT_PORT"); }
  std::string Echo() override { return FromDriver("FLASHPOST_TEST_ECHO_PORT"); }
  std::string Backlog(size_t bytes) override {
    return FromDriver(bytes > 1024 ? "FLASHPOST_TEST_BACKLOG_PORT"
                                   : "FLASHPOST_TEST_SMALL_BACKLOG_PORT");
  }
  std::string Missing() override { return FromDriver("FLASHPOST_TEST_MISSING_PORT"); }
  std::string HeldText() override { return "in use by another slot or another Flashpost"; }
  bool PutsBackTheSpeed() override { return false; }  // only the time-outs go back
  // Wine's COM ports take only the speeds its host has a constant for.
  bool AnySpeed() override {
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr;
  }
};

INSTANTIATE_TEST_SUITE_P(Com, SerialPortSuite,
                         ::testing::Values(+[]() -> std::unique_ptr<suite::FarEnds> {
                           return std::make_unique<ComEnds>();
                         }));

TEST(Win32PortTest, TheHoldIgnoresCaseAndTheScanListsTheRegistrysPortsInItsOrder) {
  platform::SystemClock clock;
  auto serial = platform::MakeHostSerialSystem();
  app::PortBoard board{clock, *serial};
  const std::string port = FromDriver("FLASHPOST_TEST_SILENT_PORT");
  ASSERT_EQ(serial::OpenPort(board, port, "9600", 1), 1);
  std::string lower = port;
  std::transform(lower.begin(), lower.end(), lower.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  EXPECT_EQ(serial::OpenPort(board, lower, "9600", 3), 0) << "Windows port names ignore case";

  ui::ComboBox combo("ComboBox6", nullptr);
  ui::CheckListBox check_list("CheckListBox1", nullptr);
  combo.SetItems({"COM1", "COM2", "COM3"});  // design-time items, replaced by the scan
  serial::ScanPorts(board, {&combo, &check_list});
  const std::vector<std::string>& found = combo.Items();
  EXPECT_EQ(found, serial->ListPorts());
  EXPECT_EQ(check_list.Items(), found);
  EXPECT_EQ(board.PortsFound.load(), static_cast<int32_t>(found.size()));
  std::istringstream listed(FromDriver("FLASHPOST_TEST_LISTED_PORTS"));
  auto next = found.begin();
  for (std::string name; std::getline(listed, name, ',');) {
    auto at = std::find(next, found.end(), name);
    ASSERT_NE(at, found.end()) << name << " is missing or out of order";
    next = at + 1;
  }
  EXPECT_NE(next, found.begin()) << "no port listed";
}

}  // namespace
}  // namespace flashpost
