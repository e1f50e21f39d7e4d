#pragma once

#include <string>
#include <vector>

namespace flashpost::platform {

// The names of a colon-separated list such as the FLASHPOST_PORTS variable; empty items skipped.
std::vector<std::string> SplitPortList(const std::string& list);

// The machine's ports followed by the names in FLASHPOST_PORTS that are not listed yet.
std::vector<std::string> AddListedPorts(std::vector<std::string> machine_ports);

// The machine's ports followed by those in FLASHPOST_PORTS.
std::vector<std::string> DiscoverHostPorts();

}  // namespace flashpost::platform
