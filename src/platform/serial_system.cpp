#include "platform/port_discovery.h"
#include "platform/serial_device.h"

namespace flashpost::platform {

std::unique_ptr<SerialDevice> SerialSystem::Open(const std::string& name, Clock& clock,
                                                 uint32_t read_timeout_ms, OpenFailure& failure) {
  auto device = Open(name, clock, read_timeout_ms);
  failure = device ? OpenFailure{} : OpenFailure{OpenFailureCause::kOther, ""};
  return device;
}

std::optional<std::string> SerialSystem::ResolvePort(const std::string& name) {
  return FindListedPort(name, ListPorts());
}

std::vector<PortDescription> SerialSystem::DescribePorts() {
  std::vector<PortDescription> descriptions;
  for (auto& name : ListPorts()) {
    PortDescription description;
    description.name = std::move(name);
    descriptions.push_back(std::move(description));
  }
  return descriptions;
}

}  // namespace flashpost::platform
