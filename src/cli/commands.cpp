#include "cli/commands.h"

#include "cli/update_command.h"
#include "payloads/payloads.h"
#include "platform/serial_device.h"

namespace flashpost::cli {

namespace {

constexpr const char* kUsage =
    "usage: flashpost update --port NAME [--baud TEXT] [--json]\n"
    "                              update the module on the port (its NMEA baud, default 115200)\n"
    "       flashpost ports        list the serial ports of this machine\n"
    "       flashpost --version    show the program version and the payloads it carries\n";

int ListPorts(std::FILE* out) {
  auto serial = platform::MakeHostSerialSystem();
  for (const auto& name : serial->ListPorts()) std::fprintf(out, "%s\n", name.c_str());
  return 0;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  if (args.size() == 1 && args[0] == "ports") return ListPorts(out);
  if (args.size() == 1 && args[0] == "--version") {
    std::fprintf(out, "Flashpost %s (KX420)\n%s", FLASHPOST_VERSION, payloads::Describe().c_str());
    return 0;
  }
  if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
    std::fputs(kUsage, out);
    return 0;
  }
  if (!args.empty() && args[0] == "update") {
    UpdateOptions options;
    std::string error;
    if (!ParseUpdateOptions({args.begin() + 1, args.end()}, options, error)) {
      std::fprintf(err, "flashpost: %s\n", error.c_str());
      std::fputs(kUsage, err);
      return 2;
    }
    platform::SystemClock clock;
    auto serial = platform::MakeHostSerialSystem();
    return RunUpdate(options, clock, *serial, out);
  }
  if (args.empty()) {
    std::fputs("flashpost: no command given\n", err);
  } else {
    std::fprintf(err, "flashpost: unknown command '%s'\n", args[0].c_str());
  }
  std::fputs(kUsage, err);
  return 2;
}

}  // namespace flashpost::cli
