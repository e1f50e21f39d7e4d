// The senders against a receiver no one here wrote: lrzsz's rx in XMODEM checksum mode, on the
// far end of a pseudo-terminal.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "download/xmodem.h"
#include "payloads/payloads.h"
#include "platform/pty.h"
#include "serial/serial_port.h"

namespace flashpost::download {
namespace {

using namespace std::chrono_literals;
constexpr const char* kRx = "/usr/bin/rx";

class LrzszTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kRx, X_OK) != 0) GTEST_SKIP() << "lrzsz is not installed";
    ASSERT_TRUE(program_.ok() && rx_.ok());
    std::filesystem::create_directories(dir_);
    ASSERT_EQ(serial::OpenPort(board_, program_.SlavePath(), "115200", 1), 1);
    board_.WaitTimeoutMs = 5000;
  }
  void TearDown() override {
    EndRx();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  void EndRx() {
    if (pid_ > 0) kill(pid_, SIGTERM), waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

  // rx on the far pty, writing into dir_ (it refuses a path with a folder in it).
  void StartRx(const char* file) {
    pid_ = fork();
    if (pid_ != 0) return;
    const int fd = open(rx_.SlavePath().c_str(), O_RDWR);
    dup2(fd, 0);
    dup2(fd, 1);
    sigset_t none;  // rx times its reads with SIGALRM
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    if (chdir(dir_.c_str()) == 0) execl(kRx, "rx", "-X", "-b", "-q", file, nullptr);
    _exit(127);
  }

  // The transfer ends on the last block's ACK, the EOT inside the last packet; rx may wait for
  // an EOT of its own: offer a few, then end it. By then it has written every block it acked.
  std::vector<uint8_t> Received(const char* file) {
    const uint8_t eot = kEot;
    for (int i = 0; i < 5 && pid_ > 0; ++i) {
      serial::WritePort(board_, 1, &eot, 1);
      std::this_thread::sleep_for(300ms);
      if (waitpid(pid_, nullptr, WNOHANG) == pid_) pid_ = -1;
    }
    EndRx();
    std::ifstream in(dir_ / file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
  }

  static std::vector<uint8_t> Padded(std::span<const uint8_t> payload, size_t block) {
    std::vector<uint8_t> v(payload.begin(), payload.end());
    v.resize((v.size() + block - 1) / block * block, kFill);
    return v;
  }

  platform::SystemClock clock_;
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  app::PortBoard board_{clock_, *host_};
  ui::StopSignal stop_;
  const serial::SlotJob job_{board_, 1, stop_};
  const std::filesystem::path dir_ =
      std::filesystem::temp_directory_path() /
      ("flashpost-lrzsz-" + std::to_string(getpid()) + "-" +
       ::testing::UnitTest::GetInstance()->current_test_info()->name());
  platform::PseudoTerminal program_, rx_;
  pid_t pid_ = -1;
  // rx empties its input right after each ACK; on a real line the next packet is still on the
  // wire then, through a bare pty it may be there already and be thrown away. So the relay
  // holds the program's bytes back for a moment after each answer, as the line's turnaround.
  std::jthread relay_{[this](std::stop_token stop) {
    auto answered = std::chrono::steady_clock::now();
    while (!stop.stop_requested()) {
      if (auto answer = rx_.ReceiveNow(1ms); !answer.empty()) {
        program_.Send(answer);
        answered = std::chrono::steady_clock::now();
      }
      if (auto sent = program_.ReceiveNow(1ms); !sent.empty()) {
        std::this_thread::sleep_until(answered + 8ms);
        rx_.Send(sent);
      }
    }
  }};
};

TEST_F(LrzszTest, RxTakesTheWholeImageInOneKilobyteBlocks) {
  StartRx("image.bin");
  ASSERT_TRUE(WaitForNak(job_)) << "rx asks for a checksum transfer with NAK";
  board_.ChipIsSecond = 1;
  ASSERT_TRUE(SendXmodem1K(job_)) << "acked up to " << board_.ProgressPercent[1].load() << "%";
  EXPECT_EQ(Received("image.bin"), Padded(payloads::ImageP2(), kBlock1K));
}

TEST_F(LrzszTest, RxTakesTheLoaderInHundredTwentyEightByteBlocks) {
  StartRx("loader.bin");
  ASSERT_TRUE(WaitForNak(job_));
  ASSERT_TRUE(SendXmodem(job_, /*bbchip_checked=*/false));
  EXPECT_EQ(Received("loader.bin"), Padded(payloads::LoaderImage2(), kBlock128));
}

}  // namespace
}  // namespace flashpost::download
