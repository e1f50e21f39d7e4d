#include "platform/host_port.h"
#include "platform/port_discovery.h"
#include "platform/serial_device.h"

namespace flashpost::platform {

namespace {

class HostSerialSystem final : public SerialSystem {
 public:
  std::unique_ptr<SerialDevice> Open(const std::string& name, Clock& clock,
                                     uint32_t read_timeout_ms) override {
    OpenFailure ignored;
    return OpenHostPort(name, clock, read_timeout_ms, ignored);
  }
  std::unique_ptr<SerialDevice> Open(const std::string& name, Clock& clock,
                                     uint32_t read_timeout_ms, OpenFailure& failure) override {
    return OpenHostPort(name, clock, read_timeout_ms, failure);
  }
  std::vector<std::string> ListPorts() override { return DiscoverHostPorts(); }
  std::vector<PortDescription> DescribePorts() override { return DescribeHostPorts(ListPorts()); }
};

}  // namespace

std::unique_ptr<SerialSystem> MakeHostSerialSystem() {
  return std::make_unique<HostSerialSystem>();
}

}  // namespace flashpost::platform
