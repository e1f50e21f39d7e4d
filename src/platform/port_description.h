#pragma once

#include <string>
#include <vector>

namespace flashpost::platform {

// What the OS tells of one listed port besides its name; fields it does not tell stay empty.
struct PortDescription {
  std::string name;  // as the port list gives it
  // Names that stay with the adapter across reboots and replugs: on Linux the udev links that
  // lead to the port, /dev/serial/by-path/... (the USB socket) then /dev/serial/by-id/... (the
  // adapter's own serial number), each group sorted.
  std::vector<std::string> stable_names;
  std::string usb_id;  // "0403:6001": the USB adapter's vendor and product ids
  std::string manufacturer;
  std::string product;
  std::string serial_number;
  std::string friendly_name;  // Windows' name for the port, "USB Serial Port (COM3)"
};

// One line for `flashpost ports`: the name, the stable names, then usb=VID:PID and
// manufacturer="...", product="...", serial="...", description="..." for the fields that are
// known. Values are quoted; a name is quoted only when it holds a space, a quote, a backslash or
// a control character. Inside quotes, \" \\ and \xNN escape those.
std::string FormatPortDescription(const PortDescription& port);

}  // namespace flashpost::platform
