#include "cli/commands.h"

#include <functional>

#include "cli/cno_command.h"
#include "cli/command_line.h"
#include "cli/common_options.h"
#include "cli/erase_command.h"
#include "cli/mcd_command.h"
#include "cli/terminal_command.h"
#include "cli/update_command.h"
#include "cli/without_window.h"
#include "payloads/payloads.h"
#include "platform/end_request.h"
#include "platform/serial_device.h"

#ifdef FLASHPOST_HAVE_GUI
#include "gui/desktop.h"
#elif defined(FLASHPOST_HAVE_WIN32_GUI)
#include "win32/desktop.h"
#endif

namespace flashpost::cli {

namespace {

constexpr const char* kProgramUsage =
    "usage: flashpost [--all-pages] [--record FILE]\n"
    "                              open the window: pick the port and the baud rate, press OK\n"
    "       flashpost update ...   update the module on a port\n"
    "       flashpost mcd ...      run one multi-port job on up to eight modules\n"
    "       flashpost cno ...      test the modules' C/N0, or write a customer ID into them\n"
    "       flashpost erase ...    erase a module's flash through its boot menu\n"
    "       flashpost terminal ... show what a receiver sends\n"
    "       flashpost ports        list the serial ports of this machine\n"
    "       flashpost --version    show the program version and the payloads it carries\n"
    "flashpost COMMAND --help lists a command's options.\n";

const CommandGrammar& WindowCommand() {
  static const CommandGrammar grammar{
      "",
      "Opens the window: pick the port and the baud rate, press OK.",
      {
          {"--all-pages", "", "every page's tab, for engineering"},
          RecordOption(),
      }};
  return grammar;
}

// One line per port: its name first, then its stable names and the adapter's details.
int ListPorts(std::FILE* out) {
  auto serial = platform::MakeHostSerialSystem();
  for (const auto& port : serial->DescribePorts()) {
    std::fprintf(out, "%s\n", platform::FormatPortDescription(port).c_str());
  }
  return std::fflush(out) == 0 && !std::ferror(out) ? kAllPassed : kStationFailed;
}

int OpenWindow(const ParsedOptions& options, std::FILE* err) {
  const bool all_pages = options.Has("--all-pages");
  const std::string record = options.Text("--record");
#ifdef FLASHPOST_HAVE_GUI
  if (!gui::DisplayAvailable()) {
    std::fputs(
        "flashpost: there is no display to open the window on (neither DISPLAY nor "
        "WAYLAND_DISPLAY is set).\n",
        err);
    std::fputs(kWithoutWindow, err);
    return kUsage;
  }
  gui::WindowOptions window;
  window.all_pages = all_pages;
  window.record_path = record;
  return gui::RunDesktop(window);
#elif defined(FLASHPOST_HAVE_WIN32_GUI)
  return win32::RunDesktop(all_pages, record, err);
#else
  (void)all_pages;
  (void)record;
  std::fputs("flashpost: the window is not available in this build (it was built without Qt 6).\n",
             err);
  std::fputs(kWithoutWindow, err);
  return kUsage;
#endif
}

// A command: how it reads its options, and how it runs on the host's clock and ports.
struct Command {
  const CommandGrammar& (*grammar)();
  std::function<int(const ParsedOptions&, std::FILE*, std::FILE*)> run;
};

template <class Options, class From, class RunFn>
std::function<int(const ParsedOptions&, std::FILE*, std::FILE*)> Runner(From from, RunFn run) {
  return [from, run](const ParsedOptions& parsed, std::FILE* out, std::FILE* err) {
    Options options;
    std::string error;
    if (!from(parsed, options, error)) return UsageError(error, err);
    platform::SystemClock clock;
    auto serial = platform::MakeHostSerialSystem();
    return run(options, clock, *serial, out, err);
  };
}

const std::vector<Command>& Commands() {
  static const std::vector<Command> commands{
      {UpdateCommand, Runner<UpdateOptions>(UpdateOptionsFrom, RunUpdate)},
      {McdCommand, Runner<McdOptions>(McdOptionsFrom, RunMcd)},
      {CnoCommand, Runner<CnoOptions>(CnoOptionsFrom, RunCno)},
      {EraseCommand, Runner<EraseOptions>(EraseOptionsFrom, RunErase)},
      {TerminalCommand, Runner<TerminalOptions>(TerminalOptionsFrom, RunTerminal)},
  };
  return commands;
}

}  // namespace

int Run(const std::vector<std::string>& args, std::FILE* out, std::FILE* err) {
  // The window and the commands hold ports: Ctrl-C, SIGTERM or SIGHUP ends them the orderly way,
  // every port closed, and the program exits with 128 + the signal's number.
  auto catch_end_requests = [] { platform::CatchEndRequests(); };
  if (args.empty() || args[0].rfind("--", 0) == 0) {
    if (args.size() == 1 && args[0] == "--version") {
      std::fprintf(out, "Flashpost %s (KX420)\n%s", FLASHPOST_VERSION,
                   payloads::Describe().c_str());
      return std::fflush(out) == 0 && !std::ferror(out) ? kAllPassed : kStationFailed;
    }
    if (args.size() == 1 && (args[0] == "--help" || args[0] == "-h")) {
      std::fputs(kProgramUsage, out);
      return kAllPassed;
    }
    ParsedOptions options;
    std::string error;
    if (ParseCommandLine(WindowCommand(), args, options, error) != ParseResult::kOk) {
      return UsageError(error.empty() ? "the window takes --all-pages and --record FILE" : error,
                        err);
    }
    catch_end_requests();
    return OpenWindow(options, err);
  }
  if (args[0] == "ports") {
    if (args.size() > 1) return UsageError("ports takes no arguments, not '" + args[1] + "'", err);
    return ListPorts(out);
  }
  for (const Command& command : Commands()) {
    const CommandGrammar& grammar = command.grammar();
    if (args[0] != grammar.name) continue;
    ParsedOptions options;
    std::string error;
    switch (ParseCommandLine(grammar, {args.begin() + 1, args.end()}, options, error)) {
      case ParseResult::kHelp:
        std::fputs(CommandUsage(grammar).c_str(), out);
        return kAllPassed;
      case ParseResult::kError:
        return UsageError(error, err);
      case ParseResult::kOk:
        catch_end_requests();
        return command.run(options, out, err);
    }
  }
  std::fprintf(err, "flashpost: unknown command '%s'\n", args[0].c_str());
  std::fputs(kProgramUsage, err);
  return kUsage;
}

}  // namespace flashpost::cli
