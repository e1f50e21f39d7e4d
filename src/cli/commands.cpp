#include "cli/commands.h"

#include "cli/cno_command.h"
#include "cli/erase_command.h"
#include "cli/mcd_command.h"
#include "cli/update_command.h"
#include "cli/without_window.h"
#include "payloads/payloads.h"
#include "platform/end_request.h"
#include "platform/serial_device.h"
#include "terminal/terminal_command.h"

#ifdef FLASHPOST_HAVE_GUI
#include "gui/desktop.h"
#elif defined(FLASHPOST_HAVE_WIN32_GUI)
#include "win32/desktop.h"
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
    "       flashpost mcd --reference PORT [--reference-baud B] --port P [--port P ...]\n"
    "                     [--ports P,P,...] --job fwap|fsa|all-image|all-image-code|xtal|\n"
    "                     all-image-xtal [--file PATH] [--waiting-ms N] [--output nmea|vbi]\n"
    "                     [--timeout-s N] [--json]\n"
    "                              run one job of the multi-port page on up to eight modules\n"
    "       flashpost cno --port P [--port P ...] [--ports P,P,...] [--test cno|id]\n"
    "                     [--reference PORT [--reference-baud B]] [--id TEXT] [--timeout-ms N]\n"
    "                     [--key-in] [--limit N] [--bias N] [--no-bias] [--baud B] [--json]\n"
    "                              test the modules' C/N0, or write a customer ID into them\n"
    "       flashpost erase --port NAME [--timeout-s N] [--json]\n"
    "                              erase a module's flash through its boot menu\n"
    "       flashpost ports        list the serial ports of this machine\n"
    "       flashpost --version    show the program version and the payloads it carries\n";

int ListPorts(std::FILE* out) {
  auto serial = platform::MakeHostSerialSystem();
  for (const auto& name : serial->ListPorts()) std::fprintf(out, "%s\n", name.c_str());
  return 0;
}

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
#elif defined(FLASHPOST_HAVE_WIN32_GUI)
  return win32::RunDesktop(all_pages, err);
#else
  (void)all_pages;
  std::fputs("flashpost: the window is not available in this build (it was built without Qt 6).\n",
             err);
  std::fputs(kWithoutWindow, err);
  return 2;
#endif
}

int UsageError(const std::string& error, std::FILE* err) {
  std::fprintf(err, "flashpost: %s\n", error.c_str());
  std::fputs(kUsage, err);
  return 2;
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
  // The window and the commands hold ports: Ctrl-C, SIGTERM or SIGHUP ends them the orderly way,
  // every port closed, and the program exits with 128 + the signal's number.
  platform::CatchEndRequests();
  if (args.empty()) return OpenWindow(false, err);
  if (args.size() == 1 && args[0] == "--all-pages") return OpenWindow(true, err);
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
  if (args[0] == "mcd") {
    McdOptions options;
    std::string error;
    if (!ParseMcdOptions({args.begin() + 1, args.end()}, options, error))
      return UsageError(error, err);
    platform::SystemClock clock;
    auto serial = platform::MakeHostSerialSystem();
    return RunMcd(options, clock, *serial, out, err);
  }
  if (args[0] == "cno") {
    CnoOptions options;
    std::string error;
    if (!ParseCnoOptions({args.begin() + 1, args.end()}, options, error))
      return UsageError(error, err);
    platform::SystemClock clock;
    auto serial = platform::MakeHostSerialSystem();
    return RunCno(options, clock, *serial, out, err);
  }
  if (args[0] == "erase") {
    EraseOptions options;
    std::string error;
    if (!ParseEraseOptions({args.begin() + 1, args.end()}, options, error)) {
      return UsageError(error, err);
    }
    platform::SystemClock clock;
    auto serial = platform::MakeHostSerialSystem();
    return RunErase(options, clock, *serial, out, err);
  }
  std::fprintf(err, "flashpost: unknown command '%s'\n", args[0].c_str());
  std::fputs(kUsage, err);
  return 2;
}

}  // namespace flashpost::cli
