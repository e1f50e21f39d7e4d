// The Windows build as Windows runs it: flashpost.exe and the Windows test programs under Wine,
// their COM ports mapped to pseudo-terminals played by the simulated module, the simulated
// reference receiver and simple far ends of this program. One Wine prefix serves the whole run.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/pty.h"
#include "sim/reference_receiver.h"
#include "sim/simulated_module.h"
#include "wine/wine_station.h"
#include "wine/x_display.h"

namespace flashpost {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testing::WindowsRun;
using testing::WineStation;

constexpr int kFirstPort = 11;  // two-digit names open only through the "\\.\" device path
constexpr int kPortCount = 8;
constexpr int kMissingPort = kFirstPort + kPortCount;  // not mapped: no device behind it

std::string Com(int n) { return "COM" + std::to_string(n); }

std::string ListedPorts() {
  std::string list;
  for (int n = kFirstPort; n < kFirstPort + kPortCount; ++n)
    list += (list.empty() ? "" : ",") + Com(n);
  return list;
}

// The prefix and the folder of the Windows build, shared by every test of the run.
class WineRun final : public ::testing::Environment {
 public:
  static WineRun* instance;

  void SetUp() override {
    const char* build = std::getenv("FLASHPOST_WIN64_DIR");
    if (build == nullptr || *build == '\0') {
      problem_ = "FLASHPOST_WIN64_DIR must name the Windows build folder (tools/wine-test sets it)";
      return;
    }
    build_ = fs::absolute(build);
    if (!fs::exists(Flashpost())) {
      problem_ = Flashpost().string() + " is missing: build the Windows tree first";
      return;
    }
    if (!parking_.ok()) {
      problem_ = "cannot make a pseudo-terminal";
      return;
    }
    const char* work = std::getenv("FLASHPOST_WINE_WORK_DIR");
    const fs::path work_dir = work != nullptr && *work != '\0'
                                  ? fs::path(work)
                                  : fs::temp_directory_path() / "flashpost-wine";
    // Windows need a display; the session's desktop takes it from the first program, so every
    // program of the run gets it.
    display_ = std::make_unique<testing::XDisplay>();
    if (!display_->ok()) {
      problem_ = display_->Problem();
      return;
    }
    station_ = std::make_unique<WineStation>(work_dir, kFirstPort, kPortCount, parking_.SlavePath(),
                                             std::vector<std::string>{display_->DisplayVariable()});
    if (!station_->ok()) problem_ = station_->Problem();
  }
  void TearDown() override {
    station_.reset();
    display_.reset();
  }

  const std::string& Problem() const { return problem_; }
  WineStation& Station() { return *station_; }
  fs::path Flashpost() const { return build_ / "src" / "cli" / "flashpost.exe"; }
  const fs::path& Build() const { return build_; }
  // Puts a mapped port back on the parking pty, so the next test finds no stale device.
  void Park(int n) { station_->MapPort(n, parking_.SlavePath()); }

 private:
  std::string problem_;
  fs::path build_;
  platform::PseudoTerminal parking_;
  std::unique_ptr<testing::XDisplay> display_;
  std::unique_ptr<WineStation> station_;
};
WineRun* WineRun::instance = nullptr;

class WineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    run_ = WineRun::instance;
    ASSERT_TRUE(run_->Problem().empty()) << run_->Problem();
  }
  void TearDown() override {
    for (int n : mapped_) run_->Park(n);
  }

  WineStation& Station() { return run_->Station(); }
  void Map(int n, const std::string& path) {
    ASSERT_TRUE(Station().MapPort(n, path)) << Com(n);
    mapped_.push_back(n);
  }
  WindowsRun Flashpost(const std::vector<std::string>& args, milliseconds timeout) {
    return Station().Run(run_->Flashpost(), args, timeout);
  }

  WineRun* run_ = nullptr;
  std::vector<int> mapped_;
  platform::SystemClock clock_;  // the Windows programs keep real time, so the devices do too
};

// A far end that sends back every byte it receives, on its own thread.
class EchoEnd {
 public:
  EchoEnd() {
    thread_ = std::thread([this] {
      while (!stop_.load()) {
        auto bytes = pty_.ReceiveNow(milliseconds(20));
        if (!bytes.empty()) pty_.SendNow(bytes.data(), bytes.size());
      }
    });
  }
  ~EchoEnd() {
    stop_.store(true);
    thread_.join();
  }
  const std::string& Path() const { return pty_.SlavePath(); }

