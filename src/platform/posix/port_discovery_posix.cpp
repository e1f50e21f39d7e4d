#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <string_view>

#include "platform/port_discovery.h"
#include "platform/posix/sysfs_ports.h"

namespace flashpost::platform {

namespace {

namespace fs = std::filesystem;

bool IsDigit(char c) { return std::isdigit(static_cast<unsigned char>(c)) != 0; }

// Orders names the way a person reads them: digit runs by value, the rest by text.
bool NaturalLess(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      size_t ie = i, je = j;
      while (ie < a.size() && IsDigit(a[ie])) ++ie;
      while (je < b.size() && IsDigit(b[je])) ++je;
      std::string_view na = a.substr(i, ie - i), nb = b.substr(j, je - j);
      while (na.size() > 1 && na.front() == '0') na.remove_prefix(1);
      while (nb.size() > 1 && nb.front() == '0') nb.remove_prefix(1);
      if (na.size() != nb.size()) return na.size() < nb.size();
      if (na != nb) return na < nb;
      i = ie;
      j = je;
    } else {
      if (a[i] != b[j]) return a[i] < b[j];
      ++i;
      ++j;
    }
  }
  if ((a.size() - i) != (b.size() - j)) return (a.size() - i) < (b.size() - j);
  return a < b;  // only names differing in leading zeros get here
}

// Every 8250 driver registers its full set of ttyS nodes whether or not a UART sits behind
// them; only the driver's probe result tells a real port from an empty slot.
bool UartPresent(const std::string& dev_path) {
  int fd = ::open(dev_path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  serial_struct ss{};
  bool present = ioctl(fd, TIOCGSERIAL, &ss) == 0 && ss.type != PORT_UNKNOWN;
  ::close(fd);
  return present;
}

}  // namespace

std::vector<std::string> DiscoverSysfsPorts(const std::string& sys_class_tty,
                                            const std::string& dev_dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(sys_class_tty, ec), end; !ec && it != end; it.increment(ec)) {
    std::string name = it->path().filename().string();
    // Consoles, ptys and other virtual ttys have no hardware device behind them.
    std::error_code link_ec;
    if (!fs::exists(fs::symlink_status(it->path() / "device", link_ec))) continue;
    if (name.rfind("ttyS", 0) == 0 && !UartPresent(dev_dir + "/" + name)) continue;
    names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  std::vector<std::string> paths;
  paths.reserve(names.size());
  for (const auto& name : names) paths.push_back(dev_dir + "/" + name);
  return paths;
}

std::vector<std::string> DiscoverHostPorts() {
  return AddListedPorts(DiscoverSysfsPorts("/sys/class/tty", "/dev"));
}

}  // namespace flashpost::platform
