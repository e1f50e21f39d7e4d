#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <string>
#include <thread>

#include "platform/call_gate.h"
#include "platform/host_port.h"
#include "platform/line_drain.h"
#include "platform/serial_device.h"

namespace flashpost::platform {

namespace {

// The driver counts the read time-out in real milliseconds. Zero would not mean "at once": with
// every field 0 a read waits until all its bytes have come.
DWORD RealTimeoutMs(const Clock& clock, uint32_t ms) {
  auto real = std::chrono::ceil<std::chrono::milliseconds>(clock.RealDuration(ms)).count();
  return static_cast<DWORD>(std::clamp<int64_t>(real, 1, MAXDWORD - 1));
}

// Longest one WriteFile waits on a line that takes no bytes before the write looks again whether
// the port is closing or its caller has given up. Real milliseconds.
constexpr DWORD kWriteSliceMs = 20;

// A read of n bytes returns once n have come or the total time-out has passed, whatever the
// gaps between bytes. A write returns after at most a slice with what the driver took by then;
// Write goes on with the rest until every byte is handed over.
COMMTIMEOUTS PortTimeouts(DWORD read_timeout_ms) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = 0;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = read_timeout_ms;
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = kWriteSliceMs;
  return t;
}

// Share mode 0 keeps every other opener off a port on Windows, but Wine does not enforce it for
// serial devices. A named event per port does the same on both: it keeps a second slot, and a
// second Flashpost in the same session, off a port that is held. Object names may not contain a
// backslash, and COM5 and com5 are one port.
std::string ClaimName(const std::string& port) {
  std::string name = "Local\\Flashpost.Port.";
  for (char c : port) {
    name += c == '\\' ? '/' : static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return name;
}

// The claim on the port, or null when another open holds it.
HANDLE ClaimPort(const std::string& port) {
  HANDLE claim = CreateEventA(nullptr, TRUE, FALSE, ClaimName(port).c_str());
  if (claim != nullptr && GetLastError() == ERROR_ALREADY_EXISTS) {
    CloseHandle(claim);
    return nullptr;
  }
  return claim;
}

// Windows refuses a COM port that another program holds with "access denied".
OpenFailure ExplainOpenError(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      return {OpenFailureCause::kNoSuchDevice, "no such device"};
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      return {OpenFailureCause::kInUse, "in use by another program"};
    default:
      break;
  }
  char text[256] = {};
  DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                error, 0, text, sizeof text, nullptr);
  std::string message(text, length);
  while (!message.empty() && (message.back() == '\r' || message.back() == '\n' ||
                              message.back() == ' ' || message.back() == '.')) {
    message.pop_back();
  }
  if (message.empty()) message = "Windows error " + std::to_string(error);
  return {OpenFailureCause::kOther, message};
}

char ParityLetter(BYTE parity) {
  switch (parity) {
    case NOPARITY:
      return 'N';
    case EVENPARITY:
      return 'E';
    case ODDPARITY:
      return 'O';
    default:
      return '?';  // mark or space
  }
}

class Win32SerialDevice final : public SerialDevice {
 public:
  Win32SerialDevice(HANDLE port, HANDLE claim, Clock& clock, uint32_t read_timeout_ms,
                    const COMMTIMEOUTS& saved_timeouts)
      : port_(port),
        claim_(claim),
        clock_(clock),
        read_timeout_ms_(read_timeout_ms),
        saved_timeouts_(saved_timeouts) {}

  ~Win32SerialDevice() override { Close(); }
  Win32SerialDevice(const Win32SerialDevice&) = delete;
  Win32SerialDevice& operator=(const Win32SerialDevice&) = delete;

  bool Configure(uint32_t baud) override {
    if (baud == 0) return false;
    CallGate::Pass call(gate_);
    if (!call) return false;
    // The mode string names no handshake, so the parser turns XON/XOFF and every hardware
    // handshake off and leaves RTS and DTR raised.
    const std::string mode = std::to_string(baud) + ",N,8,1";
    DCB dcb = EmptyDcb();
    if (!GetCommState(port_, &dcb) || !BuildCommDCBA(mode.c_str(), &dcb) ||
        !SetCommState(port_, &dcb)) {
      return false;
    }
    // A driver may keep the nearest speed it can do; only the read-back tells.
    DCB back = EmptyDcb();
    return GetCommState(port_, &back) && back.BaudRate == baud && back.ByteSize == 8 &&
           back.Parity == NOPARITY && back.StopBits == ONESTOPBIT;
  }

  LineSettings Settings() override {
    LineSettings s;
    CallGate::Pass call(gate_);
    DCB dcb = EmptyDcb();
    if (!call || !GetCommState(port_, &dcb)) return s;
    s.baud = dcb.BaudRate;
    s.data_bits = dcb.ByteSize;
    s.parity = ParityLetter(dcb.Parity);
    s.stop_bits = dcb.StopBits == ONESTOPBIT ? 1 : (dcb.StopBits == TWOSTOPBITS ? 2 : 0);
    s.hardware_flow = dcb.fOutxCtsFlow || dcb.fOutxDsrFlow ||
                      dcb.fRtsControl == RTS_CONTROL_HANDSHAKE ||
                      dcb.fDtrControl == DTR_CONTROL_HANDSHAKE;
    s.software_flow = dcb.fOutX || dcb.fInX;
    return s;
  }

