#include <algorithm>
#include <cstdlib>

#include "platform/port_discovery.h"

namespace flashpost::platform {

std::vector<std::string> SplitPortList(const std::string& list) {
  std::vector<std::string> out;
  size_t start = 0;
  while (start <= list.size()) {
    size_t end = list.find(':', start);
    if (end == std::string::npos) end = list.size();
    if (end > start) out.push_back(list.substr(start, end - start));
    start = end + 1;
  }
  return out;
}

std::vector<std::string> AddListedPorts(std::vector<std::string> ports) {
  const char* extra = std::getenv("FLASHPOST_PORTS");
  if (extra == nullptr) return ports;
  for (auto& port : SplitPortList(extra)) {
    if (std::find(ports.begin(), ports.end(), port) == ports.end()) ports.push_back(port);
  }
  return ports;
}

}  // namespace flashpost::platform
