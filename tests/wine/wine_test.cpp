// The Windows build as Windows runs it: every Windows test program and flashpost.exe under Wine,
// on a virtual display, their COM ports mapped to pseudo-terminals played by this program and
// the simulated module. One Wine prefix serves the whole run.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/child_process.h"
#include "platform/clock.h"
#include "platform/pty.h"
#include "sim/simulated_module.h"

namespace flashpost {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

// Debian's wine64 package; there is no `wine` front script without the 32-bit half.
constexpr const char* kWine = "/usr/lib/wine/wine64";
constexpr const char* kWineServer = "/usr/lib/wine/wineserver";
constexpr int kFirstPort = 11;  // two-digit names open only through the "\\.\" device path
constexpr int kPortCount = 6;

std::string Com(int n) { return "COM" + std::to_string(n); }

struct WindowsRun {
  std::optional<int> status;  // nothing: it did not end in time and was killed
  std::string output;
};

// The display, the prefix and the Windows build, shared by every test of the run. COMn opens
// whatever the link ports/comn points at when it is opened, so a test re-points a port at a
// pseudo-terminal of its own. The ports are in the registry's list because they are imported
// before the persistent wineserver starts.
class WineRun {
 public:
  WineRun() {
    const char* build = std::getenv("FLASHPOST_WIN64_DIR");
    const char* work = std::getenv("FLASHPOST_WINE_WORK_DIR");
    if (build == nullptr || *build == '\0') {
      problem_ = "FLASHPOST_WIN64_DIR must name the Windows build folder (tools/wine-test sets it)";
      return;
    }
    build_ = fs::absolute(build);
    work_ = work != nullptr && *work != '\0' ? fs::path(work)
                                             : fs::temp_directory_path() / "flashpost-wine";
    if (!fs::exists(Flashpost()) || !fs::exists(kWine) || !parking_.ok()) {
      problem_ = Flashpost().string() + ", " + kWine + " or a pseudo-terminal is missing";
      return;
    }
    if (StartDisplay() && MakePrefix())
      server_ = Start({kWineServer, "-f", "-p"});  // programs start in a fraction of a second
  }
  ~WineRun() {  // the programs it started go with it
    if (auto stop = server_ ? Start({kWineServer, "-k"}) : nullptr) stop->Wait(milliseconds(10000));
  }

  const std::string& Problem() const { return problem_; }
  const fs::path& Build() const { return build_; }
  fs::path Flashpost() const { return build_ / "src" / "cli" / "flashpost.exe"; }

  // Points COMn at a device path, or back at the parking pty.
  bool MapPort(int n, const std::string& device = "") {
    const fs::path link = work_ / "ports" / ("com" + std::to_string(n));
    const fs::path fresh = link.string() + ".new";
    std::error_code ec;
    fs::remove(fresh, ec);
    fs::create_symlink(device.empty() ? parking_.SlavePath() : device, fresh, ec);
    if (!ec) fs::rename(fresh, link, ec);  // swapped in one step
    return !ec;
  }

  WindowsRun Run(const fs::path& exe, const std::vector<std::string>& args, milliseconds timeout,
                 const std::vector<std::string>& env = {}) {
    std::vector<std::string> argv = {kWine, exe.string()};
    argv.insert(argv.end(), args.begin(), args.end());
    auto program = Start(argv, env);
    if (!program) return {std::nullopt, problem_};
    const std::optional<int> status = program->Wait(timeout);
    if (!status) program->Kill();
    return {status, program->Output()};
  }

 private:
  std::unique_ptr<platform::ChildProcess> Start(const std::vector<std::string>& argv,
                                                std::vector<std::string> env = {}) {
    env.insert(env.end(), {"WINEPREFIX=" + (work_ / "prefix").string(), "WINEDEBUG=-all",
                           display_variable_, "WINEDLLOVERRIDES=winemenubuilder.exe=d"});
    std::string error;
    auto child = platform::StartChildProcess(argv, env, error);
    if (!child) problem_ = error;
    return child;
  }

