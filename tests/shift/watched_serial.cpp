#include "shift/watched_serial.h"

#include <atomic>
#include <utility>

namespace flashpost::shift {

class WatchedSerial::Device final : public platform::SerialDevice {
 public:
  Device(WatchedSerial& owner, std::string name, platform::Clock& clock,
         std::unique_ptr<platform::SerialDevice> device)
      : owner_(owner), name_(std::move(name)), clock_(clock), device_(std::move(device)) {}
  ~Device() override { Close(); }

  bool Configure(uint32_t baud) override { return device_->Configure(baud); }
  platform::LineSettings Settings() override { return device_->Settings(); }
  size_t Read(uint8_t* buffer, size_t n) override {
    const size_t got = device_->Read(buffer, n);
    if (got > 0) owner_.Read(name_, buffer, got, clock_.Ticks());
    return got;
  }
  bool Write(const uint8_t* data, size_t n) override {
    owner_.Wrote(name_, n);
    return device_->Write(data, n);
  }
  size_t BytesWaiting() override { return device_->BytesWaiting(); }
  void Purge(bool receive, bool transmit) override { device_->Purge(receive, transmit); }
  void DrainOutput() override { device_->DrainOutput(); }
  void ClearRtsDtr() override { device_->ClearRtsDtr(); }
  void RestoreSettings() override { device_->RestoreSettings(); }
  void Close() override {
    device_->Close();
    if (!closed_.exchange(true)) owner_.Closed(name_);
  }
  bool IsOpen() const override { return device_->IsOpen(); }

 private:
  WatchedSerial& owner_;
  const std::string name_;
  platform::Clock& clock_;
  std::unique_ptr<platform::SerialDevice> device_;
  std::atomic<bool> closed_{false};
};

WatchedSerial::WatchedSerial() = default;
WatchedSerial::~WatchedSerial() = default;

std::unique_ptr<platform::SerialDevice> WatchedSerial::Open(const std::string& name,
                                                            platform::Clock& clock,
                                                            uint32_t read_timeout_ms) {
  auto device = host_->Open(name, clock, read_timeout_ms);
  if (!device) return nullptr;
  std::lock_guard lock(mutex_);
  open_.insert(name);
  return std::make_unique<Device>(*this, name, clock, std::move(device));
}

std::vector<std::string> WatchedSerial::ListPorts() {
  std::lock_guard lock(mutex_);
  return listed_;
}

void WatchedSerial::SetListed(std::vector<std::string> ports) {
  std::lock_guard lock(mutex_);
  listed_ = std::move(ports);
}

void WatchedSerial::SetQuiet(std::set<std::string> ports) {
  std::lock_guard lock(mutex_);
  quiet_ = std::move(ports);
}

std::vector<std::string> WatchedSerial::TakeQuietWrites() {
  std::lock_guard lock(mutex_);
  return std::exchange(quiet_writes_, {});
}

void WatchedSerial::Follow(std::set<std::string> ports) {
  std::lock_guard lock(mutex_);
  followed_.clear();
  for (const std::string& port : ports) followed_[port];
}

std::optional<uint32_t> WatchedSerial::FirstRead(const std::string& port,
                                                 std::string_view text) const {
  std::lock_guard lock(mutex_);
  auto it = followed_.find(port);
  if (it == followed_.end() || text.empty()) return std::nullopt;
  const size_t at = it->second.text.find(text);
  if (at == std::string::npos) return std::nullopt;
  return it->second.ticks[at + text.size() - 1];
}

std::multiset<std::string> WatchedSerial::OpenPorts() const {
  std::lock_guard lock(mutex_);
  return open_;
}

void WatchedSerial::Wrote(const std::string& port, size_t bytes) {
  std::lock_guard lock(mutex_);
  if (quiet_.count(port) != 0) {
    quiet_writes_.push_back(std::to_string(bytes) + " byte(s) written to " + port);
  }
}

void WatchedSerial::Read(const std::string& port, const uint8_t* data, size_t n, uint32_t tick) {
  std::lock_guard lock(mutex_);
  auto it = followed_.find(port);
  if (it == followed_.end()) return;
  it->second.text.append(data, data + n);
  it->second.ticks.insert(it->second.ticks.end(), n, tick);
}

void WatchedSerial::Closed(const std::string& port) {
  std::lock_guard lock(mutex_);
  if (auto it = open_.find(port); it != open_.end()) open_.erase(it);
}

}  // namespace flashpost::shift
