#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial_device.h"

namespace flashpost::shift {

// The host's serial ports as the program sees them during a shift, watched from the program's
// side of every line: which ports are open now, every write to a port the shift has declared
// quiet (the modules of a stopped run, until the next Start), and what the program read from
// the ports the shift follows, with the time of each read.
class WatchedSerial final : public platform::SerialSystem {
 public:
  WatchedSerial();
  ~WatchedSerial() override;

  std::unique_ptr<platform::SerialDevice> Open(const std::string& name, platform::Clock& clock,
                                               uint32_t read_timeout_ms) override;
  // The ports of the job at hand, as FLASHPOST_PORTS would list them.
  std::vector<std::string> ListPorts() override;
  void SetListed(std::vector<std::string> ports);

  // From now on a write to one of these ports is a fault; an empty set ends the quiet.
  void SetQuiet(std::set<std::string> ports);
  // The writes made to quiet ports since the last call, one line each.
  std::vector<std::string> TakeQuietWrites();

  // Keeps what the program reads from these ports from now on (the earlier record is dropped).
  void Follow(std::set<std::string> ports);
  // The clock tick at which the program had first read the whole of `text` from `port` since
  // Follow.
  std::optional<uint32_t> FirstRead(const std::string& port, std::string_view text) const;

  // Every port with an open device, once per open device.
  std::multiset<std::string> OpenPorts() const;

 private:
  class Device;
  struct Followed {
    std::string text;
    std::vector<uint32_t> ticks;  // one per byte of text
  };

  void Wrote(const std::string& port, size_t bytes);
  void Read(const std::string& port, const uint8_t* data, size_t n, uint32_t tick);
  void Closed(const std::string& port);

  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  mutable std::mutex mutex_;  // guards everything below
  std::vector<std::string> listed_;
  std::set<std::string> quiet_;
  std::vector<std::string> quiet_writes_;
  std::map<std::string, Followed> followed_;
  std::multiset<std::string> open_;
};

}  // namespace flashpost::shift
