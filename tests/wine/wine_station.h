#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/child_process.h"

namespace flashpost::testing {

// What a Windows program left behind when it ended.
struct WindowsRun {
  std::optional<int> status;  // nothing: it did not end in time and was killed
  std::string output;         // standard output and error, CR LF turned into LF
};

// One Wine prefix for a whole test run, its COM ports mapped to paths of ours: COMn opens
// whatever the link ports/comn points at when it is opened, so a test re-points a port at the
// pseudo-terminal of its own simulated device. The ports are in the registry's serial port list
// because they are mapped before the prefix's first boot. Booting a prefix takes seconds, so it is
// made once and its wineserver kept running until the station goes.
class WineStation {
 public:
  // Makes and boots a prefix under `work_dir` (emptied first) with COM ports first_port ..
  // first_port + port_count - 1, each parked on `parking_path` until a test maps it. Every
  // Wine program gets `base_env` too: the display, which the session's desktop process takes from
  // the first program of the session. ok() tells whether it worked; Problem() why not.
  WineStation(std::filesystem::path work_dir, int first_port, int port_count,
              const std::string& parking_path, std::vector<std::string> base_env);
  ~WineStation();
  WineStation(const WineStation&) = delete;
  WineStation& operator=(const WineStation&) = delete;

  bool ok() const { return problem_.empty(); }
  const std::string& Problem() const { return problem_; }

  // Points COMn at a device path; false when n is not one of the station's ports.
  bool MapPort(int n, const std::string& device_path);

  // Runs a Windows program to its end (at most `timeout`) with extra environment entries.
  WindowsRun Run(const std::filesystem::path& exe, const std::vector<std::string>& args,
                 std::chrono::milliseconds timeout, const std::vector<std::string>& env = {});
  // Starts one and leaves it running; null with Problem() set when it cannot start.
  std::unique_ptr<platform::ChildProcess> Start(const std::filesystem::path& exe,
                                                const std::vector<std::string>& args,
                                                const std::vector<std::string>& env = {});

  // A Linux path as the Windows programs see it (Z: is the root).
  static std::string WindowsPath(const std::filesystem::path& path);
  // Windows output with its line ends made Unix ones.
  static std::string WithUnixLineEnds(std::string text);

 private:
  std::vector<std::string> Environment(const std::vector<std::string>& extra) const;
  bool Boot(int first_port, int port_count, const std::string& parking_path);
  // A Wine tool run to its end; false with problem_ set when it failed.
  bool RunTool(const std::vector<std::string>& argv, std::chrono::milliseconds timeout,
               const std::string& what);

  std::filesystem::path work_dir_;
  std::filesystem::path prefix_;
  int first_port_ = 0;
  int port_count_ = 0;
  std::vector<std::string> base_env_;
  std::string problem_;
  std::unique_ptr<platform::ChildProcess> server_;
};

}  // namespace flashpost::testing
