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
  bool dead_after_image = false;
  uint32_t erase_ms = 2000;
  uint32_t fail_block = 0;
  bool pace = false;
  bool export_ports = false;
  bool help = false;
  // Per module K (from 0, as printed): entry K, or the last entry for modules beyond the list.
  std::vector<int> cn0;                 // --cn0: the strongest satellite's C/N0
  std::vector<BootMenuKind> boot_menu;  // --boot-menu
  std::vector<int> no_id_confirm;       // --no-id-confirm: modules that never confirm an ID
  uint32_t boot_window_ms = 2000;
  uint32_t reset_every_ms = 0;
  // The modules' VBI calibration firmware (--vbi, --vbi-after-download and its faults).
  VbiOptions vbi;
  // The reference receiver, on a port of its own.
  bool reference = false;
  uint32_t reference_baud = 0;  // 0: the modules' speed
  int reference_cn0 = -1;       // below 0: its default sky
  bool reference_vbi = false;
  std::string replay;  // a recorded NMEA log it plays; implies `reference`
};

constexpr int kMaxModules = 16;

// The usage text, ending in a line feed.
const char* SimUsage();

// Parses the arguments after the program name. False with a one-line reason in `error` when they
// are not understood; `out` is then unspecified.
bool ParseSimArgs(const std::vector<std::string>& args, SimArgs& out, std::string& error);

// How module `module` (from 0) of a run behaves.
ModuleOptions ModuleOptionsFor(const SimArgs& args, int module);

}  // namespace flashpost::sim
