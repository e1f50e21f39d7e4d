#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/module_options.h"

namespace flashpost::sim {

// What the kx420-sim command line asks for.
struct SimArgs {
  int modules = 1;
  uint32_t baud = 9600;
  std::string version_field3 = "5", version_field4 = "1";
  bool silent = false;
  bool dead = false;
  uint32_t erase_ms = 2000;
  uint32_t fail_block = 0;
  bool pace = false;
  bool export_ports = false;
  bool help = false;
  // The modules' VBI calibration firmware (--vbi, --vbi-after-download and its faults).
  VbiOptions vbi;
  // The reference receiver, on a port of its own.
  bool reference = false;
  uint32_t reference_baud = 0;  // 0: the modules' speed
  bool reference_vbi = false;
  std::string replay;  // a recorded NMEA log it plays; implies `reference`
};

constexpr int kMaxModules = 16;

// The usage text, ending in a line feed.
const char* SimUsage();

// Parses the arguments after the program name. False with a one-line reason in `error` when they
// are not understood; `out` is then unspecified.
bool ParseSimArgs(const std::vector<std::string>& args, SimArgs& out, std::string& error);

}  // namespace flashpost::sim
