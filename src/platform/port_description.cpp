#include "platform/port_description.h"

#include <cstdio>

namespace flashpost::platform {

namespace {

bool NeedsEscape(unsigned char c) { return c < 0x20 || c == 0x7f || c == '"' || c == '\\'; }

// The strings come from the adapter's own descriptors, so any byte can be in them.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (NeedsEscape(c)) {
      char hex[5];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Word(const std::string& name) {
  for (unsigned char c : name) {
    if (c == ' ' || NeedsEscape(c)) return Quoted(name);
  }
  return name;
}

}  // namespace

std::string FormatPortDescription(const PortDescription& port) {
  std::string line = Word(port.name);
  for (const auto& stable : port.stable_names) line += " " + Word(stable);
  if (!port.usb_id.empty()) line += " usb=" + port.usb_id;
  const std::pair<const char*, const std::string*> fields[] = {
      {"manufacturer", &port.manufacturer},
      {"product", &port.product},
      {"serial", &port.serial_number},
      {"description", &port.friendly_name},
  };
  for (const auto& [key, value] : fields) {
    if (!value->empty()) line += std::string(" ") + key + "=" + Quoted(*value);
  }
  return line;
}

}  // namespace flashpost::platform
