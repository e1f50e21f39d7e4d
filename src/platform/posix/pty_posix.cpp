#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <ctime>

#include "platform/pty.h"

namespace flashpost::platform {

namespace termios2_io {
// Defined in baud_rate_linux.cpp; the same decoding the serial device uses for Settings().
bool ReadLineSettings(int fd, LineSettings& out);
}  // namespace termios2_io

namespace {

using SteadyClock = std::chrono::steady_clock;

// A reply is taken as complete once the line has been quiet this long.
constexpr int kQuietMs = 20;
// Send gives up when the program side has taken nothing for this long (its queue is full).
constexpr int kSendStallMs = 1000;

int MsLeft(SteadyClock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - SteadyClock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

bool SetFdFlag(int fd, int get, int set, int flag) {
  int flags = fcntl(fd, get);
  return flags >= 0 && fcntl(fd, set, flags | flag) == 0;
}

}  // namespace

PseudoTerminal::PseudoTerminal() {
  int master = -1, slave = -1;
  if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return;
  char name[128];
  termios raw{};
  bool ok = ptsname_r(master, name, sizeof name) == 0 &&
            SetFdFlag(master, F_GETFD, F_SETFD, FD_CLOEXEC) &&
            SetFdFlag(slave, F_GETFD, F_SETFD, FD_CLOEXEC) &&
            SetFdFlag(master, F_GETFL, F_SETFL, O_NONBLOCK) && tcgetattr(slave, &raw) == 0;
  if (ok) {
    // A fresh pty echoes and maps CR/LF like a terminal; a serial line does neither, and an echo
    // would feed the program's own bytes back to it before it gets round to setting raw mode.
    cfmakeraw(&raw);
    ok = tcsetattr(slave, TCSANOW, &raw) == 0;
  }
  if (!ok) {
    ::close(master);
    ::close(slave);
    return;
  }
  master_ = master;
  slave_ = slave;
  slave_path_ = name;
}

PseudoTerminal::~PseudoTerminal() {
  if (master_ >= 0) ::close(master_);
  if (slave_ >= 0) ::close(slave_);
}

bool PseudoTerminal::Send(const std::vector<uint8_t>& bytes) {
  if (master_ < 0) return false;
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t w = ::write(master_, bytes.data() + sent, bytes.size() - sent);
    if (w > 0) {
      sent += static_cast<size_t>(w);
      continue;
    }
    if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
    pollfd p{master_, POLLOUT, 0};
    int r = poll(&p, 1, kSendStallMs);
    if (r == 0) return false;
  }
  return true;
}

bool PseudoTerminal::Send(const std::string& text) {
  return Send(std::vector<uint8_t>(text.begin(), text.end()));
}

std::vector<uint8_t> PseudoTerminal::Receive(int timeout_ms, size_t max) {
  std::vector<uint8_t> out;
  if (master_ < 0) return out;
  auto deadline = SteadyClock::now() + std::chrono::milliseconds(timeout_ms);
  uint8_t chunk[4096];
  while (out.size() < max) {
    size_t want = std::min(sizeof chunk, max - out.size());
    ssize_t r = ::read(master_, chunk, want);
    if (r > 0) {
      out.insert(out.end(), chunk, chunk + r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (r < 0 && errno != EAGAIN) break;  // EIO: nobody holds the slave (cannot happen here)
    int wait = out.empty() ? MsLeft(deadline) : kQuietMs;
    if (wait == 0) break;
    pollfd p{master_, POLLIN, 0};
    int ready = poll(&p, 1, wait);
    if (ready == 0) break;
    if (ready > 0 && !(p.revents & POLLIN)) break;
  }
  return out;
}

size_t PseudoTerminal::SendNow(const uint8_t* data, size_t n) {
  if (master_ < 0) return 0;
  size_t sent = 0;
  while (sent < n) {
    ssize_t w = ::write(master_, data + sent, n - sent);
    if (w > 0) {
      sent += static_cast<size_t>(w);
    } else if (!(w < 0 && errno == EINTR)) {
      break;  // EAGAIN: the program side's queue is full
    }
  }
  return sent;
}

std::vector<uint8_t> PseudoTerminal::ReceiveNow(std::chrono::nanoseconds wait, size_t max) {
  std::vector<uint8_t> out;
  if (master_ < 0) return out;
  uint8_t chunk[4096];
  bool waited = false;
  while (out.size() < max) {
    ssize_t r = ::read(master_, chunk, std::min(sizeof chunk, max - out.size()));
    if (r > 0) {
      out.insert(out.end(), chunk, chunk + r);
      continue;
    }
    if (r < 0 && errno == EINTR) continue;
    if (!out.empty() || waited || (r < 0 && errno != EAGAIN)) break;
    waited = true;
    if (wait <= std::chrono::nanoseconds::zero()) break;
    auto secs = std::chrono::duration_cast<std::chrono::seconds>(wait);
    timespec ts{static_cast<time_t>(secs.count()), static_cast<long>((wait - secs).count())};
    pollfd p{master_, POLLIN, 0};
    if (ppoll(&p, 1, &ts, nullptr) <= 0 || !(p.revents & POLLIN)) break;
  }
  return out;
}

LineSettings PseudoTerminal::ProgramSideSettings() const {
  LineSettings s;
  if (slave_ >= 0) termios2_io::ReadLineSettings(slave_, s);
  return s;
}

bool PseudoTerminal::IsRaw() const {
  termios t{};
  if (slave_ < 0 || tcgetattr(slave_, &t) != 0) return false;
  return !(t.c_lflag & (ICANON | ECHO | ISIG)) && !(t.c_oflag & OPOST) &&
         !(t.c_iflag & (ICRNL | INLCR | IGNCR)) && (t.c_cflag & CSIZE) == CS8;
}

}  // namespace flashpost::platform
