#include "sim/sim_args.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>

namespace flashpost::sim {

namespace {

bool ParseNumber(const std::string& text, uint64_t max, uint64_t& out) {
  if (text.empty()) return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && out <= max;
}

// A version field goes into a sentence between commas, so it must not hold a character that
// would end the field or the sentence.
bool FitsVersionField(const std::string& field) {
  if (field.empty()) return false;
  for (char c : field) {
    if (c < 0x21 || c > 0x7E || c == ',' || c == '*' || c == '$') return false;
  }
  return true;
}

// "A,B,C,D": four phase codes 0..7.
bool ParsePhases(const std::string& text, std::array<uint8_t, 4>& out) {
  size_t start = 0;
  for (size_t i = 0; i < out.size(); ++i) {
    const size_t comma = text.find(',', start);
    if ((comma == std::string::npos) != (i + 1 == out.size())) return false;
    uint64_t code = 0;
    if (!ParseNumber(text.substr(start, comma - start), 7, code)) return false;
    out[i] = static_cast<uint8_t>(code);
    start = comma + 1;
  }
  return true;
}

// "A,B,C": one or more entries, each turned by `entry` (false: not a valid entry).
template <class T, class F>
bool ParseList(const std::string& text, std::vector<T>& out, F entry) {
  out.clear();
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    std::optional<T> value = entry(text.substr(start, comma - start));
    if (!value) return false;
    out.push_back(*value);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

std::optional<int> NumberUpTo(const std::string& text, uint64_t max) {
  uint64_t number = 0;
  if (!ParseNumber(text, max, number)) return std::nullopt;
  return static_cast<int>(number);
}

std::optional<BootMenuKind> BootMenuKindNamed(const std::string& name) {
  if (name == "menu") return BootMenuKind::kMenu;
  if (name == "banner") return BootMenuKind::kBannerOnly;
  if (name == "silent") return BootMenuKind::kSilent;
  if (name == "off") return BootMenuKind::kOff;
  return std::nullopt;
}

// Entry `module` of a per-module list; modules beyond it take the last entry.
template <class T>
T EntryFor(const std::vector<T>& list, int module, T otherwise) {
  if (list.empty()) return otherwise;
  return list[std::min(static_cast<size_t>(module), list.size() - 1)];
}

}  // namespace

const char* SimUsage() {
  static_assert(kMaxModules == 16, "the usage text names the limit");
  return "usage: kx420-sim [--modules N] [--baud B] [--version F3.F4] [--silent] [--dead]\n"
         "                 [--dead-after-image]\n"
         "                 [--erase-ms N] [--fail-block N] [--pace] [--export]\n"
         "                 [--vbi] [--vbi-after-download] [--phases A,B,C,D] [--wrong-phase N]\n"
         "                 [--calibration-ms N] [--no-pvt-ack] [--no-navigation] [--stay-vbi]\n"
         "                 [--reference] [--reference-baud B] [--reference-vbi] [--replay FILE]\n"
         "                 [--cn0 L] [--reference-cn0 N] [--no-id-confirm K,...]\n"
         "                 [--boot-menu KINDS] [--boot-window-ms N] [--reset-every-ms N]\n"
         "  --modules N      number of simulated modules, 1 to 16 (default 1)\n"
         "  --baud B         the modules' NMEA line speed (default 9600)\n"
         "  --version F3.F4  fields 3 and 4 of the version report (default 5.1)\n"
         "  --silent         the modules neither answer nor send anything\n"
         "  --dead           no working firmware: only the boot kernel answers, at 115200\n"
         "  --dead-after-image  an image taken whole does not start: the kernel alone answers\n"
         "  --erase-ms N     flash erase time of the update mode in ms (default 2000)\n"
         "  --fail-block N   block N of every XMODEM transfer is never acknowledged\n"
         "  --pace           bytes take their real time on the line (10 bits per byte)\n"
         "  --export         also print FLASHPOST_PORTS=<port>:<port>...\n"
         "Per-module lists (L, KINDS): entry K is module K's, modules past the list take the "
         "last.\n"
         "  --cn0 L               C/N0 (0 to 99) of each module's strongest satellite, e.g.\n"
         "                        45,40,39; the other satellites stay weaker\n"
         "  --no-id-confirm K,... these modules (numbered from 0) neither take nor confirm the\n"
         "                        customer ID command\n"
         "Boot code (at 115200, after a reset; off by default, so no reset ever happens):\n"
         "  --boot-menu KINDS     per module: menu (banner of 'Z', a space opens the erase\n"
         "                        menu, '0' asks, 'y' erases), banner (spaces are ignored),\n"
         "                        silent (prints nothing) or off\n"
         "  --boot-window-ms N    how long the boot code waits for a space (default 2000)\n"
         "  --reset-every-ms N    also reset each module once its firmware has run N ms\n"
         "  A pty has no DTR and no power: a module is reset when the program sets its line to\n"
         "  115200 while the firmware runs at another speed (or no firmware runs).\n"
         "VBI calibration (the modules' firmware speaks VBI, then returns to NMEA):\n"
         "  --vbi                 from the start\n"
         "  --vbi-after-download  after an All Image download (a loader, then the image)\n"
         "  --phases A,B,C,D      phase codes of the four status reports (default 7,6,4,0)\n"
         "  --wrong-phase N       status report N (2 to 4) carries a wrong phase code\n"
         "  --calibration-ms N    calibration time in ms (default 3000)\n"
         "  --no-pvt-ack          the PVT aiding is never acknowledged\n"
         "  --no-navigation       no navigation reports (message 121)\n"
         "  --stay-vbi            keep reporting in VBI after the calibration\n"
         "Reference receiver (NMEA, switched to VBI by the two PQRV11 sentences):\n"
         "  --reference           also run one, on a port of its own\n"
         "  --reference-baud B    its line speed (default: the modules' speed)\n"
         "  --reference-vbi       it speaks VBI from the start\n"
         "  --reference-cn0 N     C/N0 (0 to 99) of its strongest satellite\n"
         "  --replay FILE         it plays this recorded NMEA log (implies --reference)\n"
         "Prints one line per module, \"module K: <port>\", and \"reference: <port>\", then runs\n"
         "until SIGINT or SIGTERM.\n";
}

bool ParseSimArgs(const std::vector<std::string>& args, SimArgs& out, std::string& error) {
  out = SimArgs{};
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i];
    std::string value;
    bool has_value = false;
    if (size_t eq = name.find('='); name.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
      has_value = true;
    }
    const bool takes_value =
        name == "--modules" || name == "--baud" || name == "--version" || name == "--erase-ms" ||
        name == "--fail-block" || name == "--phases" || name == "--wrong-phase" ||
        name == "--calibration-ms" || name == "--reference-baud" || name == "--replay" ||
        name == "--cn0" || name == "--reference-cn0" || name == "--no-id-confirm" ||
        name == "--boot-menu" || name == "--boot-window-ms" || name == "--reset-every-ms";
    if (takes_value && !has_value) {
      if (i + 1 >= args.size()) {
        error = name + " needs a value";
        return false;
      }
      value = args[++i];
    } else if (!takes_value && has_value) {
      error = name + " takes no value";
      return false;
    }

