#include "cli/station_steps.h"

#include <algorithm>

#include "board/colors.h"
#include "platform/port_discovery.h"

namespace flashpost::cli {

namespace {

// What the OS says of a name that is no listed port: an open tells it, and a port that does open
// after all (a terminal the scan does not list) is let go at once.
std::string WhyNotAPort(platform::SerialSystem& serial, platform::Clock& clock,
                        const std::string& name) {
  platform::OpenFailure failure;
  if (auto device = serial.Open(name, clock, 0, failure)) {
    device->RestoreSettings();
    device->Close();
    return "";
  }
  return failure.text;
}

}  // namespace

bool ResolvePorts(platform::SerialSystem& serial, platform::Clock& clock,
                  const std::vector<std::string>& given, const std::vector<std::string>& listed,
                  std::vector<NamedPort>& ports, std::string& error) {
  for (const std::string& name : given) {
    if (auto port = platform::FindListedPort(name, listed)) {
      ports.push_back({name, *port});
      continue;
    }
    error = "port '" + Printable(name) +
            "' is not among the ports found (see flashpost ports; FLASHPOST_PORTS adds ports)";
    if (std::string why = WhyNotAPort(serial, clock, name); !why.empty()) error += ": " + why;
    return false;
  }
  return true;
}

bool CheckModulePorts(const char* command, const std::vector<NamedPort>& ports,
                      const std::string& reference, std::string& error) {
  if (ports.size() > static_cast<size_t>(app::kModuleSlotCount)) {
    error =
        std::string(command) + " takes at most " + std::to_string(app::kModuleSlotCount) + " ports";
    return false;
  }
  for (size_t i = 0; i < ports.size(); ++i) {
    const std::string& port = ports[i].listed;
    if (port == reference) {
      error = "port '" + Printable(ports[i].given) +
              "' is the reference receiver's; it cannot also be a module's";
      return false;
    }
    auto same = [&](const NamedPort& other) { return other.listed == port; };
    if (std::any_of(ports.begin(), ports.begin() + static_cast<std::ptrdiff_t>(i), same)) {
      error = "port '" + Printable(ports[i].given) + "' is named twice";
      return false;
    }
  }
  return true;
}

bool CheckModulePortNames(const char* command, const std::vector<std::string>& names,
                          const std::string& reference, std::string& error) {
  std::vector<NamedPort> ports;
  for (const std::string& name : names) ports.push_back({name, name});
  return CheckModulePorts(command, ports, reference, error);
}

bool SplitPortNames(const std::string& text, std::vector<std::string>& names, std::string& error) {
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    std::string name = text.substr(start, comma == std::string::npos ? comma : comma - start);
    if (name.empty()) {
      error = "--ports needs names separated by single commas, not '" + text + "'";
      return false;
    }
    names.push_back(std::move(name));
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

bool OpenReference(app::TMainForm& form, const NamedPort& port, const std::string& baud,
                   bool switch_to_vbi, Reporter& reporter) {
  app::PortBoard& board = form.Board();
  terminal::TerminalPage& page = form.TerminalPage;
  page.ComboBox1.SetText(port.listed);
  page.ComboBox2.SetText(baud);
  page.ComboBox4.SetItemIndex(0);  // NMEA: the receiver speaks it after power-up
  page.Button3.Click();
  if (board.ReadEnabled[app::kTerminalSlot].load() != 1) {
    // The open has said why on the slot's status line.
    reporter.Message("reference " + port.given + ": " + board.StatusText[app::kTerminalSlot].Get(),
                     app::kRed);
    return false;
  }
  if (switch_to_vbi) {
    page.Button6.Click();
    if (board.ProtocolMode[app::kTerminalSlot].load() != 1) {
      reporter.Message("reference " + port.given + ": the switch to VBI did not take", app::kRed);
      return false;
    }
  }
  return true;
}

std::vector<NamedPort> PortsBySlot(const std::vector<std::string>& listed,
                                   const std::vector<NamedPort>& ports, Reporter& reporter) {
  std::vector<NamedPort> slots;
  std::vector<std::string> names;
  for (const std::string& item : listed) {
    for (const NamedPort& port : ports) {
      if (port.listed != item) continue;
      slots.push_back(port);
      names.push_back(port.given);
    }
  }
  reporter.SetPorts(names);
  return slots;
}

void TickPorts(ui::CheckListBox& list, const std::vector<NamedPort>& ports) {
  const std::vector<std::string>& items = list.Items();
  for (size_t i = 0; i < items.size(); ++i) {
    const bool wanted = std::any_of(ports.begin(), ports.end(),
                                    [&](const NamedPort& p) { return p.listed == items[i]; });
    list.SetChecked(static_cast<int>(i), wanted);
  }
}

}  // namespace flashpost::cli