  bool Tool(const std::vector<std::string>& argv, const std::string& what) {
    auto tool = Start(argv);
    const bool ok = tool && tool->Wait(milliseconds(180000)).value_or(-1) == 0;
    if (!ok) problem_ = what + " failed:\n" + (tool ? tool->Output() : problem_);
    return ok;
  }

  // Windows need a display (Xvfb on the first free number from 90); the session's desktop
  // takes it from the first program, so every program of the run gets it.
  bool StartDisplay() {
    int n = 90;
    while (n < 100 && (fs::exists("/tmp/.X" + std::to_string(n) + "-lock") ||
                       fs::exists("/tmp/.X11-unix/X" + std::to_string(n))))
      ++n;
    display_variable_ = "DISPLAY=:" + std::to_string(n);
    std::string error;
    display_ = platform::StartChildProcess({"/usr/bin/Xvfb", ":" + std::to_string(n), "-screen",
                                            "0", "1280x1024x24", "-nolisten", "tcp"},
                                           {}, error);
    for (int waited = 0; display_ && waited < 20000; waited += 50) {
      if (fs::exists("/tmp/.X11-unix/X" + std::to_string(n))) return true;
      if (display_->Wait(milliseconds(50))) break;
    }
    problem_ = "Xvfb did not start: " + error + (display_ ? display_->Output() : "");
    return false;
  }

  bool MakePrefix() {
    std::error_code ec;
    fs::remove_all(work_, ec);
    const fs::path dosdevices = work_ / "prefix" / "dosdevices";
    fs::create_directories(dosdevices, ec);
    fs::create_directories(work_ / "prefix" / "drive_c", ec);
    fs::create_directories(work_ / "ports", ec);
    // With dosdevices made by hand, Wine leaves the drive letters to us.
    fs::create_directory_symlink("../drive_c", dosdevices / "c:", ec);
    fs::create_directory_symlink("/", dosdevices / "z:", ec);
    std::ofstream reg(work_ / "prefix" / "drive_c" / "ports.reg");
    reg << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n";
    for (int n = kFirstPort; n < kFirstPort + kPortCount; ++n) {
      const fs::path link = work_ / "ports" / ("com" + std::to_string(n));
      fs::create_symlink(parking_.SlavePath(), link, ec);
      fs::create_symlink(link, dosdevices / ("com" + std::to_string(n)), ec);
      reg << "\"" << Com(n) << "\"=\"" << link.string() << "\"\r\n";
    }
    reg.close();
    if (ec) problem_ = "cannot make the prefix under " + work_.string() + ": " + ec.message();
    // The server writes the registry out when it ends, a few seconds after its last program.
    return !ec && Tool({kWine, "wineboot", "-i"}, "booting the Wine prefix") &&
           Tool({kWine, "reg", "import", "C:\\ports.reg"}, "importing ports") &&
           Tool({kWineServer, "-w"}, "waiting for Wine to settle");
  }

  std::string problem_, display_variable_;
  fs::path build_, work_;
  platform::PseudoTerminal parking_;
  std::unique_ptr<platform::ChildProcess> display_, server_;
};

class WineTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { shared_ = std::make_unique<WineRun>(); }
  static void TearDownTestSuite() { shared_.reset(); }
  void SetUp() override { ASSERT_TRUE(run_.Problem().empty()) << run_.Problem(); }
  void TearDown() override {
    for (int n = kFirstPort; n < kFirstPort + kPortCount; ++n) run_.MapPort(n);
  }
  static inline std::unique_ptr<WineRun> shared_;
  WineRun& run_ = *shared_;
};

