#pragma once

#include <optional>
#include <string>
#include <vector>

#include "platform/port_description.h"

namespace flashpost::platform {

// The names of a colon-separated list such as the FLASHPOST_PORTS variable; empty items skipped.
std::vector<std::string> SplitPortList(const std::string& list);

// The machine's ports followed by the names in FLASHPOST_PORTS that are not listed yet.
std::vector<std::string> AddListedPorts(std::vector<std::string> machine_ports);

// The machine's ports followed by those in FLASHPOST_PORTS.
std::vector<std::string> DiscoverHostPorts();

// The port of `listed` that `name` stands for, as SerialSystem::ResolvePort says; each OS has its
// own.
std::optional<std::string> FindListedPort(const std::string& name,
                                          const std::vector<std::string>& listed);

// The ports with what the OS tells of each: on Linux their udev links and the USB adapter's
// details from sysfs, on Windows Device Manager's name.
std::vector<PortDescription> DescribeHostPorts(const std::vector<std::string>& ports);

}  // namespace flashpost::platform
