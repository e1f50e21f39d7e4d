#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/application.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "ui/control.h"

namespace flashpost::shift {

// The host's serial ports, watched from the program's side: which are open, every write to a port
// declared quiet (a stopped run's modules, until the next Start), and what the program read from
// each port and when.
class WatchedSerial final : public platform::SerialSystem {
 public:
  std::unique_ptr<platform::SerialDevice> Open(const std::string& name, platform::Clock& clock,
                                               uint32_t read_timeout_ms) override {
    auto device = host_->Open(name, clock, read_timeout_ms);
    if (!device) return nullptr;
    std::lock_guard lock(mutex_);
    open_.insert(name);
    return std::make_unique<Device>(*this, name, clock, std::move(device));
  }
  std::vector<std::string> ListPorts() override {
    return Locked([&] { return listed_; });
  }
  void SetListed(std::vector<std::string> ports) {
    Locked([&] { listed_ = std::move(ports); });
  }

  // From now on a write to one of these ports is a fault; an empty set ends the quiet.
  void SetQuiet(const std::vector<std::string>& ports) {
    Locked([&] { quiet_ = {ports.begin(), ports.end()}; });
  }
  std::vector<std::string> TakeQuietWrites() {
    return Locked([&] { return std::exchange(quiet_writes_, {}); });
  }

  void ForgetReads() {
    Locked([&] { reads_.clear(); });
  }
  // Whether the program had read the whole of `text` from `port` by `tick`, since ForgetReads.
  bool ReadBy(const std::string& port, std::string_view text, uint32_t tick) const {
    std::lock_guard lock(mutex_);
    auto it = reads_.find(port);
    const size_t at = it == reads_.end() ? std::string::npos : it->second.text.find(text);
    return !text.empty() && at != std::string::npos &&
           static_cast<int32_t>(tick - it->second.ticks[at + text.size() - 1]) >= 0;
  }

  std::multiset<std::string> OpenPorts() const {
    return Locked([&] { return open_; });
  }

 private:
  class Device final : public platform::SerialDevice {
   public:
    Device(WatchedSerial& owner, std::string name, platform::Clock& clock,
           std::unique_ptr<platform::SerialDevice> device)
        : owner_(owner), name_(std::move(name)), clock_(clock), device_(std::move(device)) {}
    ~Device() override { Close(); }

    bool Configure(uint32_t baud) override { return device_->Configure(baud); }
    platform::LineSettings Settings() override { return device_->Settings(); }
    size_t Read(uint8_t* buffer, size_t n) override {
      const size_t got = device_->Read(buffer, n);
      const uint32_t tick = clock_.Ticks();
      owner_.Locked([&] {
        Reads& reads = owner_.reads_[name_];
        reads.text.append(buffer, buffer + got);
        reads.ticks.insert(reads.ticks.end(), got, tick);
      });
      return got;
    }
    bool Write(const uint8_t* data, size_t n, const std::atomic<bool>* give_up) override {
      owner_.Locked([&] {
        if (owner_.quiet_.count(name_) != 0)
          owner_.quiet_writes_.push_back(std::to_string(n) + " byte(s) written to " + name_);
      });
      return device_->Write(data, n, give_up);
    }
    size_t BytesWaiting() override { return device_->BytesWaiting(); }
    void Purge(bool receive, bool transmit) override { device_->Purge(receive, transmit); }
    void DrainOutput() override { device_->DrainOutput(); }
    void ClearRtsDtr() override { device_->ClearRtsDtr(); }
    void RestoreSettings() override { device_->RestoreSettings(); }
    void Close() override {
      device_->Close();
      if (closed_.exchange(true)) return;
      owner_.Locked([&] { owner_.open_.erase(owner_.open_.find(name_)); });
    }
    bool IsOpen() const override { return device_->IsOpen(); }

   private:
    WatchedSerial& owner_;
    const std::string name_;
    platform::Clock& clock_;
    std::unique_ptr<platform::SerialDevice> device_;
    std::atomic<bool> closed_{false};
  };
  struct Reads {
    std::string text;
    std::vector<uint32_t> ticks;  // one per byte of text
  };

  template <class F>
  auto Locked(F f) const -> decltype(f()) {
    std::lock_guard lock(mutex_);
    return f();
  }

  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  mutable std::mutex mutex_;  // guards everything below
  std::vector<std::string> listed_;
  std::set<std::string> quiet_;
  std::vector<std::string> quiet_writes_;
  std::map<std::string, Reads> reads_;
  std::multiset<std::string> open_;
};

// A shift: one application instance works job after job against simulated modules on
// pseudo-terminals, as an operator works a station through a day, runs stopped at random moments
// and started again at once. Every verdict the operator sees is held against what the simulated
// module received and did; after every job nothing of it may be left running, writing or open.

// How much faster than the wall the shift's clock, which the simulated modules share, runs.
inline constexpr double kShiftSpeedUp = 80.0;

struct Station {
  app::Application& application;
  WatchedSerial& serial;
  platform::Clock& clock;
  // Serves the main loop until done() holds (looked at after the loop's work) or limit_ms of
  // clock time have passed; true when done() held.
  std::function<bool(const std::function<bool()>& done, uint32_t limit_ms)> serve_until;
  std::function<void(ui::Control& control)> click;
};

// Works FLASHPOST_SHIFT_JOBS jobs (100 unless set) drawn from FLASHPOST_SHIFT_SEED, then stops
// everything and checks that nothing is left running or open. Faults, a verdict the modules
// contradict among them, are test failures naming the seed and the job.
void RunShift(Station station, const std::string& instance);

// Runs `shift`, then expects no more threads and descriptors than before.
void ExpectNothingLeftOver(const std::function<void()>& shift);

}  // namespace flashpost::shift
