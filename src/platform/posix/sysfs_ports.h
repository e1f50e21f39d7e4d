#pragma once

#include <string>
#include <vector>

#include "platform/port_description.h"

namespace flashpost::platform {

// Serial devices found under a sysfs tty class folder (normally /sys/class/tty): entries with a
// device behind them, legacy ttyS ports only when a UART answers. Named by their /dev path and
// sorted by name, with numbers in numeric order (ttyUSB2 before ttyUSB10).
std::vector<std::string> DiscoverSysfsPorts(const std::string& sys_class_tty,
                                            const std::string& dev_dir);

// What the udev links and sysfs tell of a port: the links under dev_serial_dir (normally
// /dev/serial) in its by-path and by-id folders that lead to the port's device, and for a USB
// adapter the USB device's ids and strings, found by walking up from sys_class_tty/NAME/device.
PortDescription DescribeSysfsPort(const std::string& port, const std::string& sys_class_tty,
                                  const std::string& dev_serial_dir);

}  // namespace flashpost::platform
