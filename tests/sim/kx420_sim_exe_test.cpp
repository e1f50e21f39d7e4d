// The kx420-sim program as an operator starts it: its printed ports, its modules, its exit.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "payloads/payloads.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "sim/sim_test_util.h"

extern char** environ;

namespace flashpost::sim {
namespace {

using namespace std::chrono_literals;
using testing::Fields;
using testing::GsvSatellites;
using testing::KernelEntry;
using testing::Packet;
using testing::Probe;
using testing::Sentence;
using testing::Sentences;
using testing::StartsWith;
using testing::StrongestCn0;

// A started kx420-sim with pipes on its stdout and stderr; killed if a test leaves it running.
class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args) {
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<std::string> all = {KX420_SIM_PATH};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all) argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, KX420_SIM_PATH, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    out_ = out[0];
    err_ = err[0];
  }
  ~SimProcess() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) ::close(out_);
    if (err_ >= 0) ::close(err_);
  }

  bool started() const { return pid_ > 0; }

  // One line of stdout without its line feed; empty when none came in time.
  std::string ReadLine(std::chrono::milliseconds limit = 10s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (true) {
      if (size_t nl = pending_.find('\n'); nl != std::string::npos) {
        std::string line = pending_.substr(0, nl);
        pending_.erase(0, nl + 1);
        return line;
      }
      if (!Fill(out_, pending_, deadline)) return "";
    }
  }

  // Everything on stderr up to its end.
  std::string ReadAllErr() {
    std::string text;
    auto deadline = std::chrono::steady_clock::now() + 10s;
    while (Fill(err_, text, deadline)) {
    }
    return text;
  }

  void Signal(int sig) { kill(pid_, sig); }

  // The exit status once the process has ended, -1 if it is still running after `limit`.
  int WaitExit(std::chrono::milliseconds limit = 5s) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(5ms);
    }
    return -1;
  }

 private:
  static bool Fill(int fd, std::string& to, std::chrono::steady_clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) return false;
    to.append(buf, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1, err_ = -1;
  std::string pending_;
};

std::string ProbeThroughSerialLayer(const std::string& port, uint32_t baud,
                                    std::chrono::milliseconds limit) {
  platform::SystemClock clock;
  auto serial = platform::MakeHostSerialSystem();
  auto dev = serial->Open(port, clock, 50);
  if (!dev || !dev->Configure(baud)) return "cannot open";
  std::string probe = Probe();
  dev->Write(reinterpret_cast<const uint8_t*>(probe.data()), probe.size());
  std::string text;
  auto deadline = std::chrono::steady_clock::now() + limit;
  uint8_t buf[256];
  while (std::chrono::steady_clock::now() < deadline) {
    text.append(reinterpret_cast<char*>(buf), dev->Read(buf, sizeof buf));
    for (const auto& s : Sentences(text)) {
      if (StartsWith(s, "$PQRV100,")) return s;
    }
  }
  return "";
}

TEST(Kx420SimProgramTest, PrintsItsPortsServesThemAndEndsOnSigterm) {
  SimProcess sim({"--modules", "2", "--export", "--baud", "4800", "--version", "3.10"});
  ASSERT_TRUE(sim.started());
  std::vector<std::string> ports;
  for (int i = 0; i < 2; ++i) {
    std::string line = sim.ReadLine();
    std::string head = "module " + std::to_string(i) + ": ";
    ASSERT_TRUE(StartsWith(line, head + "/dev/pts/")) << line;
    std::string number = line.substr(head.size() + 9);
    ASSERT_FALSE(number.empty()) << line;
    EXPECT_EQ(number.find_first_not_of("0123456789"), std::string::npos) << line;
    ports.push_back(line.substr(head.size()));
  }
  EXPECT_NE(ports[0], ports[1]);
  EXPECT_EQ(sim.ReadLine(), "FLASHPOST_PORTS=" + ports[0] + ":" + ports[1]);

  std::string reply = ProbeThroughSerialLayer(ports[1], 4800, 3s);
  ASSERT_TRUE(StartsWith(reply, "$PQRV100,")) << reply;
  EXPECT_EQ(Fields(reply).at(2), "3");
  EXPECT_EQ(Fields(reply).at(3), "10");

  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.WaitExit(), 0);
}

// Everything a port sends within `limit` after `bytes` went out at `baud`, or until `done` says
// enough came.
template <class Done>
std::string Exchange(const std::string& port, uint32_t baud, const std::string& bytes,
                     std::chrono::milliseconds limit, Done done) {
  platform::SystemClock clock;
  auto dev = platform::MakeHostSerialSystem()->Open(port, clock, 20);
  if (!dev || !dev->Configure(baud)) return "cannot open";
  dev->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  std::string text;
  uint8_t buf[512];
  for (auto end = std::chrono::steady_clock::now() + limit;
       std::chrono::steady_clock::now() < end && !done(text);) {
    text.append(reinterpret_cast<char*>(buf), dev->Read(buf, sizeof buf));
  }
  dev->Close();
  return text;
}

// A whole GSV group of the module's own talker has come.
bool HasGsvGroup(const std::string& text) {
  for (const auto& s : Sentences(text)) {
    if (!StartsWith(s, "$GPGSV,")) continue;
    auto f = Fields(s);
    if (f.size() > 1 && f[0] == f[1] && GsvSatellites(text).size() >= 9) return true;
  }
  return false;
}