 private:
  platform::PseudoTerminal pty_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

std::string Repeated(const std::string& text, size_t length) {
  std::string out;
  while (out.size() < length) out += text;
  out.resize(length);
  return out;
}

TEST_F(WineTest, SerialPortTestsPassAsAWindowsProgram) {
  const fs::path exe = run_->Build() / "tests" / "win32_platform" / "win32_platform_tests.exe";
  ASSERT_TRUE(fs::exists(exe)) << exe;
  platform::PseudoTerminal silent, backlog, small_backlog;
  EchoEnd echo;
  ASSERT_TRUE(silent.ok() && backlog.ok() && small_backlog.ok());
  // Waiting before the program opens its port: more than the 1024 bytes the open drops, and
  // fewer, which must stay and be read first.
  ASSERT_TRUE(backlog.Send(Repeated("X", 2000)));
  ASSERT_TRUE(small_backlog.Send(Repeated("0123456789", 1000)));
  Map(kFirstPort, silent.SlavePath());
  Map(kFirstPort + 1, echo.Path());
  Map(kFirstPort + 2, backlog.SlavePath());
  Map(kFirstPort + 3, small_backlog.SlavePath());

  const WindowsRun run = Station().Run(exe, {}, milliseconds(300000),
                                       {"FLASHPOST_TEST_SILENT_PORT=" + Com(kFirstPort),
                                        "FLASHPOST_TEST_ECHO_PORT=" + Com(kFirstPort + 1),
                                        "FLASHPOST_TEST_BACKLOG_PORT=" + Com(kFirstPort + 2),
                                        "FLASHPOST_TEST_SMALL_BACKLOG_PORT=" + Com(kFirstPort + 3),
                                        "FLASHPOST_TEST_LISTED_PORTS=" + ListedPorts(),
                                        "FLASHPOST_TEST_MISSING_PORT=" + Com(kMissingPort)});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("[  PASSED  ]"), std::string::npos) << run.output;
}

// The tests of the logic that needs no serial port, built for Windows: the thread library, the
// C runtime and the 32-bit long of Windows under them.
TEST_F(WineTest, LogicTestsPassAsWindowsPrograms) {
  std::vector<fs::path> programs;
  for (const auto& entry : fs::recursive_directory_iterator(run_->Build() / "tests")) {
    const std::string name = entry.path().filename().string();
    // The probes in tests/wine are tools of the tests below, not test programs.
    if (entry.path().extension() != ".exe" || entry.path().parent_path().filename() == "wine" ||
        name == "win32_platform_tests.exe" || name == "win32_view_tests.exe" ||
        name.rfind("gtest", 0) == 0 || name.rfind("gmock", 0) == 0) {
      continue;
    }
    programs.push_back(entry.path());
  }
  // ui, protocol, framing, terminal, download, calib, cno, app and the platform's clock tests.
  ASSERT_GE(programs.size(), 9u) << "the Windows build has too few test programs";
  for (const fs::path& exe : programs) {
    const WindowsRun run = Station().Run(exe, {}, milliseconds(600000));
    EXPECT_EQ(run.status, 0) << exe << "\n" << run.output;
    EXPECT_NE(run.output.find("[  PASSED  ]"), std::string::npos) << exe << "\n" << run.output;
  }
}

// A factory PC gets flashpost.exe alone: every DLL it loads must come with Windows itself.
TEST_F(WineTest, FlashpostNeedsOnlyTheSystemsOwnDlls) {
  const std::set<std::string> system_dlls = {"ADVAPI32.DLL", "COMCTL32.DLL", "COMDLG32.DLL",
                                             "GDI32.DLL",    "KERNEL32.DLL", "MSVCRT.DLL",
                                             "USER32.DLL"};
  std::string error;
  auto dump = platform::StartChildProcess(
      {"/usr/bin/x86_64-w64-mingw32-objdump", "-p", run_->Flashpost().string()}, {}, error);
  ASSERT_NE(dump, nullptr) << error;
  ASSERT_EQ(dump->Wait(milliseconds(60000)), 0) << dump->Output();
  const std::string table = dump->Output();
  std::vector<std::string> imported;
  const std::string marker = "DLL Name: ";
  for (size_t at = table.find(marker); at != std::string::npos; at = table.find(marker, at + 1)) {
    std::string name = table.substr(at + marker.size(), table.find('\n', at) - at - marker.size());
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    imported.push_back(name);
  }
  EXPECT_FALSE(imported.empty()) << table.substr(0, 2000);
  for (const std::string& dll : imported) {
    EXPECT_TRUE(system_dlls.count(dll)) << dll << " does not come with Windows";
  }
}

