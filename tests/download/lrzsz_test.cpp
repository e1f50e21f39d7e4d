// The senders against a receiver no one here wrote: lrzsz's rx in XMODEM checksum mode, on the
// far end of a pseudo-terminal.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <spawn.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "download/xmodem.h"
#include "payloads/payloads.h"
#include "serial/serial_port.h"

extern char** environ;

namespace flashpost::download {
namespace {

constexpr const char* kRx = "/usr/bin/rx";

// Carries bytes between the program's pty and rx's pty. rx empties its input right after it has
// sent each ACK; on a real line the next packet is still on the wire by then, but through a bare
// pty it may already have arrived and be thrown away. So the relay holds the program's bytes
// back for a moment after each answer of rx, as the line's turnaround would.
class TurnaroundRelay {
 public:
  TurnaroundRelay(int program_side, int rx_side)
      : program_(program_side), rx_(rx_side), thread_([this] { Run(); }) {}
  ~TurnaroundRelay() {
    stop_ = true;
    thread_.join();
  }

 private:
  void Run() {
    using Clock = std::chrono::steady_clock;
    auto last_answer = Clock::now();
    uint8_t buf[4096];
    while (!stop_) {
      pollfd fds[2] = {{program_, POLLIN, 0}, {rx_, POLLIN, 0}};
      if (poll(fds, 2, 10) <= 0) continue;
      if (fds[1].revents & POLLIN) {
        ssize_t n = read(rx_, buf, sizeof buf);
        if (n > 0) {
          WriteAll(program_, buf, n);

          last_answer = Clock::now();
        }
      }
      if (fds[0].revents & POLLIN) {
        std::this_thread::sleep_until(last_answer + std::chrono::milliseconds(8));
        ssize_t n = read(program_, buf, sizeof buf);
        if (n > 0) WriteAll(rx_, buf, n);
      }
    }
  }
  static void WriteAll(int fd, const uint8_t* p, ssize_t n) {
    while (n > 0) {
      ssize_t w = write(fd, p, n);
      if (w <= 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
        continue;
      }
      p += w;
      n -= w;
    }
  }
  int program_;
  int rx_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

class LrzszTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kRx, X_OK) != 0) GTEST_SKIP() << "lrzsz is not installed";
    char name[128];
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    slave_path_ = name;
    ASSERT_EQ(openpty(&rx_master_, &rx_slave_, nullptr, nullptr, nullptr), 0);
    termios raw{};
    cfmakeraw(&raw);
    tcsetattr(rx_slave_, TCSANOW, &raw);
    relay_ = std::make_unique<TurnaroundRelay>(master_, rx_slave_);
    dir_ = std::filesystem::temp_directory_path() /
           ("flashpost-lrzsz-" + std::to_string(getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::create_directories(dir_);
    ASSERT_EQ(serial::OpenPort(board_, slave_path_, "115200", 1), 1);
    board_.WaitTimeoutMs = 5000;
  }
  void TearDown() override {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
    relay_.reset();
    for (int fd : {master_, slave_, rx_master_, rx_slave_}) {
      if (fd >= 0) close(fd);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // rx with its standard input and output on the pty master, writing into dir_.
  void StartRx(const std::string& file) {
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, rx_master_, 0);
    posix_spawn_file_actions_adddup2(&actions, rx_master_, 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    // rx refuses a path with a folder in it ("Security Violation"), so it runs inside dir_.
    posix_spawn_file_actions_addchdir_np(&actions, dir_.c_str());
    std::vector<std::string> args{kRx, "-X", "-b", "-q", file};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    // rx times its reads with SIGALRM: it must start with no signal blocked or ignored.
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    posix_spawnattr_setsigmask(&attr, &none);
    posix_spawnattr_setsigdefault(&attr, &all);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    ASSERT_EQ(posix_spawn(&pid_, kRx, &actions, &attr, argv.data(), environ), 0);
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
  }

  // Both ends of a pty share one set of line settings, and rx sets them for a terminal of its
  // own; a real serial line would keep the program's 8N1 raw mode.
  void RawAgain() { ASSERT_TRUE(board_.Port[1].Get()->Configure(115200)); }

  // The transfer ends on the last block's ACK, with the EOT inside the last packet. rx may still
  // wait for an EOT of its own convention: offer a few, then end it; by then it has written
  // every block it acknowledged.
  void FinishRx() {
    const uint8_t eot = kEot;
    for (int i = 0; i < 5; ++i) {
      serial::WritePort(board_, 1, &eot, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(300));
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) {
        pid_ = -1;
        return;
      }
    }
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  std::vector<uint8_t> Received(const std::string& file) {
    std::ifstream in(dir_ / file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  static std::vector<uint8_t> Padded(std::span<const uint8_t> payload, size_t block) {
    std::vector<uint8_t> v(payload.begin(), payload.end());
    while (v.size() % block != 0) v.push_back(kFill);
    return v;
  }

  platform::SystemClock clock_;
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  app::PortBoard board_{clock_, *host_};
  ui::StopSignal stop_;
  const serial::SlotJob job_{board_, 1, stop_};
  int master_ = -1;
  int slave_ = -1;
  int rx_master_ = -1;
  int rx_slave_ = -1;
  std::unique_ptr<TurnaroundRelay> relay_;
  std::string slave_path_;
  std::filesystem::path dir_;
  pid_t pid_ = -1;
};

TEST_F(LrzszTest, RxTakesTheWholeImageInOneKilobyteBlocks) {
  StartRx("image.bin");
  ASSERT_TRUE(WaitForNak(job_)) << "rx asks for a checksum transfer with NAK";
  board_.ChipIsSecond = 1;
  ASSERT_TRUE(SendXmodem1K(job_)) << "acknowledged up to " << board_.ProgressPercent[1].load()
                                  << "%";
  FinishRx();
  EXPECT_EQ(Received("image.bin"), Padded(payloads::ImageP2(), kBlock1K));
}

TEST_F(LrzszTest, RxTakesTheLoaderInHundredTwentyEightByteBlocks) {
  StartRx("loader.bin");
  ASSERT_TRUE(WaitForNak(job_));
  ASSERT_TRUE(SendXmodem(job_, /*bbchip_checked=*/false));
  FinishRx();
  EXPECT_EQ(Received("loader.bin"), Padded(payloads::LoaderImage2(), kBlock128));
}

}  // namespace
}  // namespace flashpost::download
