#pragma once

#include <string>
#include <vector>

#include "app/main_form.h"
#include "cli/report.h"
#include "platform/serial_device.h"
#include "ui/control.h"

namespace flashpost::cli {

// A port as the command line named it, and the port of the scan's list it is: the listed name
// itself, or a link to it such as /dev/serial/by-id/....
struct NamedPort {
  std::string given;
  std::string listed;
};

// The ports named on the command line, each checked against the ports the scan lists: a listed
// name, or a link to a listed port, is taken. False with the reason naming the first port that
// is not among them, and what the OS says of it (no such device, not a serial port, ...).
bool ResolvePorts(platform::SerialSystem& serial, platform::Clock& clock,
                  const std::vector<std::string>& given, const std::vector<std::string>& listed,
                  std::vector<NamedPort>& ports, std::string& error);

// The module ports of a multi-port command: at most eight, none named twice, none the
// reference's. False with the reason otherwise. Checked on the names given, and again on the
// ports they are, as two links may name one port.
bool CheckModulePorts(const char* command, const std::vector<NamedPort>& ports,
                      const std::string& reference, std::string& error);
bool CheckModulePortNames(const char* command, const std::vector<std::string>& names,
                          const std::string& reference, std::string& error);

// The comma-separated names of --ports; empty items are an error.
bool SplitPortNames(const std::string& text, std::vector<std::string>& names, std::string& error);

// Opens the reference receiver on the terminal page in NMEA at `baud` (and switches it to VBI
// when asked). False, with the reason shown through the reporter, when it did not open or switch.
bool OpenReference(app::TMainForm& form, const NamedPort& port, const std::string& baud,
                   bool switch_to_vbi, Reporter& reporter);

// The ports as the page gives them slots: slot k is the k-th ticked port in the order the scan
// lists them, not the order they were named. The reporter is told the names they were given by.
std::vector<NamedPort> PortsBySlot(const std::vector<std::string>& listed,
                                   const std::vector<NamedPort>& ports, Reporter& reporter);

// Ticks exactly the listed entries that are among `ports`.
void TickPorts(ui::CheckListBox& list, const std::vector<NamedPort>& ports);

}  // namespace flashpost::cli