// What Explorer shows in flashpost.exe's properties, read back through the Windows version API,
// and the manifest that Windows reads when it starts the program.
TEST_F(WineTest, FlashpostCarriesItsVersionIconAndManifest) {
  const fs::path probe = run_->Build() / "tests" / "wine" / "version_probe.exe";
  ASSERT_TRUE(fs::exists(probe)) << probe;
  const WindowsRun run =
      Station().Run(probe, {WineStation::WindowsPath(run_->Flashpost())}, milliseconds(60000));
  ASSERT_EQ(run.status, 0) << run.output;
  // The version the project is built as, in the fixed part (four numbers) and in the strings.
  const std::string version = FLASHPOST_VERSION;
  const std::string output = "\n" + run.output;
  for (const std::string& line :
       {"fixed file version=" + version + ".0", "fixed product version=" + version + ".0",
        "FileVersion=" + version, "ProductVersion=" + version, std::string("icon=1")}) {
    EXPECT_NE(output.find("\n" + line + "\n"), std::string::npos) << line << "\n" << run.output;
  }
  // Themed controls come with version 6 of the common controls; PerMonitorV2 keeps Windows from
  // stretching the window's bitmap on a scaled monitor.
  EXPECT_NE(run.output.find(R"(name="Microsoft.Windows.Common-Controls" version="6.0.0.0")"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find(">PerMonitorV2"), std::string::npos) << run.output;
}

TEST_F(WineTest, UpdateCommandBringsAModuleThroughAComPortToSuccess) {
  sim::SimulatedModule module({}, clock_);
  ASSERT_TRUE(module.ok());
  module.Start();
  const int port = kFirstPort + 4;
  Map(port, module.PortPath());

  const WindowsRun run =
      Flashpost({"update", "--port", Com(port), "--baud", "9600"}, milliseconds(240000));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find(" FW(AP) update OK!(OK)"), std::string::npos) << run.output;
  EXPECT_EQ(module.ImagesReceived(), 1);
  EXPECT_TRUE(module.BadPackets().empty());
  EXPECT_EQ(module.UpdateCommands(), 1);
}

TEST_F(WineTest, APortWithoutADeviceFailsWithTheStatusText) {
  // Not in the registry's list: refused before anything opens, with what Windows says of it.
  const WindowsRun run = Flashpost({"update", "--port", Com(kMissingPort)}, milliseconds(60000));
  EXPECT_EQ(run.status, 2) << run.output;
  EXPECT_NE(run.output.find("'" + Com(kMissingPort) + "' is not among the ports found"),
            std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("no such device"), std::string::npos) << run.output;
}

TEST_F(WineTest, APortHeldByAnotherProgramIsRefused) {
  sim::SimulatedModule module({}, clock_);
  ASSERT_TRUE(module.ok());
  module.Start();
  const int port = kFirstPort + 5;
  Map(port, module.PortPath());

  auto holder = Station().Start(
      run_->Flashpost(), {"terminal", "--port", Com(port), "--baud", "9600", "--seconds", "30"});
  ASSERT_NE(holder, nullptr);
  // The holder has the port once the module's sentences reach its output.
  const uint32_t start = clock_.Ticks();
  while (holder->Output().find("$G") == std::string::npos &&
         !platform::Elapsed(clock_.Ticks(), start, 30000)) {
    clock_.Sleep(100);
  }
  ASSERT_NE(holder->Output().find("$G"), std::string::npos) << holder->Output();

  const WindowsRun run =
      Flashpost({"update", "--port", Com(port), "--baud", "9600"}, milliseconds(60000));
  EXPECT_EQ(run.status, 3) << "the station could not do its part\n" << run.output;
  EXPECT_NE(run.output.find("Cannot open " + Com(port) + " port !"), std::string::npos)
      << run.output;
  EXPECT_NE(run.output.find("in use"), std::string::npos) << run.output;
  EXPECT_EQ(module.UpdateCommands(), 0);
  holder->Kill();
}

