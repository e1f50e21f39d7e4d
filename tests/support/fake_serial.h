#pragma once

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/serial_device.h"

namespace flashpost::testing {

// What the code did to one fake port, readable from the test after the device is gone.
struct FakePortLog {
  std::atomic<int> opens{0};
  std::atomic<int> configures{0};
  std::atomic<uint32_t> baud{0};
  std::atomic<int> rx_purges{0};
  std::atomic<int> drains{0};
  std::atomic<int> restores{0};
  std::atomic<int> restores_after_drain{0};
  std::atomic<int> rts_dtr_clears{0};
  std::atomic<int> closes{0};
  std::atomic<bool> refuse_every_baud{false};
  std::atomic<size_t> waiting_at_open{0};

  struct Write {
    uint32_t tick;
    std::string bytes;
  };
  std::vector<Write> Writes() {
    std::lock_guard lock(mutex);
    return writes;
  }
  std::mutex mutex;
  std::vector<Write> writes;  // under mutex
};

// A port that records the calls made on it; reads return nothing after the clock's read time-out.
class FakeDevice final : public platform::SerialDevice {
 public:
  FakeDevice(std::shared_ptr<FakePortLog> log, platform::Clock& clock, uint32_t timeout_ms)
      : log_(std::move(log)), clock_(clock), timeout_ms_(timeout_ms) {
    waiting_ = log_->waiting_at_open.load();
  }
  bool Configure(uint32_t baud) override {
    ++log_->configures;
    if (log_->refuse_every_baud) return false;
    log_->baud = baud;
    return true;
  }
  platform::LineSettings Settings() override {
    return {log_->baud.load(), 8, 'N', 1, false, false};
  }
  size_t Read(uint8_t*, size_t) override {
    clock_.Sleep(timeout_ms_);
    return 0;
  }
  bool Write(const uint8_t* data, size_t n) override {
    if (!open_) return false;
    std::lock_guard lock(log_->mutex);
    log_->writes.push_back({clock_.Ticks(), std::string(data, data + n)});
    return true;
  }
  size_t BytesWaiting() override { return waiting_; }
  void Purge(bool receive, bool) override {
    if (receive) {
      ++log_->rx_purges;
      waiting_ = 0;
    }
  }
  void ClearRtsDtr() override { ++log_->rts_dtr_clears; }
  void DrainOutput() override { ++log_->drains; }
  void RestoreSettings() override {
    ++log_->restores;
    if (log_->drains.load() > 0) ++log_->restores_after_drain;
  }
  void Close() override {
    if (open_.exchange(false)) ++log_->closes;
  }
  bool IsOpen() const override { return open_; }

 private:
  std::shared_ptr<FakePortLog> log_;
  platform::Clock& clock_;
  uint32_t timeout_ms_;
  std::atomic<size_t> waiting_{0};
  std::atomic<bool> open_{true};
};

// A machine with the listed ports; each can be opened once at a time, like a real one.
class FakeSerialSystem final : public platform::SerialSystem {
 public:
  explicit FakeSerialSystem(std::vector<std::string> ports = {}) : ports_(std::move(ports)) {
    for (const auto& p : ports_) logs_[p] = std::make_shared<FakePortLog>();
  }
  std::shared_ptr<FakePortLog> Log(const std::string& name) { return logs_.at(name); }

  std::unique_ptr<platform::SerialDevice> Open(const std::string& name, platform::Clock& clock,
                                               uint32_t timeout_ms) override {
    std::lock_guard lock(mutex_);
    auto it = logs_.find(name);
    if (it == logs_.end()) return nullptr;
    auto& log = *it->second;
    if (log.opens.load() > log.closes.load()) return nullptr;  // held already
    ++log.opens;
    return std::make_unique<FakeDevice>(it->second, clock, timeout_ms);
  }
  std::vector<std::string> ListPorts() override { return ports_; }

 private:
  std::mutex mutex_;
  std::vector<std::string> ports_;
  std::map<std::string, std::shared_ptr<FakePortLog>> logs_;
};

}  // namespace flashpost::testing
