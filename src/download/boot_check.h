#pragma once

#include <cstdint>
#include <string>

#include "serial/slot_job.h"

namespace flashpost::download {

// What a module showed after its update.
struct BootCheck {
  bool nmea_heard = false;  // an intact NMEA sentence came: the new firmware runs
  std::string version;      // fields 3 and 4 of its version report, "5.1"; empty: no answer
};

// A module restarts its firmware at its own speed once it has taken a whole image. This opens
// the slot's port at that speed, waits for the firmware's NMEA, asks for the version with the
// probe (again every second until it answers) and takes the report, all within limit_ms; then
// the port is closed. A stop ends it at once.
BootCheck CheckBoot(const serial::SlotJob& job, const std::string& port_name,
                    const std::string& baud_text, uint32_t limit_ms);

}  // namespace flashpost::download