TEST_F(WineTest, PortsCommandListsTheRegistrysPortsInItsOrder) {
  const WindowsRun run = Flashpost({"ports"}, milliseconds(60000));
  ASSERT_EQ(run.status, 0) << run.output;
  // Each line starts with the port's name; Device Manager's name of the port may follow it.
  size_t at = 0;
  for (int n = kFirstPort; n < kFirstPort + kPortCount; ++n) {
    size_t found = run.output.find(Com(n), at);
    while (found != std::string::npos &&
           ((found > 0 && run.output[found - 1] != '\n') ||
            std::string("\r\n ").find(run.output[found + Com(n).size()]) == std::string::npos)) {
      found = run.output.find(Com(n), found + 1);
    }
    ASSERT_NE(found, std::string::npos) << Com(n) << " missing or out of order in\n" << run.output;
    at = found + 1;
  }
  EXPECT_EQ(run.output.find(Com(kMissingPort)), std::string::npos) << run.output;
}

TEST_F(WineTest, MultiPortDownloadUpdatesTwoModulesAgainstTheReference) {
  sim::SimulatedReference reference(sim::ReferenceOptions{}, clock_);
  sim::ModuleOptions fast;
  fast.baud = 115200;
  sim::SimulatedModule first(fast, clock_), second(fast, clock_);
  ASSERT_TRUE(reference.ok() && first.ok() && second.ok());
  reference.Start();
  first.Start();
  second.Start();
  Map(kFirstPort + 6, reference.PortPath());
  Map(kFirstPort, first.PortPath());
  Map(kFirstPort + 1, second.PortPath());
  // The page only sizes the chosen file, through the Windows file API.
  const fs::path file = fs::temp_directory_path() / "flashpost-wine-fwap.bin";
  std::ofstream(file, std::ios::binary).close();
  fs::resize_file(file, 481280);

  const WindowsRun run = Flashpost({"mcd", "--reference", Com(kFirstPort + 6), "--port",
                                    Com(kFirstPort), "--port", Com(kFirstPort + 1), "--job", "fwap",
                                    "--file", WineStation::WindowsPath(file), "--timeout-s", "300"},
                                   milliseconds(360000));
  fs::remove(file);
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_EQ(first.ImagesReceived(), 1) << run.output;
  EXPECT_EQ(second.ImagesReceived(), 1) << run.output;
}

// Where the pictures of the windows go: FLASHPOST_SCREENSHOT_DIR, else a temporary folder.
fs::path ScreenshotDir() {
  const char* dir = std::getenv("FLASHPOST_SCREENSHOT_DIR");
  fs::path path = dir != nullptr && *dir != '\0' ? fs::path(dir)
                                                 : fs::temp_directory_path() / "flashpost-shots";
  fs::create_directories(path);
  return fs::absolute(path);
}

TEST_F(WineTest, WindowTestsPassAsAWindowsProgram) {
  const fs::path exe = run_->Build() / "tests" / "win32_view" / "win32_view_tests.exe";
  ASSERT_TRUE(fs::exists(exe)) << exe;
  const WindowsRun run =
      Station().Run(exe, {}, milliseconds(300000),
                    {"FLASHPOST_SCREENSHOT_DIR=" + WineStation::WindowsPath(ScreenshotDir())});
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find("[  PASSED  ]"), std::string::npos) << run.output;
}

TEST_F(WineTest, FlashpostShowsItsWindowAndEndsWhenItIsClosed) {
  const fs::path probe = run_->Build() / "tests" / "wine" / "window_probe.exe";
  ASSERT_TRUE(fs::exists(probe)) << probe;
  auto program = Station().Start(run_->Flashpost(), {});
  ASSERT_NE(program, nullptr);

  const fs::path picture = ScreenshotDir() / "flashpost-window.bmp";
  fs::remove(picture);
  const WindowsRun look = Station().Run(
      probe, {"60", Com(kFirstPort), WineStation::WindowsPath(picture)}, milliseconds(90000));
  EXPECT_EQ(look.status, 0) << look.output << "\nflashpost.exe:\n" << program->Output();
  EXPECT_TRUE(fs::exists(picture) && fs::file_size(picture) > 305 * 165 * 3) << picture;

  // Closing the window stops every slot, waits its second and ends the program.
  const auto status = program->Wait(milliseconds(30000));
  EXPECT_EQ(status, 0) << program->Output();
}

}  // namespace
}  // namespace flashpost

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  flashpost::WineRun::instance = new flashpost::WineRun;
  ::testing::AddGlobalTestEnvironment(flashpost::WineRun::instance);  // gtest owns it
  return RUN_ALL_TESTS();
}
