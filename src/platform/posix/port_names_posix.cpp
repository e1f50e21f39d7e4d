#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>

#include "platform/port_discovery.h"
#include "platform/posix/sysfs_ports.h"

namespace flashpost::platform {

namespace {

namespace fs = std::filesystem;

// The path with every link followed; empty when it leads nowhere.
fs::path DevicePath(const fs::path& path) {
  std::error_code ec;
  fs::path device = fs::canonical(path, ec);
  return ec ? fs::path() : device;
}

// The first line of a small sysfs attribute file, without its newline; empty when absent.
std::string ReadAttribute(const fs::path& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) {
    line.pop_back();
  }
  return line;
}

// The links in `folder` that lead to `device`, sorted.
std::vector<std::string> LinksTo(const fs::path& folder, const fs::path& device) {
  std::vector<std::string> links;
  std::error_code ec;
  for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (DevicePath(it->path()) == device) links.push_back(it->path().string());
  }
  std::sort(links.begin(), links.end());
  return links;
}

// A USB serial driver puts the tty under the adapter's interface (ACM) or under a port of its
// own below the interface (ttyUSB), so the USB device, the folder with idVendor, is one or two
// levels up; a tty on PCI or a platform UART has none on its way up.
constexpr int kLevelsUpToUsbDevice = 4;

void AddUsbDetails(const fs::path& tty_device, PortDescription& port) {
  fs::path folder = DevicePath(tty_device);
  for (int level = 0; level < kLevelsUpToUsbDevice && !folder.empty(); ++level) {
    std::error_code ec;
    if (fs::exists(folder / "idVendor", ec) && fs::exists(folder / "idProduct", ec)) {
      port.usb_id = ReadAttribute(folder / "idVendor") + ":" + ReadAttribute(folder / "idProduct");
      port.manufacturer = ReadAttribute(folder / "manufacturer");
      port.product = ReadAttribute(folder / "product");
      port.serial_number = ReadAttribute(folder / "serial");
      return;
    }
    if (folder == folder.parent_path()) return;
    folder = folder.parent_path();
  }
}

}  // namespace

std::optional<std::string> FindListedPort(const std::string& name,
                                          const std::vector<std::string>& listed) {
  if (std::find(listed.begin(), listed.end(), name) != listed.end()) return name;
  const fs::path device = DevicePath(name);
  if (device.empty()) return std::nullopt;
  for (const auto& port : listed) {
    if (DevicePath(port) == device) return port;
  }
  return std::nullopt;
}

PortDescription DescribeSysfsPort(const std::string& port, const std::string& sys_class_tty,
                                  const std::string& dev_serial_dir) {
  PortDescription description;
  description.name = port;
  const fs::path device = DevicePath(port);
  if (device.empty()) return description;
  for (const char* kind : {"by-path", "by-id"}) {
    for (auto& link : LinksTo(fs::path(dev_serial_dir) / kind, device)) {
      description.stable_names.push_back(std::move(link));
    }
  }
  AddUsbDetails(fs::path(sys_class_tty) / device.filename() / "device", description);
  return description;
}

std::vector<PortDescription> DescribeHostPorts(const std::vector<std::string>& ports) {
  std::vector<PortDescription> descriptions;
  for (const auto& port : ports) {
    descriptions.push_back(DescribeSysfsPort(port, "/sys/class/tty", "/dev/serial"));
  }
  return descriptions;
}

}  // namespace flashpost::platform
