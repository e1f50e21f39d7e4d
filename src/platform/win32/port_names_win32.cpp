#include <windows.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <optional>

#include "platform/port_discovery.h"

namespace flashpost::platform {

namespace {

std::string Upper(std::string text) {
  for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return text;
}

// COM3, com3 and \\.\COM3 are one port.
std::string PortKey(const std::string& name) {
  const std::string prefix = "\\\\.\\";
  return Upper(name.rfind(prefix, 0) == 0 ? name.substr(prefix.size()) : name);
}

std::vector<std::string> SubKeys(HKEY key) {
  std::vector<std::string> names;
  char name[256];  // registry key names are at most 255 characters
  for (DWORD index = 0;; ++index) {
    DWORD size = sizeof name;
    LONG result = RegEnumKeyExA(key, index, name, &size, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_NO_MORE_ITEMS) break;
    if (result == ERROR_SUCCESS) names.emplace_back(name, size);
  }
  return names;
}

// A string value of the key or of its subkey; empty when there is none.
std::string StringValue(HKEY key, const char* subkey, const char* value) {
  char text[512];
  DWORD size = sizeof text;
  if (RegGetValueA(key, subkey, value, RRF_RT_REG_SZ, nullptr, text, &size) != ERROR_SUCCESS ||
      size == 0) {
    return "";
  }
  return std::string(text, std::find(text, text + size, '\0'));
}

// Device Manager's name of each port: every device instance under the Enum key (enumerator,
// device, instance) that has a port has its name in "Device Parameters\PortName" and its own
// name in FriendlyName. Only read, never written.
std::map<std::string, std::string> FriendlyPortNames() {
  std::map<std::string, std::string> names;
  HKEY root = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SYSTEM\\CurrentControlSet\\Enum", 0, KEY_READ, &root) !=
      ERROR_SUCCESS) {
    return names;
  }
  for (const auto& enumerator : SubKeys(root)) {
    HKEY bus = nullptr;
    if (RegOpenKeyExA(root, enumerator.c_str(), 0, KEY_READ, &bus) != ERROR_SUCCESS) continue;
    for (const auto& device_id : SubKeys(bus)) {
      HKEY device = nullptr;
      if (RegOpenKeyExA(bus, device_id.c_str(), 0, KEY_READ, &device) != ERROR_SUCCESS) continue;
      for (const auto& instance : SubKeys(device)) {
        const std::string subkey = instance + "\\Device Parameters";
        const std::string port = StringValue(device, subkey.c_str(), "PortName");
        if (port.empty()) continue;
        const std::string friendly = StringValue(device, instance.c_str(), "FriendlyName");
        if (!friendly.empty()) names[PortKey(port)] = friendly;
      }
      RegCloseKey(device);
    }
    RegCloseKey(bus);
  }
  RegCloseKey(root);
  return names;
}

}  // namespace

std::optional<std::string> FindListedPort(const std::string& name,
                                          const std::vector<std::string>& listed) {
  if (std::find(listed.begin(), listed.end(), name) != listed.end()) return name;
  const std::string key = PortKey(name);
  for (const auto& port : listed) {
    if (PortKey(port) == key) return port;
  }
  return std::nullopt;
}

std::vector<PortDescription> DescribeHostPorts(const std::vector<std::string>& ports) {
  const auto friendly = FriendlyPortNames();
  std::vector<PortDescription> descriptions;
  for (const auto& port : ports) {
    PortDescription description;
    description.name = port;
    auto found = friendly.find(PortKey(port));
    if (found != friendly.end()) description.friendly_name = found->second;
    descriptions.push_back(std::move(description));
  }
  return descriptions;
}

}  // namespace flashpost::platform
