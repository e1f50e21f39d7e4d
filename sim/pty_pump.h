#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/clock.h"
#include "platform/pty.h"
#include "sim/device.h"
#include "sim/line_delay.h"

namespace flashpost::sim {

// One stretch of bytes the program sent, as the far end saw it arrive.
struct ReceivedChunk {
  uint32_t tick_ms;    // clock tick at arrival
  uint32_t line_baud;  // the speed the program's side was set to when it sent them
  bool understood;     // the device listens at that speed and framing, so it took the bytes in
  size_t size;         // how many bytes arrived
  std::vector<uint8_t> bytes;  // those bytes, or nothing once the log has let them go
};

// Plays a Device on the master side of a pseudo-terminal, on a thread of its own: it reads the
// program's line settings whenever bytes arrive and before anything is sent, hands the device the
// bytes and the time, puts the device's output on the line, and records every byte received.
// The device is only touched under the pump's mutex; owners reach it through Lock().
//
// A pty moves bytes at once. With `pace_line_rate` the pump holds them back both ways until
// they would have crossed a real line at its speed (see LineDelay), so the device hears a
// packet's last byte, and can answer it, no earlier than on real hardware.
//
// The log is bounded: it keeps the latest kKeptChunks chunks, and the bytes of the latest
// kKeptBytes; older chunks keep only their tick and size.
class PtyPump {
 public:
  static constexpr size_t kKeptChunks = 16384;
  static constexpr size_t kKeptBytes = 1 << 20;

  PtyPump(Device& device, platform::Clock& clock, bool pace_line_rate = false);
  ~PtyPump();  // stops the thread
  PtyPump(const PtyPump&) = delete;
  PtyPump& operator=(const PtyPump&) = delete;

  bool ok() const { return pty_.ok(); }
  const std::string& PortPath() const { return pty_.SlavePath(); }

  // Start and Stop belong to the owner's thread. Start after Stop resumes with the device as it
  // was left.
  void Start();
  void Stop();

  std::vector<ReceivedChunk> Received() const;
  // All understood bytes still kept, concatenated.
  std::string ReceivedText() const;
  // Chunks that fell out of the log.
  uint64_t DroppedChunks() const;

  // Holds the device still for an owner that reads or changes it.
  std::unique_lock<std::mutex> Lock() const { return std::unique_lock(mutex_); }

 private:
  void Run();
  LineState ReadLine() const;
  // Hands bytes from the program's write number `write` to the device and logs them.
  void Deliver(uint32_t tick, const LineState& line, std::vector<uint8_t> bytes, uint64_t write);

  Device& device_;
  platform::Clock& clock_;
  platform::PseudoTerminal pty_;
  const bool pace_;

  mutable std::mutex mutex_;  // guards everything below, and device_
  std::deque<ReceivedChunk> received_;
  size_t first_with_bytes_ = 0;  // received_[i] for i below it hold no bytes any more
  size_t kept_bytes_ = 0;
  uint64_t dropped_chunks_ = 0;
  uint64_t writes_ = 0;             // reads from the pty, one per stretch the program wrote
  uint64_t last_logged_write_ = 0;  // received_.back() came from it
  LineDelay from_program_, to_program_;

  std::atomic<bool> stop_{false};
  std::thread thread_;
};

}  // namespace flashpost::sim
