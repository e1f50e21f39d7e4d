#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/call_gate.h"
#include "platform/host_port.h"
#include "platform/line_drain.h"
#include "platform/posix/open_failure.h"
#include "platform/serial_device.h"

namespace flashpost::platform {

namespace termios2_io {
// Defined in baud_rate_linux.cpp, which cannot share the glibc termios names used here.
using SavedLine = std::array<unsigned char, 64>;
bool SaveLine(int fd, SavedLine& out);
bool RestoreLine(int fd, const SavedLine& saved);
bool ReadLineSettings(int fd, LineSettings& out);
bool ConfigureRawLine(int fd, uint32_t baud);
}  // namespace termios2_io

namespace {

using std::chrono::nanoseconds;
using std::chrono::steady_clock;

// Longest a blocked Read or Write goes without looking whether Close wants the device back (or,
// for a Write, whether its caller has given up).
constexpr nanoseconds kSlice = std::chrono::milliseconds(10);

// Waits at most d for events on fd; returns the events seen, 0 when none (time-out or signal).
short WaitFd(int fd, short events, nanoseconds d) {
  pollfd p{fd, events, 0};
  auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
  timespec ts{static_cast<time_t>(secs.count()), static_cast<long>((d - secs).count())};
  int r = ppoll(&p, 1, &ts, nullptr);
  return r > 0 ? p.revents : 0;
}

class PosixSerialDevice final : public SerialDevice {
 public:
  PosixSerialDevice(int fd, Clock& clock, uint32_t read_timeout_ms,
                    const termios2_io::SavedLine& saved_line, bool low_latency_set)
      : fd_(fd),
        clock_(clock),
        read_timeout_ms_(read_timeout_ms),
        saved_line_(saved_line),
        low_latency_set_(low_latency_set) {}

  ~PosixSerialDevice() override { Close(); }

  bool Configure(uint32_t baud) override {
    if (baud == 0) return false;  // B0 means "hang up", not a speed
    CallGate::Pass call(gate_);
    return call && termios2_io::ConfigureRawLine(fd_, baud);
  }

  LineSettings Settings() override {
    LineSettings s;
    CallGate::Pass call(gate_);
    if (call) termios2_io::ReadLineSettings(fd_, s);
    return s;
  }

  size_t Read(uint8_t* buffer, size_t n) override {
    CallGate::Pass call(gate_);
    if (!call) {
      clock_.Sleep(read_timeout_ms_);
      return 0;
    }
    const auto deadline = steady_clock::now() + clock_.RealDuration(read_timeout_ms_);
    size_t got = 0;
    while (got < n && !gate_.Closing()) {
      ssize_t r = ::read(fd_, buffer + got, n - got);
      if (r > 0) {
        got += static_cast<size_t>(r);
        continue;
      }
      auto left = deadline - steady_clock::now();
      if (left <= nanoseconds::zero()) break;
      auto wait = std::min<nanoseconds>(left, kSlice);
      if (r < 0 && (errno == EAGAIN || errno == EINTR)) {
        short ev = WaitFd(fd_, POLLIN, wait);
        if ((ev & (POLLHUP | POLLERR | POLLNVAL)) && !(ev & POLLIN)) {
          // Hung up (far end gone, adapter pulled): poll would return at once from now on.
          std::this_thread::sleep_for(wait);
        }
      } else {
        // End of file or EIO after a hang-up. Sit it out as a silent line instead of spinning;
        // the caller's own time-outs then decide what a dead port means.
        std::this_thread::sleep_for(wait);
      }
    }
    if (got < n && !gate_.Closing()) clock_.AfterTimedWait(read_timeout_ms_);
    return got;
  }

  bool Write(const uint8_t* data, size_t n, const std::atomic<bool>* give_up) override {
    CallGate::Pass call(gate_);
    if (!call) return false;
    size_t sent = 0;
    while (sent < n) {
      if (gate_.Closing() || (give_up != nullptr && give_up->load())) return false;
      ssize_t w = ::write(fd_, data + sent, n - sent);
      if (w > 0) {
        sent += static_cast<size_t>(w);
        continue;
      }
      if (w < 0 && errno != EAGAIN && errno != EINTR) return false;
      short ev = WaitFd(fd_, POLLOUT, kSlice);
      if ((ev & (POLLHUP | POLLERR | POLLNVAL)) && !(ev & POLLOUT)) return false;
    }
    return true;
  }

  size_t BytesWaiting() override {
    CallGate::Pass call(gate_);
    int count = 0;
    if (!call || ioctl(fd_, FIONREAD, &count) != 0 || count < 0) return 0;
    return static_cast<size_t>(count);
  }

