#pragma once

#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "sim/pty_pump.h"

namespace flashpost::sim {

// One simulated device on a pseudo-terminal of its own: the program opens PortPath() as its
// serial port. Times come from the injected clock; the device runs on the pump's thread between
// Start and Stop. Every accessor may be called from any thread.
template <class DeviceT, class OptionsT>
class DeviceOnPty {
 public:
  DeviceOnPty(OptionsT options, platform::Clock& clock)
      : device_(std::move(options)), pump_(device_, clock, device_.Options().pace_line_rate) {}
  // The pump's thread uses device_, so it must be stopped before device_ goes; members are
  // destroyed in reverse order (pump_ first), and the explicit Stop says so.
  ~DeviceOnPty() { pump_.Stop(); }
  DeviceOnPty(const DeviceOnPty&) = delete;
  DeviceOnPty& operator=(const DeviceOnPty&) = delete;

  bool ok() const { return pump_.ok(); }
  const std::string& PortPath() const { return pump_.PortPath(); }

  void Start() { pump_.Start(); }
  void Stop() { pump_.Stop(); }

  // Every byte the program sent, time-stamped in clock ticks.
  std::vector<ReceivedChunk> Received() const { return pump_.Received(); }
  // All understood bytes concatenated.
  std::string ReceivedText() const { return pump_.ReceivedText(); }

 protected:
  // Reads the device while the pump holds it still.
  template <typename T>
  T Read(T (DeviceT::*getter)() const) const {
    auto lock = pump_.Lock();
    return (device_.*getter)();
  }
  template <class F>
  auto With(F&& f) const {
    auto lock = pump_.Lock();
    return f(device_);
  }

 private:
  DeviceT device_;  // touched only under pump_.Lock()
  PtyPump pump_;
};

}  // namespace flashpost::sim
