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

#include "platform/serial_device.h"

namespace flashpost::testing {

// One fake port: what the code did to it, readable after the device is gone, and the far end the
// test plays. The test queues the module's bytes (at once, or as the answer to a key the code
// writes); a read short of what it asked for lasts the read time-out of the injected clock.
struct FakePortLog {
  std::atomic<int> opens{0};
  std::atomic<uint32_t> baud{0};
  std::atomic<int> rx_purges{0};
  std::atomic<int> tx_purges{0};
  std::atomic<int> drains{0};
  std::atomic<int> restores{0};
  std::atomic<int> restores_after_drain{0};
  std::atomic<int> rts_dtr_clears{0};
  std::atomic<int> closes{0};
  std::atomic<bool> refuse_every_baud{false};
  std::atomic<size_t> last_read_size{0};

  struct Write {
    uint32_t tick;
    std::string bytes;
  };
  std::vector<Write> Writes() {
    std::lock_guard lock(mutex);
    return writes;
  }
  std::string Written() {
    std::string all;
    for (const Write& w : Writes()) all += w.bytes;
    return all;
  }
  // Bytes the module has sent; they wait in the receive queue.
  void Send(const std::string& bytes) {
    std::lock_guard lock(mutex);
    queue.insert(queue.end(), bytes.begin(), bytes.end());
  }
  // The next write of exactly `key` makes `answer` arrive.
  void AnswerTo(std::string key, std::string answer) {
    std::lock_guard lock(mutex);
    answers.emplace_back(std::move(key), std::move(answer));
  }

  std::mutex mutex;
  std::vector<Write> writes;                                 // under mutex
  std::deque<uint8_t> queue;                                 // under mutex
  std::vector<std::pair<std::string, std::string>> answers;  // under mutex
};

class FakeDevice final : public platform::SerialDevice {
 public:
  FakeDevice(std::shared_ptr<FakePortLog> log, platform::Clock& clock, uint32_t timeout_ms)
      : log_(std::move(log)), clock_(clock), timeout_ms_(timeout_ms) {}
  bool Configure(uint32_t baud) override {
    if (log_->refuse_every_baud) return false;
    log_->baud = baud;
    return true;
  }
  platform::LineSettings Settings() override { return {log_->baud, 8, 'N', 1, false, false}; }
  size_t Read(uint8_t* buffer, size_t n) override {
    size_t got = 0;
    if (open_) {
      std::lock_guard lock(log_->mutex);
      log_->last_read_size = n;
      got = std::min(n, log_->queue.size());
      std::copy_n(log_->queue.begin(), got, buffer);
      log_->queue.erase(log_->queue.begin(), log_->queue.begin() + static_cast<ptrdiff_t>(got));
    }
    if (got < n || n == 0) clock_.Sleep(timeout_ms_);
    return got;
  }
  bool Write(const uint8_t* data, size_t n, const std::atomic<bool>* give_up) override {
    if (!open_ || (give_up != nullptr && give_up->load())) return false;
    std::lock_guard lock(log_->mutex);
    std::string bytes(data, data + n);
    auto& answers = log_->answers;
    auto answer = std::ranges::find(answers, bytes, &std::pair<std::string, std::string>::first);
    if (answer != answers.end()) {
      log_->queue.insert(log_->queue.end(), answer->second.begin(), answer->second.end());
      answers.erase(answer);
    }
    log_->writes.push_back({clock_.Ticks(), std::move(bytes)});
    return true;
  }
  size_t BytesWaiting() override {
    std::lock_guard lock(log_->mutex);
    return log_->queue.size();
  }
  void Purge(bool receive, bool transmit) override {
    if (transmit) ++log_->tx_purges;
    if (!receive) return;
    ++log_->rx_purges;
    std::lock_guard lock(log_->mutex);
    log_->queue.clear();
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
