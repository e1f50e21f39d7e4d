#pragma once

#include <string>

#include "platform/serial_device.h"

namespace flashpost::platform {

// Why opening `path` as a serial port failed. `error` is the errno of the step that failed (the
// open, the lock or the first terminal call); what the path is, and who holds it, are looked up.
OpenFailure ExplainOpenFailure(const std::string& path, int error);

}  // namespace flashpost::platform