  void Purge(bool receive, bool transmit) override {
    CallGate::Pass call(gate_);
    if (!call || (!receive && !transmit)) return;
    tcflush(fd_, receive && transmit ? TCIOFLUSH : (receive ? TCIFLUSH : TCOFLUSH));
  }

  void DrainOutput() override {
    CallGate::Pass call(gate_);
    if (!call) return;
    size_t queued = QueuedForLine();
    if (queued > 0) {
      LineSettings line;
      termios2_io::ReadLineSettings(fd_, line);
      // Real time, whatever clock the program runs on: the line empties at its own pace.
      const auto deadline = steady_clock::now() + DrainTimeLimit(queued, line.baud);
      while (queued > 0 && !gate_.Closing() && steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::min<nanoseconds>(kSlice, deadline - steady_clock::now()));
        queued = QueuedForLine();
      }
      if (queued > 0) {
        tcflush(fd_, TCOFLUSH);
        return;
      }
    }
    // The count leaves out what the transmitter itself still holds (a UART's FIFO, a USB
    // adapter's own buffer). With the queue empty, tcdrain waits for that alone, and the drivers
    // bound that wait themselves (the serial core to twice a FIFO's time).
    tcdrain(fd_);
  }

  void ClearRtsDtr() override {
    CallGate::Pass call(gate_);
    if (!call) return;
    // Ports without modem lines (ptys, some adapters) refuse this; there is nothing to clear.
    int lines = TIOCM_RTS | TIOCM_DTR;
    ioctl(fd_, TIOCMBIC, &lines);
  }

  void RestoreSettings() override {
    CallGate::Pass call(gate_);
    if (!call) return;
    termios2_io::RestoreLine(fd_, saved_line_);
    if (low_latency_set_) {
      serial_struct ss{};
      if (ioctl(fd_, TIOCGSERIAL, &ss) == 0) {
        ss.flags &= ~ASYNC_LOW_LATENCY;
        ioctl(fd_, TIOCSSERIAL, &ss);
      }
    }
  }

  void Close() override {
    gate_.Close([this] {
      // A pty slave outlives this descriptor (the far end holds it open), and the exclusive flag
      // lives on the tty, not the descriptor: left set it would lock every later non-root open.
      ioctl(fd_, TIOCNXCL);
      flock(fd_, LOCK_UN);
      ::close(fd_);
      fd_ = -1;
    });
  }

  bool IsOpen() const override { return !gate_.Closing(); }

 private:
  // Bytes written but not yet handed to the transmitter (a pty always reports none).
  size_t QueuedForLine() {
    int count = 0;
    return ioctl(fd_, TIOCOUTQ, &count) == 0 && count > 0 ? static_cast<size_t>(count) : 0;
  }

  // Written only by Close, once no call is in progress.
  int fd_;
  Clock& clock_;
  const uint32_t read_timeout_ms_;
  const termios2_io::SavedLine saved_line_;
  const bool low_latency_set_;
  CallGate gate_;
};

// Asks a USB serial driver to hand bytes over as they arrive instead of batching them for up to
// 16 ms, which would eat most of a short reply time-out. True when this open turned it on.
bool RequestLowLatency(int fd) {
  serial_struct ss{};
  if (ioctl(fd, TIOCGSERIAL, &ss) != 0 || (ss.flags & ASYNC_LOW_LATENCY)) return false;
  ss.flags |= ASYNC_LOW_LATENCY;
  return ioctl(fd, TIOCSSERIAL, &ss) == 0;
}

}  // namespace

std::unique_ptr<SerialDevice> OpenHostPort(const std::string& path, Clock& clock,
                                           uint32_t read_timeout_ms, OpenFailure& failure) {
  failure = {};
  int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    failure = ExplainOpenFailure(path, errno);
    return nullptr;
  }
  // TIOCEXCL keeps other programs out but not root, nor a second open inside this process;
  // the flock covers both. Taking it first means a refused open leaves the tty untouched.
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    ::close(fd);
    failure = ExplainOpenFailure(path, error);
    return nullptr;
  }
  termios2_io::SavedLine saved{};
  if (ioctl(fd, TIOCEXCL) != 0 || !termios2_io::SaveLine(fd, saved)) {
    const int error = errno;
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    ::close(fd);
    failure = ExplainOpenFailure(path, error);
    return nullptr;
  }
  bool low_latency_set = RequestLowLatency(fd);
  return std::make_unique<PosixSerialDevice>(fd, clock, read_timeout_ms, saved, low_latency_set);
}

}  // namespace flashpost::platform