    uint64_t number = 0;
    if (name == "--modules") {
      if (!ParseNumber(value, kMaxModules, number) || number < 1) {
        error = "--modules must be a number from 1 to " + std::to_string(kMaxModules) + ", not \"" +
                value + "\"";
        return false;
      }
      out.modules = static_cast<int>(number);
    } else if (name == "--baud") {
      if (!ParseNumber(value, 4000000, number) || number < 1) {
        error = "--baud must be a line speed such as 9600, not \"" + value + "\"";
        return false;
      }
      out.baud = static_cast<uint32_t>(number);
    } else if (name == "--version") {
      size_t dot = value.find('.');
      std::string f3 = dot == std::string::npos ? "" : value.substr(0, dot);
      std::string f4 = dot == std::string::npos ? "" : value.substr(dot + 1);
      if (!FitsVersionField(f3) || !FitsVersionField(f4)) {
        error = "--version must be two fields F3.F4 such as 5.1, not \"" + value + "\"";
        return false;
      }
      out.version_field3 = f3;
      out.version_field4 = f4;
    } else if (name == "--erase-ms") {
      if (!ParseNumber(value, 600000, number)) {
        error = "--erase-ms must be a time in ms from 0 to 600000, not \"" + value + "\"";
        return false;
      }
      out.erase_ms = static_cast<uint32_t>(number);
    } else if (name == "--fail-block") {
      if (!ParseNumber(value, 100000, number) || number < 1) {
        error = "--fail-block must be a block number from 1, not \"" + value + "\"";
        return false;
      }
      out.fail_block = static_cast<uint32_t>(number);
    } else if (name == "--phases") {
      if (!ParsePhases(value, out.vbi.phases)) {
        error = "--phases must be four codes from 0 to 7 such as 7,6,4,0, not \"" + value + "\"";
        return false;
      }
    } else if (name == "--wrong-phase") {
      // Report 1 takes any code, so only the later ones can be wrong.
      if (!ParseNumber(value, 4, number) || number < 2) {
        error = "--wrong-phase must be a status report from 2 to 4, not \"" + value + "\"";
        return false;
      }
      uint8_t& code = out.vbi.phases[number - 1];
      code = static_cast<uint8_t>((code + 1) & 7);
    } else if (name == "--calibration-ms") {
      if (!ParseNumber(value, 600000, number)) {
        error = "--calibration-ms must be a time in ms from 0 to 600000, not \"" + value + "\"";
        return false;
      }
      out.vbi.calibration_ms = static_cast<uint32_t>(number);
    } else if (name == "--reference-baud") {
      if (!ParseNumber(value, 4000000, number) || number < 1) {
        error = "--reference-baud must be a line speed such as 115200, not \"" + value + "\"";
        return false;
      }
      out.reference_baud = static_cast<uint32_t>(number);
      out.reference = true;
    } else if (name == "--replay") {
      if (value.empty()) {
        error = "--replay needs a file name";
        return false;
      }
      out.replay = value;
      out.reference = true;
    } else if (name == "--cn0") {
      if (!ParseList(value, out.cn0, [](const std::string& e) { return NumberUpTo(e, kMaxCn0); })) {
        error = "--cn0 must be C/N0 values from 0 to 99 such as 45,40,39, not \"" + value + "\"";
        return false;
      }
    } else if (name == "--reference-cn0") {
      if (!ParseNumber(value, kMaxCn0, number)) {
        error = "--reference-cn0 must be a C/N0 from 0 to 99, not \"" + value + "\"";
        return false;
      }
      out.reference_cn0 = static_cast<int>(number);
      out.reference = true;
    } else if (name == "--no-id-confirm") {
      if (!ParseList(value, out.no_id_confirm,
                     [](const std::string& e) { return NumberUpTo(e, kMaxModules - 1); })) {
        error = "--no-id-confirm must be module numbers from 0 such as 1,3, not \"" + value + "\"";
        return false;
      }
    } else if (name == "--boot-menu") {
      if (!ParseList(value, out.boot_menu, BootMenuKindNamed)) {
        error =
            "--boot-menu must be kinds menu, banner, silent or off such as menu,silent, not \"" +
            value + "\"";
        return false;
      }
    } else if (name == "--boot-window-ms") {
      if (!ParseNumber(value, 600000, number) || number < 1) {
        error = "--boot-window-ms must be a time in ms from 1 to 600000, not \"" + value + "\"";
        return false;
      }
      out.boot_window_ms = static_cast<uint32_t>(number);
    } else if (name == "--reset-every-ms") {
      if (!ParseNumber(value, 3600000, number) || number < 1) {
        error = "--reset-every-ms must be a time in ms from 1 to 3600000, not \"" + value + "\"";
        return false;
      }
      out.reset_every_ms = static_cast<uint32_t>(number);
    } else if (name == "--vbi") {
      out.vbi.at_boot = true;
    } else if (name == "--vbi-after-download") {
      out.vbi.after_all_image = true;
    } else if (name == "--no-pvt-ack") {
      out.vbi.acknowledge_pvt = false;
    } else if (name == "--no-navigation") {
      out.vbi.navigation_reports = false;
    } else if (name == "--stay-vbi") {
      out.vbi.stay_in_vbi = true;
    } else if (name == "--reference") {
      out.reference = true;
    } else if (name == "--reference-vbi") {
      out.reference_vbi = true;
      out.reference = true;
    } else if (name == "--silent") {
      out.silent = true;
    } else if (name == "--dead") {
      out.dead = true;
    } else if (name == "--dead-after-image") {
      out.dead_after_image = true;
    } else if (name == "--pace") {
      out.pace = true;
    } else if (name == "--export") {
      out.export_ports = true;
    } else if (name == "--help" || name == "-h") {
      out.help = true;
    } else {
      error = "unknown argument \"" + args[i] + "\"";
      return false;
    }
  }
  // Checks that need the whole command line.
  for (int module : out.no_id_confirm) {
    if (module >= out.modules) {
      error = "--no-id-confirm names module " + std::to_string(module) + ", but there are only " +
              std::to_string(out.modules) + " (numbered from 0)";
      return false;
    }
  }
  const bool any_boot_code = std::any_of(out.boot_menu.begin(), out.boot_menu.end(),
                                         [](BootMenuKind k) { return k != BootMenuKind::kOff; });
  if (out.reset_every_ms > 0 && !any_boot_code) {
    error = "--reset-every-ms needs --boot-menu: without the boot code there is no reset";
    return false;
  }
  return true;
}

ModuleOptions ModuleOptionsFor(const SimArgs& args, int module) {
  ModuleOptions options;
  options.baud = args.baud;
  options.version_field3 = args.version_field3;
  options.version_field4 = args.version_field4;
  options.silent = args.silent;
  options.dead_firmware = args.dead;
  options.dead_after_image = args.dead_after_image;
  options.erase_ms = args.erase_ms;
  options.fail_block = args.fail_block;
  options.pace_line_rate = args.pace;
  options.vbi = args.vbi;
  options.strongest_cn0 = EntryFor(args.cn0, module, -1);
  options.confirm_customer_id = std::find(args.no_id_confirm.begin(), args.no_id_confirm.end(),
                                          module) == args.no_id_confirm.end();
  options.boot.kind = EntryFor(args.boot_menu, module, BootMenuKind::kOff);
  options.boot.window_ms = args.boot_window_ms;
  options.boot.reset_every_ms = args.reset_every_ms;
  return options;
}

}  // namespace flashpost::sim
