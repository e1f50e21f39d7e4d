#include "platform/serial_device.h"

namespace flashpost::platform {

std::unique_ptr<SerialDevice> SerialSystem::Open(const std::string& name, Clock& clock,
                                                 uint32_t read_timeout_ms, OpenFailure& failure) {
  auto device = Open(name, clock, read_timeout_ms);
  failure = device ? OpenFailure{} : OpenFailure{OpenFailureCause::kOther, ""};
  return device;
}

}  // namespace flashpost::platform