TEST(Kx420SimProgramTest, EightModulesWithTheirOwnSettingsAndTheReference) {
  SimProcess sim({"--modules", "8", "--reference", "--reference-cn0", "50", "--cn0", "45,40,39",
                  "--no-id-confirm", "6", "--boot-menu", "off,off,off,off,off,off,off,menu"});
  ASSERT_TRUE(sim.started());
  std::vector<std::string> ports;
  for (int i = 0; i < 8; ++i) {
    std::string line = sim.ReadLine();
    std::string head = "module " + std::to_string(i) + ": ";
    ASSERT_TRUE(StartsWith(line, head + "/dev/pts/")) << line;
    ports.push_back(line.substr(head.size()));
  }
  std::string line = sim.ReadLine();
  ASSERT_TRUE(StartsWith(line, "reference: /dev/pts/")) << line;
  const std::string reference = line.substr(11);

  const int cn0[] = {45, 40, 39, 39, 39, 39, 39, 39};
  for (int i = 0; i < 7; ++i) {
    SCOPED_TRACE(i);
    std::string gsv = Exchange(ports[i], 9600, Sentence("PQRV02,5C"), 3s, HasGsvGroup);
    EXPECT_EQ(StrongestCn0(GsvSatellites(gsv)), cn0[i]) << gsv;
  }
  auto confirmed = [](const std::string& text) {
    return text.find("$PQRV28,01,ID-5*") != std::string::npos;
  };
  std::string id_reply = Exchange(ports[5], 9600, Sentence("PQRV29,ID-5"), 3s, confirmed);
  EXPECT_NE(id_reply.find("$PQRV200*"), std::string::npos) << id_reply;
  EXPECT_TRUE(confirmed(id_reply)) << id_reply;
  std::string no_reply = Exchange(ports[6], 9600, Sentence("PQRV29,ID-6"), 300ms,
                                  [](const std::string&) { return false; });
  EXPECT_EQ(no_reply.find("$PQRV2"), std::string::npos) << no_reply;

  // Module 7 has the boot code: set to 115200 on its running firmware, it resets and its
  // banner comes.
  Exchange(ports[7], 9600, "", 100ms, [](const std::string&) { return false; });
  std::string banner = Exchange(ports[7], 115200, "", 3s, [](const std::string& text) {
    return text.find("ZZZZZZ") != std::string::npos;
  });
  EXPECT_NE(banner.find("ZZZZZZ"), std::string::npos) << banner;

  std::string ref = Exchange(reference, 9600, "", 3s, HasGsvGroup);
  EXPECT_EQ(StrongestCn0(GsvSatellites(ref)), 50) << ref;

  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.WaitExit(), 0);
}

TEST(Kx420SimProgramTest, SilentModulesAndSigint) {
  SimProcess sim({"--silent"});
  ASSERT_TRUE(sim.started());
  std::string line = sim.ReadLine();
  ASSERT_TRUE(StartsWith(line, "module 0: /dev/pts/")) << line;
  EXPECT_EQ(ProbeThroughSerialLayer(line.substr(10), 9600, 300ms), "");
  sim.Signal(SIGINT);
  EXPECT_EQ(sim.WaitExit(), 0);
}

TEST(Kx420SimProgramTest, DeadModuleWithAFailingBlock) {
  SimProcess sim({"--dead", "--fail-block", "2"});
  ASSERT_TRUE(sim.started());
  std::string line = sim.ReadLine();
  ASSERT_TRUE(StartsWith(line, "module 0: /dev/pts/")) << line;
  const std::string port = line.substr(10);
  EXPECT_EQ(ProbeThroughSerialLayer(port, 9600, 300ms), "");

  platform::SystemClock clock;
  auto dev = platform::MakeHostSerialSystem()->Open(port, clock, 50);
  ASSERT_TRUE(dev && dev->Configure(115200));
  // The first byte that arrives within a short real time, 0 if none.
  auto answer = [&](const std::string& bytes) {
    dev->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    uint8_t b = 0;
    for (auto end = std::chrono::steady_clock::now() + 300ms;
         std::chrono::steady_clock::now() < end;) {
      if (dev->Read(&b, 1) == 1) return b;
    }
    return uint8_t{0};
  };
  EXPECT_EQ(answer(KernelEntry()), 0x15);
  EXPECT_EQ(answer(Packet(payloads::ImageP2(), 1024, 1)), 0x06);
  EXPECT_EQ(answer(Packet(payloads::ImageP2(), 1024, 2)), 0);
  dev->Close();
  sim.Signal(SIGTERM);
  EXPECT_EQ(sim.WaitExit(), 0);
}

TEST(Kx420SimProgramTest, BadArgumentsExitWithStatus2AndSayWhy) {
  for (const auto& args : std::vector<std::vector<std::string>>{{"--modules", "zero"},
                                                                {"--baud"},
                                                                {"--version", "51"},
                                                                {"--bogus"},
                                                                {"--cn0", "100"},
                                                                {"--boot-menu", "sometimes"}}) {
    SimProcess sim(args);
    ASSERT_TRUE(sim.started());
    std::string err = sim.ReadAllErr();
    EXPECT_EQ(sim.WaitExit(), 2) << args[0];
    EXPECT_TRUE(StartsWith(err, "kx420-sim: ")) << err;
    EXPECT_NE(err.find("usage: kx420-sim"), std::string::npos) << err;
    EXPECT_EQ(sim.ReadLine(100ms), "");
  }
}

}  // namespace
}  // namespace flashpost::sim
