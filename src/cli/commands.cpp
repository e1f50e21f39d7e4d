#include "cli/commands.h"

#include "cli/update_command.h"
#include "payloads/payloads.h"
#include "platform/serial_device.h"
#include "terminal/terminal_command.h"

#ifdef FLASHPOST_HAVE_GUI
#include "gui/desktop.h"
#endif

namespace flashpost::cli {

namespace {

constexpr const char* kUsage =
    "usage: flashpost              open the window: pick the port and the baud rate, press OK\n"
    "       flashpost --all-pages  the window with every page, for engineering\n"
    "       flashpost update --port NAME [--baud TEXT] [--json]\n"
    "                              update the module on the port (its NMEA baud, default 115200)\n"
    "       flashpost terminal --port NAME [--baud TEXT] [--protocol nmea|vbi] [--switch]\n"
    "                          [--seconds N]\n"
    "                              show what the receiver on the port sends\n"
    "       flashpost ports        list the serial ports of this machine\n"
    "       flashpost --version    show the program version and the payloads it carries\n";

int ListPorts(std::FILE* out) {
  auto serial = platform::MakeHostSerialSystem();
  for (const auto& name : serial->ListPorts()) std::fprintf(out, "%s\n", name.c_str());
  return 0;
}

// Without a window the same job runs from the command line.
constexpr const char* kWithoutWindow =
    "Without the window, update a module with  flashpost update --port NAME [--baud TEXT]\n"
    "and list the serial ports with  flashpost ports\n";

int OpenWindow(bool all_pages, std::FILE* err) {
#ifdef FLASHPOST_HAVE_GUI
  if (!gui::DisplayAvailable()) {
    std::fputs(
        "flashpost: there is no display to open the window on (neither DISPLAY nor "
        "WAYLAND_DISPLAY is set).\n",
        err);
    std::fputs(kWithoutWindow, err);
    return 2;
  }
  gui::WindowOptions options;
  options.all_pages = all_pages;
  return gui::RunDesktop(options);
#else
  (void)all_pages;
  std::fputs("flashpost: the window is not available in this build (it was built without Qt 6).\n",
             err);
  std::fputs(kWithoutWindow, err);
  return 2;
#endif
}

}  // namespace

int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  if (args.empty()) return OpenWindow(false, err);
  if (args.size() == 1 && args[0] == "--all-pages") return OpenWindow(true, err);
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
  if (!args.empty() && args[0] == "terminal") {
    platform::SystemClock clock;
    auto serial = platform::MakeHostSerialSystem();
    return terminal::RunTerminal({args.begin() + 1, args.end()}, clock, *serial, out, err);
  }
  std::fprintf(err, "flashpost: unknown command '%s'\n", args[0].c_str());
  std::fputs(kUsage, err);
  return 2;
}

}  // namespace flashpost::cli
