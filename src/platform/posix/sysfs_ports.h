#pragma once

#include <string>
#include <vector>

namespace flashpost::platform {

// Serial devices found under a sysfs tty class folder (normally /sys/class/tty): entries with a
// device behind them, legacy ttyS ports only when a UART answers. Named by their /dev path and
// sorted by name, with numbers in numeric order (ttyUSB2 before ttyUSB10).
std::vector<std::string> DiscoverSysfsPorts(const std::string& sys_class_tty,
                                            const std::string& dev_dir);

}  // namespace flashpost::platform
