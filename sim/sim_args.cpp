#include "sim/sim_args.h"

#include <charconv>

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

}  // namespace

const char* SimUsage() {
  static_assert(kMaxModules == 16, "the usage text names the limit");
  return "usage: kx420-sim [--modules N] [--baud B] [--version F3.F4] [--silent] [--dead]\n"
         "                 [--erase-ms N] [--fail-block N] [--pace] [--export]\n"
         "  --modules N      number of simulated modules, 1 to 16 (default 1)\n"
         "  --baud B         the modules' NMEA line speed (default 9600)\n"
         "  --version F3.F4  fields 3 and 4 of the version report (default 5.1)\n"
         "  --silent         the modules neither answer nor send anything\n"
         "  --dead           no working firmware: only the boot kernel answers, at 115200\n"
         "  --erase-ms N     flash erase time of the update mode in ms (default 2000)\n"
         "  --fail-block N   block N of every XMODEM transfer is never acknowledged\n"
         "  --pace           bytes take their real time on the line (10 bits per byte)\n"
         "  --export         also print FLASHPOST_PORTS=<port>:<port>...\n"
         "Prints one line per module, \"module K: <port>\", then runs until SIGINT or SIGTERM.\n";
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
    const bool takes_value = name == "--modules" || name == "--baud" || name == "--version" ||
                             name == "--erase-ms" || name == "--fail-block";
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
    } else if (name == "--silent") {
      out.silent = true;
    } else if (name == "--dead") {
      out.dead = true;
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
  return true;
}

}  // namespace flashpost::sim
