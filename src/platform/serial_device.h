#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "platform/port_description.h"

namespace flashpost::platform {

// Line settings as the driver reports them.
struct LineSettings {
  uint32_t baud = 0;
  int data_bits = 0;
  char parity = '?';  // 'N', 'E' or 'O'
  int stop_bits = 0;
  bool hardware_flow = false;
  bool software_flow = false;
};

// One open serial port. Read and Write may run on one thread while Close runs on another: Close
// first makes any call in progress return, waits for it, and only then releases the device, so
// the OS handle is never closed under a reader. After Close, Read behaves like a silent line and
// Write fails.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;

  // Raw 8N1 at the given speed, no flow control, receiver on, modem lines ignored.
  // False when the driver refuses the speed.
  virtual bool Configure(uint32_t baud) = 0;
  virtual LineSettings Settings() = 0;

  // Returns once n bytes have arrived or the read time-out has passed, with what arrived.
  virtual size_t Read(uint8_t* buffer, size_t n) = 0;
  // Blocks until every byte is handed to the driver. False when the port failed or was closed,
  // or as soon as give_up is set: a write to a line that takes no more bytes (a stalled USB
  // adapter) would otherwise never end. Bytes handed over before that have gone out.
  virtual bool Write(const uint8_t* data, size_t n, const std::atomic<bool>* give_up = nullptr) = 0;

  // Bytes waiting in the receive queue.
  virtual size_t BytesWaiting() = 0;
  virtual void Purge(bool receive, bool transmit) = 0;
  // Waits until the bytes written so far have left the port at its present speed, for at most
  // DrainTimeLimit (line_drain.h); what is still queued then is dropped. Comes before anything
  // that changes the line, or the tail of the last write would go out at the new speed.
  virtual void DrainOutput() = 0;
  virtual void ClearRtsDtr() = 0;
  // Puts back the settings the port had before it was opened, except that the port never talks
  // back to the module: no echo, no flow-control characters of its own.
  virtual void RestoreSettings() = 0;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
};

// Why a port did not open.
enum class OpenFailureCause {
  kNone,              // it opened
  kNoSuchDevice,      // nothing by that name, or no device behind the name
  kInUse,             // held by another program, another Flashpost or another slot of ours
  kNotASerialPort,    // a regular file, a folder, a device that is no terminal
  kPermissionDenied,  // the user may not open the device
  kOther,             // anything else; the text says what the OS said, when it said anything
};

struct OpenFailure {
  OpenFailureCause cause = OpenFailureCause::kNone;
  // The cause in plain words for an operator, to follow a "Cannot open ... port !" line, such as
  // "no such device" or "in use by another program (PID 812, minicom)"; may be empty.
  std::string text;
};

// Opens ports and lists the machine's ports.
class SerialSystem {
 public:
  virtual ~SerialSystem() = default;

  // Opens the named port for exclusive use; nullptr when it is absent or already held (by another
  // program or by another slot of ours). The read time-out is in the clock's milliseconds.
  virtual std::unique_ptr<SerialDevice> Open(const std::string& name, Clock& clock,
                                             uint32_t read_timeout_ms) = 0;
  // The same, telling in `failure` why the port did not open (kNone when it opened). A system
  // that cannot tell reports kOther with no text.
  virtual std::unique_ptr<SerialDevice> Open(const std::string& name, Clock& clock,
                                             uint32_t read_timeout_ms, OpenFailure& failure);

  // The machine's serial ports in a stable order, then the ports named by FLASHPOST_PORTS.
  virtual std::vector<std::string> ListPorts() = 0;

  // The listed port that `name` stands for: `name` itself when ListPorts has it, otherwise the
  // listed port whose device `name` leads to through any chain of links (/dev/serial/by-id/...,
  // compared by canonical path; on Windows COM3, com3 and \\.\COM3 are one port). Nothing when
  // it leads to no listed port.
  std::optional<std::string> ResolvePort(const std::string& name);

  // Every listed port, in ListPorts' order, with what the OS tells of it. A system that knows no
  // more gives the names alone.
  virtual std::vector<PortDescription> DescribePorts();
};

// The serial system of the machine the program runs on.
std::unique_ptr<SerialSystem> MakeHostSerialSystem();

}  // namespace flashpost::platform
