#include <windows.h>

#include <algorithm>

#include "platform/port_discovery.h"

namespace flashpost::platform {

namespace {

// Every serial port driver enters its ports under this key while they exist: the value name is
// the driver's device (\Device\Serial0, \Device\VCP0...), the string data the port's name (COM1).
constexpr const char* kSerialCommKey = "HARDWARE\\DEVICEMAP\\SERIALCOMM";

// The port names in the key's own order, neither sorted nor de-duplicated; none without the key.
std::vector<std::string> RegistrySerialPorts() {
  std::vector<std::string> ports;
  HKEY key = nullptr;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kSerialCommKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
    return ports;
  }
  DWORD count = 0, longest_name = 0, longest_data = 0;
  if (RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                       &longest_name, &longest_data, nullptr, nullptr) == ERROR_SUCCESS) {
    std::vector<char> name(longest_name + 1);
    std::vector<BYTE> data(longest_data + 1);
    for (DWORD index = 0; index < count; ++index) {
      DWORD name_size = static_cast<DWORD>(name.size());
      DWORD data_size = static_cast<DWORD>(data.size());
      DWORD type = 0;
      // A port that came or went since the count was taken shows as an error here; the next
      // scan sees the key as it is then.
      if (RegEnumValueA(key, index, name.data(), &name_size, nullptr, &type, data.data(),
                        &data_size) != ERROR_SUCCESS ||
          type != REG_SZ) {
        continue;
      }
      // The stored string need not end in a NUL of its own.
      const char* text = reinterpret_cast<const char*>(data.data());
      ports.emplace_back(text, std::find(text, text + data_size, '\0'));
    }
  }
  RegCloseKey(key);
  return ports;
}

}  // namespace

std::vector<std::string> DiscoverHostPorts() { return AddListedPorts(RegistrySerialPorts()); }

}  // namespace flashpost::platform
