#include "wine/wine_station.h"

#include <fstream>
#include <system_error>

namespace flashpost::testing {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

namespace {

// Debian's wine64 package; there is no `wine` front script without the 32-bit half.
constexpr const char* kWine = "/usr/lib/wine/wine64";
constexpr const char* kWineServer = "/usr/lib/wine/wineserver";

std::string PortName(int n) { return "COM" + std::to_string(n); }

}  // namespace

WineStation::WineStation(fs::path work_dir, int first_port, int port_count,
                         const std::string& parking_path, std::vector<std::string> base_env)
    : work_dir_(std::move(work_dir)),
      prefix_(work_dir_ / "prefix"),
      first_port_(first_port),
      port_count_(port_count),
      base_env_(std::move(base_env)) {
  if (!fs::exists(kWine)) {
    problem_ = std::string(kWine) + " is missing: install Debian's wine64 package";
    return;
  }
  Boot(first_port, port_count, parking_path);
}

WineStation::~WineStation() {
  if (server_) {
    std::string error;
    auto stop = platform::StartChildProcess({kWineServer, "-k"}, Environment({}), error);
    if (stop) stop->Wait(milliseconds(10000));
    server_->Wait(milliseconds(10000));
  }
}

std::vector<std::string> WineStation::Environment(const std::vector<std::string>& extra) const {
  std::vector<std::string> env = {"WINEPREFIX=" + prefix_.string(), "WINEDEBUG=-all",
                                  // No menu entries or file associations for the test prefix.
                                  "WINEDLLOVERRIDES=winemenubuilder.exe=d"};
  env.insert(env.end(), base_env_.begin(), base_env_.end());
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

bool WineStation::RunTool(const std::vector<std::string>& argv, milliseconds timeout,
                          const std::string& what) {
  std::string error;
  auto tool = platform::StartChildProcess(argv, Environment({}), error);
  if (!tool) {
    problem_ = what + ": " + error;
    return false;
  }
  const auto status = tool->Wait(timeout);
  if (status != 0) {
    problem_ = what + (status ? " failed with status " + std::to_string(*status) : " hung") +
               ":\n" + tool->Output();
    return false;
  }
  return true;
}

bool WineStation::Boot(int first_port, int port_count, const std::string& parking_path) {
  std::error_code ec;
  fs::remove_all(work_dir_, ec);
  const fs::path dosdevices = prefix_ / "dosdevices";
  fs::create_directories(dosdevices, ec);
  fs::create_directories(prefix_ / "drive_c", ec);
  fs::create_directories(work_dir_ / "ports", ec);
  if (ec) {
    problem_ = "cannot make " + prefix_.string() + ": " + ec.message();
    return false;
  }
  // With dosdevices made by hand, Wine leaves the drive letters to us.
  fs::create_directory_symlink("../drive_c", dosdevices / "c:", ec);
  fs::create_directory_symlink("/", dosdevices / "z:", ec);

  // The registry's own list of serial ports is made from this key when the wineserver starts.
  std::ofstream reg(work_dir_ / "ports.reg");
  reg << "REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\Software\\Wine\\Ports]\r\n";
  for (int n = first_port; n < first_port + port_count; ++n) {
    const fs::path link = work_dir_ / "ports" / ("com" + std::to_string(n));
    fs::create_symlink(parking_path, link, ec);
    fs::create_symlink(link, dosdevices / ("com" + std::to_string(n)), ec);
    reg << "\"" << PortName(n) << "\"=\"" << link.string() << "\"\r\n";
  }
  reg.close();
  if (ec) {
    problem_ = "cannot map the COM ports: " + ec.message();
    return false;
  }

  if (!RunTool({kWine, "wineboot", "-i"}, milliseconds(180000), "booting the Wine prefix")) {
    return false;
  }
  if (!RunTool({kWine, "reg", "import", WindowsPath(work_dir_ / "ports.reg")}, milliseconds(60000),
               "importing the COM ports")) {
    return false;
  }
  // The server writes the registry out when it ends, a few seconds after its last program.
  if (!RunTool({kWineServer, "-w"}, milliseconds(60000), "waiting for Wine to settle")) {
    return false;
  }
  // A persistent server from here on: every program then starts in a fraction of a second.
  std::string error;
  server_ = platform::StartChildProcess({kWineServer, "-f", "-p"}, Environment({}), error);
  if (!server_) {
    problem_ = "cannot start the wineserver: " + error;
    return false;
  }
  return true;
}

bool WineStation::MapPort(int n, const std::string& device_path) {
  if (n < first_port_ || n >= first_port_ + port_count_) return false;
  const fs::path link = work_dir_ / "ports" / ("com" + std::to_string(n));
  const fs::path fresh = work_dir_ / "ports" / ("com" + std::to_string(n) + ".new");
  std::error_code ec;
  fs::remove(fresh, ec);
  fs::create_symlink(device_path, fresh, ec);
  if (ec) return false;
  // Renaming over the old link swaps it in one step.
  fs::rename(fresh, link, ec);
  return !ec;
}

WindowsRun WineStation::Run(const fs::path& exe, const std::vector<std::string>& args,
                            milliseconds timeout, const std::vector<std::string>& env) {
  WindowsRun run;
  auto program = Start(exe, args, env);
  if (!program) {
    run.output = problem_;
    return run;
  }
  run.status = program->Wait(timeout);
  if (!run.status) program->Kill();
  run.output = WithUnixLineEnds(program->Output());
  return run;
}

std::unique_ptr<platform::ChildProcess> WineStation::Start(const fs::path& exe,
                                                           const std::vector<std::string>& args,
                                                           const std::vector<std::string>& env) {
  std::vector<std::string> argv = {kWine, exe.string()};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string error;
  auto program = platform::StartChildProcess(argv, Environment(env), error);
  if (!program) problem_ = error;
  return program;
}

std::string WineStation::WindowsPath(const fs::path& path) {
  std::string text = "Z:" + fs::absolute(path).string();
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
  return text;
}

std::string WineStation::WithUnixLineEnds(std::string text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n') continue;
    out.push_back(text[i]);
  }
  return out;
}

}  // namespace flashpost::testing
