#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/serial_device.h"

namespace flashpost::testing {

// The host's ports, listed as only the simulator's ptys (what FLASHPOST_PORTS would add).
class ListedPorts final : public platform::SerialSystem {
 public:
  explicit ListedPorts(std::vector<std::string> names) : names_(std::move(names)) {}
  std::unique_ptr<platform::SerialDevice> Open(const std::string& name, platform::Clock& clock,
                                               uint32_t read_timeout_ms) override {
    return host_->Open(name, clock, read_timeout_ms);
  }
  std::unique_ptr<platform::SerialDevice> Open(const std::string& name, platform::Clock& clock,
                                               uint32_t read_timeout_ms,
                                               platform::OpenFailure& failure) override {
    return host_->Open(name, clock, read_timeout_ms, failure);
  }
  std::vector<std::string> ListPorts() override { return names_; }

 private:
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  std::vector<std::string> names_;
};

// Everything written to a temporary file; closes it.
inline std::string Slurp(std::FILE* f) {
  std::string text;
  std::rewind(f);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
  std::fclose(f);
  return text;
}

}  // namespace flashpost::testing
