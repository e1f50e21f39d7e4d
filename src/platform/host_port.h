#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/serial_device.h"

namespace flashpost::platform {

// Opens one of this machine's serial ports for exclusive use, as SerialSystem::Open describes,
// saying why when it fails; each OS has its own.
std::unique_ptr<SerialDevice> OpenHostPort(const std::string& name, Clock& clock,
                                           uint32_t read_timeout_ms, OpenFailure& failure);

}  // namespace flashpost::platform