  size_t Read(uint8_t* buffer, size_t n) override {
    CallGate::Pass call(gate_);
    if (!call) {
      clock_.Sleep(read_timeout_ms_);
      return 0;
    }
    DWORD got = 0;
    const DWORD want = static_cast<DWORD>(std::min<size_t>(n, MAXDWORD));
    if (!ReadFile(port_, buffer, want, &got, nullptr)) {
      // A line error (overrun, framing, an adapter pulled) fails every read until it is
      // cleared. Sit the time-out out as a silent line instead of spinning; the caller's own
      // time-outs then decide what a dead port means.
      DWORD errors = 0;
      ClearCommError(port_, &errors, nullptr);
      clock_.Sleep(read_timeout_ms_);
      return got;
    }
    if (got < n) clock_.AfterTimedWait(read_timeout_ms_);
    return got;
  }

  bool Write(const uint8_t* data, size_t n, const std::atomic<bool>* give_up) override {
    CallGate::Pass call(gate_);
    if (!call) return false;
    size_t sent = 0;
    while (sent < n) {
      if (gate_.Closing() || (give_up != nullptr && give_up->load())) return false;
      const DWORD chunk = static_cast<DWORD>(std::min<size_t>(n - sent, MAXDWORD));
      DWORD done = 0;
      // A slice that passes with the line held up hands over less, or nothing; some drivers
      // report it as a time-out error instead.
      if (!WriteFile(port_, data + sent, chunk, &done, nullptr)) {
        const DWORD error = GetLastError();
        if (error != ERROR_SEM_TIMEOUT && error != ERROR_TIMEOUT && error != WAIT_TIMEOUT) {
          return false;
        }
      }
      sent += done;
    }
    return true;
  }

  size_t BytesWaiting() override {
    CallGate::Pass call(gate_);
    DWORD errors = 0;
    COMSTAT status{};
    if (!call || !ClearCommError(port_, &errors, &status)) return 0;
    return status.cbInQue;
  }

  void Purge(bool receive, bool transmit) override {
    CallGate::Pass call(gate_);
    DWORD flags = (receive ? PURGE_RXABORT | PURGE_RXCLEAR : 0) |
                  (transmit ? PURGE_TXABORT | PURGE_TXCLEAR : 0);
    if (!call || flags == 0) return;
    PurgeComm(port_, flags);
  }

  void DrainOutput() override {
    CallGate::Pass call(gate_);
    if (!call) return;
    // FlushFileBuffers would wait as long as the line is held up; polling the queue is bounded.
    DWORD queued = QueuedForLine();
    if (queued == 0) return;
    DCB dcb = EmptyDcb();
    const uint32_t baud = GetCommState(port_, &dcb) ? dcb.BaudRate : 0;
    // Real time, whatever clock the program runs on: the line empties at its own pace.
    using std::chrono::steady_clock;
    const auto deadline = steady_clock::now() + DrainTimeLimit(queued, baud);
    while (queued > 0 && !gate_.Closing() && steady_clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      queued = QueuedForLine();
    }
    if (queued > 0) PurgeComm(port_, PURGE_TXABORT | PURGE_TXCLEAR);
  }

  void ClearRtsDtr() override {
    CallGate::Pass call(gate_);
    if (!call) return;
    // Ports without modem lines (ptys under Wine, some adapters) refuse this; nothing to clear.
    EscapeCommFunction(port_, CLRRTS);
    EscapeCommFunction(port_, CLRDTR);
  }

  // Only the time-outs go back. A Windows port has no echo or line discipline of its own, so
  // nothing here can talk back to the module.
  void RestoreSettings() override {
    CallGate::Pass call(gate_);
    if (!call) return;
    COMMTIMEOUTS saved = saved_timeouts_;
    SetCommTimeouts(port_, &saved);
  }

  void Close() override {
    gate_.Close([this] {
      // The port first: the claim must not be free while the handle still holds the device.
      CloseHandle(port_);
      CloseHandle(claim_);
      port_ = INVALID_HANDLE_VALUE;
      claim_ = nullptr;
    });
  }

  bool IsOpen() const override { return !gate_.Closing(); }

 private:
  // Bytes written but not yet sent; 0 when the driver cannot tell.
  DWORD QueuedForLine() {
    DWORD errors = 0;
    COMSTAT status{};
    return ClearCommError(port_, &errors, &status) ? status.cbOutQue : 0;
  }

  static DCB EmptyDcb() {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    return dcb;
  }

  // Written only by Close, once no call is in progress.
  HANDLE port_;
  HANDLE claim_;
  Clock& clock_;
  const uint32_t read_timeout_ms_;
  const COMMTIMEOUTS saved_timeouts_;  // as this open found them, put back by RestoreSettings
  CallGate gate_;
};

}  // namespace

std::unique_ptr<SerialDevice> OpenHostPort(const std::string& name, Clock& clock,
                                           uint32_t read_timeout_ms, OpenFailure& failure) {
  failure = {};
  HANDLE claim = ClaimPort(name);
  if (claim == nullptr) {
    // The claim cannot tell which Flashpost holds it, this one or another.
    failure = {OpenFailureCause::kInUse, "in use by another slot or another Flashpost"};
    return nullptr;
  }
  // The device namespace prefix is what lets COM10 and above open at all.
  const std::string path = "\\\\.\\" + name;
  HANDLE port = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
  if (port == INVALID_HANDLE_VALUE) {
    failure = ExplainOpenError(GetLastError());
    CloseHandle(claim);
    return nullptr;
  }
  // Something that opens but keeps no time-outs is no serial port.
  COMMTIMEOUTS saved{};
  COMMTIMEOUTS ours = PortTimeouts(RealTimeoutMs(clock, read_timeout_ms));
  if (!GetCommTimeouts(port, &saved) || !SetCommTimeouts(port, &ours)) {
    failure = {OpenFailureCause::kNotASerialPort, "not a serial port"};
    CloseHandle(port);
    CloseHandle(claim);
    return nullptr;
  }
  return std::make_unique<Win32SerialDevice>(port, claim, clock, read_timeout_ms, saved);
}

}  // namespace flashpost::platform
