#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <tuple>

#include "platform/file.h"
#include "platform/pty.h"
#include "platform/serial_device.h"

namespace flashpost::platform {
namespace {

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

TEST(OpenFailureTest, EachRefusalSaysWhy) {
  std::string dir = (fs::temp_directory_path() / "fp-open-XXXXXX").string();
  ASSERT_NE(mkdtemp(dir.data()), nullptr);
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
      {pty.SlavePath(), OpenFailureCause::kInUse, "in use by another slot of this program"},
      {dir + "/ttyUSB9", OpenFailureCause::kNoSuchDevice, "no such device"},
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
  fs::remove_all(dir);
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
TEST(HeldFileTest, ReadersShareTheFileWhileAWriterThatLocksIsKeptOut) {
  const std::string path = fs::temp_directory_path() / ("fp-held-" + std::to_string(getpid()));
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
  fs::remove(path);
}

}  // namespace
}  // namespace flashpost::platform