// Every test program of the Windows build, with the far ends its serial port tests ask for:
// a silent port, an echoing one, and ports with input waiting before the open, more than the
// 1024 bytes the open drops and fewer, which must stay and be read first.
TEST_F(WineTest, EveryWindowsTestProgramPasses) {
  std::vector<fs::path> programs;
  for (const auto& entry : fs::recursive_directory_iterator(run_.Build() / "tests"))
    if (entry.path().string().ends_with("_tests.exe")) programs.push_back(entry.path());
  for (const char* needed : {"win32_view_tests.exe", "win32_platform_tests.exe"})
    ASSERT_TRUE(std::ranges::any_of(programs, [&](auto& exe) { return exe.filename() == needed; }))
        << needed << " is missing from the Windows build";
  for (const fs::path& exe : programs) {
    platform::PseudoTerminal silent, echo, backlog, small_backlog;
    ASSERT_TRUE(silent.ok() && echo.ok() && backlog.ok() && small_backlog.ok());
    std::jthread echoing([&echo](std::stop_token stop) {
      while (!stop.stop_requested()) {
        auto bytes = echo.ReceiveNow(milliseconds(20));
        if (!bytes.empty()) echo.SendNow(bytes.data(), bytes.size());
      }
    });
    ASSERT_TRUE(backlog.Send(std::string(2000, 'X')));
    std::string digits;
    while (digits.size() < 1000) digits += "0123456789";
    ASSERT_TRUE(small_backlog.Send(digits));
    std::string listed;
    for (int n = kFirstPort; n < kFirstPort + kPortCount; ++n) listed += "," + Com(n);
    std::vector<std::string> env = {"FLASHPOST_TEST_LISTED_PORTS=" + listed.substr(1),
                                    "FLASHPOST_TEST_MISSING_PORT=" + Com(kFirstPort + kPortCount)};
    int port = kFirstPort;
    for (auto [end, name] : {std::pair{&silent, "SILENT"},
                             {&echo, "ECHO"},
                             {&backlog, "BACKLOG"},
                             {&small_backlog, "SMALL_BACKLOG"}}) {
      ASSERT_TRUE(run_.MapPort(port, end->SlavePath()));
      env.push_back(std::string("FLASHPOST_TEST_") + name + "_PORT=" + Com(port++));
    }
    const WindowsRun run = run_.Run(exe, {}, milliseconds(600000), env);
    EXPECT_EQ(run.status, 0) << exe << "\n" << run.output;
  }
}

// The whole update through a Windows COM port: the serial layer, the threads and the C runtime
// of Windows under the real program.
TEST_F(WineTest, UpdateCommandBringsAModuleThroughAComPortToSuccess) {
  platform::SystemClock clock;  // the Windows program keeps real time, so the module does too
  sim::SimulatedModule module({}, clock);
  ASSERT_TRUE(module.ok());
  module.Start();
  ASSERT_TRUE(run_.MapPort(kFirstPort + 4, module.PortPath()));
  const WindowsRun run =
      run_.Run(run_.Flashpost(), {"update", "--port", Com(kFirstPort + 4), "--baud", "9600"},
               milliseconds(240000));
  EXPECT_EQ(run.status, 0) << run.output;
  EXPECT_NE(run.output.find(" FW(AP) update OK!(OK)"), std::string::npos) << run.output;
  EXPECT_EQ(module.ImagesReceived(), 1);
  EXPECT_TRUE(module.BadPackets().empty());
}

// A factory PC gets flashpost.exe alone: every DLL it loads must come with Windows itself.
TEST_F(WineTest, FlashpostNeedsOnlyTheSystemsOwnDlls) {
  const std::set<std::string> system_dlls = {"ADVAPI32.DLL", "COMCTL32.DLL", "COMDLG32.DLL",
                                             "GDI32.DLL",    "KERNEL32.DLL", "MSVCRT.DLL",
                                             "USER32.DLL"};
  std::string error;
  auto dump = platform::StartChildProcess(
      {"/usr/bin/x86_64-w64-mingw32-objdump", "-p", run_.Flashpost().string()}, {}, error);
  ASSERT_NE(dump, nullptr) << error;
  ASSERT_EQ(dump->Wait(milliseconds(60000)), 0) << dump->Output();
  const std::string table = dump->Output();
  const std::string marker = "DLL Name: ";
  int imported = 0;
  for (size_t at = table.find(marker); at != std::string::npos; at = table.find(marker, at + 1)) {
    std::string name = table.substr(at + marker.size(), table.find('\n', at) - at - marker.size());
    for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    EXPECT_TRUE(system_dlls.count(name)) << name << " does not come with Windows";
    ++imported;
  }
  EXPECT_GT(imported, 0) << table.substr(0, 2000);
}

}  // namespace
}  // namespace flashpost
