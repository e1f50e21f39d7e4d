// The platform layer on COM ports and files of Windows, or of Wine. A driver outside this program
// plays the far ends and names the ports in variables: FLASHPOST_TEST_SILENT_PORT (never sends),
// FLASHPOST_TEST_ECHO_PORT (sends back what it receives), FLASHPOST_TEST_BACKLOG_PORT and
// FLASHPOST_TEST_SMALL_BACKLOG_PORT (2000 bytes, and 1000 of "0123456789" repeated, wait before
// the open; good for one run), FLASHPOST_TEST_LISTED_PORTS (COM names, comma-separated, that the
// registry must list in this order) and FLASHPOST_TEST_MISSING_PORT (no device behind it).

#include <windows.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/file.h"
#include "platform/serial_port_suite.h"
#include "platform/terminal.h"

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

// The scan's use of the list is every system's (the view suites' windows show it).
TEST(Win32PortTest, TheHoldIgnoresCaseAndTheRegistrysPortsAreListedInItsOrder) {
  platform::SystemClock clock;
  auto serial = platform::MakeHostSerialSystem();
  app::PortBoard board{clock, *serial};
  const std::string port = FromDriver("FLASHPOST_TEST_SILENT_PORT");
  ASSERT_EQ(serial::OpenPort(board, port, "9600", 1), 1);
  std::string lower = port;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(serial::OpenPort(board, lower, "9600", 3), 0) << "Windows port names ignore case";

  const std::vector<std::string> found = serial->ListPorts();
  std::istringstream listed(FromDriver("FLASHPOST_TEST_LISTED_PORTS"));
  auto next = found.begin();
  for (std::string name; std::getline(listed, name, ',');) {
    auto at = std::find(next, found.end(), name);
    ASSERT_NE(at, found.end()) << name << " is missing or out of order";
    next = at + 1;
  }
  EXPECT_NE(next, found.begin()) << "no port listed";
}

// The selected firmware file and the terminal check, by the Windows file system's own rules.
TEST(Win32FileTest, AHeldFileHasItsSizeSharesReadersAndKeepsWritersOut) {
  namespace fs = std::filesystem;
  using platform::OpenHeldFile;
  const fs::path dir = fs::temp_directory_path() / "flashpost-file-test";
  fs::create_directories(dir);
  const std::string path = (dir / "image.bin").string();
  for (uintmax_t size : {uintmax_t{0}, uintmax_t{1}, uintmax_t{524288}}) {
    std::ofstream(path, std::ios::binary).close();
    fs::resize_file(path, size);
    auto file = OpenHeldFile(path);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Size(), std::optional<uint64_t>(size));
  }
  for (const std::string& no_file :
       {(dir / "missing.bin").string(), dir.string(), std::string("NUL"), std::string()}) {
    EXPECT_EQ(OpenHeldFile(no_file), nullptr) << "'" << no_file << "' has no size to read";
  }
  {
    auto held = OpenHeldFile(path);
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(std::ofstream(path, std::ios::binary | std::ios::app).is_open());
    EXPECT_NE(OpenHeldFile(path), nullptr) << "a second reader may share it";
  }
  {
    std::ofstream writer(path, std::ios::binary | std::ios::app);
    ASSERT_TRUE(writer.is_open()) << "the writers' lock must go with the held file";
    EXPECT_EQ(OpenHeldFile(path), nullptr) << "a file being written does not open";
  }
  // Neither a file nor the null device (a character device, as a console is) is a terminal.
  for (const std::string& name : {path, std::string("NUL")}) {
    std::FILE* out = std::fopen(name.c_str(), "w");
    ASSERT_NE(out, nullptr);
    EXPECT_FALSE(platform::IsTerminal(out)) << name;
    std::fclose(out);
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace flashpost
