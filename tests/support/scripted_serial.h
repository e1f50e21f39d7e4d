#pragma once

#include <algorithm>
#include <atomic>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"
#include "platform/serial_device.h"

namespace flashpost::testing {

// One port whose far end the test plays: it puts bytes in the receive queue (at once, or as the
// answer to a key the code writes) and reads back what the code wrote and asked for. It outlives
// the devices opened on it.
class ScriptedPort {
 public:
  // Bytes the module has sent; they wait in the receive queue.
  void Send(const std::string& bytes) {
    std::lock_guard lock(mutex_);
    queue_.insert(queue_.end(), bytes.begin(), bytes.end());
  }
  // The next write of exactly `key` makes `answer` arrive.
  void AnswerTo(std::string key, std::string answer) {
    std::lock_guard lock(mutex_);
    answers_.emplace_back(std::move(key), std::move(answer));
  }
  // The driver counts this many bytes more than it will deliver (a queue emptied behind the
  // program's back).
  void OverstateWaiting(size_t extra) { phantom_.store(extra); }

  std::string Written() {
    std::lock_guard lock(mutex_);
    return written_;
  }
  // The size of every read asked for, in order.
  std::vector<size_t> ReadSizes() {
    std::lock_guard lock(mutex_);
    return read_sizes_;
  }
  size_t Queued() {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }

  std::atomic<int> opens{0};
  std::atomic<int> closes{0};
  std::atomic<int> rx_purges{0};
  std::atomic<uint32_t> baud{0};

  // The device side.
  size_t Waiting() {
    std::lock_guard lock(mutex_);
    return queue_.size() + phantom_.load();
  }
  size_t Take(uint8_t* buffer, size_t n) {
    std::lock_guard lock(mutex_);
    read_sizes_.push_back(n);
    const size_t got = std::min(n, queue_.size());
    std::copy_n(queue_.begin(), got, buffer);
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(got));
    return got;
  }
  void Put(const uint8_t* data, size_t n) {
    std::lock_guard lock(mutex_);
    const std::string bytes(data, data + n);
    written_ += bytes;
    auto answer = std::find_if(answers_.begin(), answers_.end(),
                               [&](const auto& rule) { return rule.first == bytes; });
    if (answer != answers_.end()) {
      queue_.insert(queue_.end(), answer->second.begin(), answer->second.end());
      answers_.erase(answer);
    }
  }
  void DropReceived() {
    std::lock_guard lock(mutex_);
    queue_.clear();
    phantom_.store(0);
    ++rx_purges;
  }

 private:
  std::mutex mutex_;
  std::deque<uint8_t> queue_;                                 // under mutex_
  std::vector<std::pair<std::string, std::string>> answers_;  // under mutex_
  std::string written_;                                       // under mutex_
  std::vector<size_t> read_sizes_;                            // under mutex_
  std::atomic<size_t> phantom_{0};
};

// A device on a scripted port. A read short of what it asked for lasts the read time-out of the
// injected clock, as a real port's would.
class ScriptedDevice final : public platform::SerialDevice {
 public:
  ScriptedDevice(std::shared_ptr<ScriptedPort> port, platform::Clock& clock, uint32_t timeout_ms)
      : port_(std::move(port)), clock_(clock), timeout_ms_(timeout_ms) {}

  bool Configure(uint32_t baud) override {
    port_->baud = baud;
    return true;
  }
  platform::LineSettings Settings() override {
    return {port_->baud.load(), 8, 'N', 1, false, false};
  }
  size_t Read(uint8_t* buffer, size_t n) override {
    const size_t got = open_ ? port_->Take(buffer, n) : 0;
    if (got < n) clock_.Sleep(timeout_ms_);
    return got;
  }
  bool Write(const uint8_t* data, size_t n) override {
    if (!open_) return false;
    port_->Put(data, n);
    return true;
  }
  size_t BytesWaiting() override { return open_ ? port_->Waiting() : 0; }
  void Purge(bool receive, bool) override {
    if (receive && open_) port_->DropReceived();
  }
  void DrainOutput() override {}
  void ClearRtsDtr() override {}
  void RestoreSettings() override {}
  void Close() override {
    if (open_.exchange(false)) ++port_->closes;
  }
  bool IsOpen() const override { return open_; }

 private:
  std::shared_ptr<ScriptedPort> port_;
  platform::Clock& clock_;
  uint32_t timeout_ms_;
  std::atomic<bool> open_{true};
};

// A machine with the named ports, each open to one holder at a time; other names do not open.
class ScriptedSerialSystem final : public platform::SerialSystem {
 public:
  explicit ScriptedSerialSystem(const std::vector<std::string>& names) {
    for (const auto& name : names) ports_[name] = std::make_shared<ScriptedPort>();
  }
  ScriptedPort& Port(const std::string& name) { return *ports_.at(name); }

  std::unique_ptr<platform::SerialDevice> Open(const std::string& name, platform::Clock& clock,
                                               uint32_t timeout_ms) override {
    auto it = ports_.find(name);
    if (it == ports_.end()) return nullptr;
    ScriptedPort& port = *it->second;
    std::lock_guard lock(mutex_);
    if (port.opens.load() > port.closes.load()) return nullptr;  // held already
    ++port.opens;
    return std::make_unique<ScriptedDevice>(it->second, clock, timeout_ms);
  }
  std::vector<std::string> ListPorts() override {
    std::vector<std::string> names;
    for (const auto& entry : ports_) names.push_back(entry.first);
    return names;
  }

 private:
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<ScriptedPort>> ports_;  // fixed after construction
};

}  // namespace flashpost::testing
