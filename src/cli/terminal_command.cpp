#include "cli/terminal_command.h"

#include "cli/common_options.h"
#include "cli/report.h"
#include "cli/station_steps.h"

#include <optional>
#include <string_view>

#include "app/application.h"
#include "ui/end_request_watch.h"
#include "ui/headless_loop.h"

namespace flashpost::cli {

namespace {

// The longest run that still fits the 32-bit millisecond clock.
constexpr int64_t kMaxSeconds = 4'000'000;
// Without --seconds the run goes on in slices of this length until the process is interrupted.
constexpr uint32_t kEndlessSliceMs = 60'000;

// A memo line as printable text: the receiver's bytes may hold anything, and control bytes sent
// straight to a terminal would drive it. The carriage return that ends a sentence is dropped and
// the line-feed separator of a VBI frame prints as an empty line.
std::string MemoLine(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return Printable(line);
}

}  // namespace

const CommandGrammar& TerminalCommand() {
  static const CommandGrammar grammar{
      "terminal",
      "Shows what the receiver on the port sends, as the terminal page does, and can switch it "
      "between NMEA and VBI.",
      {
          {"--port", "NAME", "the receiver's port: a name flashpost ports lists, or a link to one"},
          BaudOption("--baud", "the receiver's speed (default 115200)"),
          OptionRule::Choice("--protocol", "PROTOCOL", "what the receiver talks now (default nmea)",
                             {"nmea", "vbi"}),
          {"--switch", "", "press Switch Protocol once the port is open"},
          OptionRule::Number("--seconds", "N",
                             "how long to show the traffic (default: until interrupted)", 0,
                             kMaxSeconds),
      }};
  return grammar;
}

bool TerminalOptionsFrom(const ParsedOptions& parsed, TerminalOptions& options,
                         std::string& error) {
  options.port = parsed.Text("--port");
  options.baud = parsed.Text("--baud", options.baud);
  options.vbi = parsed.Text("--protocol") == "vbi";
  options.switch_protocol = parsed.Has("--switch");
  if (auto seconds = parsed.OptionalNumber("--seconds")) {
    options.seconds = static_cast<uint32_t>(*seconds);
  }
  if (options.port.empty()) {
    error = "terminal needs --port NAME";
    return false;
  }
  return true;
}

int RunTerminal(const TerminalOptions& options, platform::Clock& clock,
                platform::SerialSystem& serial, std::FILE* out, std::FILE* err) {
  ui::HeadlessLoop loop(clock);
  app::Application application(clock, serial, loop);
  app::PortBoard& board = application.Board();
  terminal::TerminalPage& page = application.Form().TerminalPage;

  page.Button5.Click();  // Scan ComPort
  std::vector<NamedPort> ports;
  std::string error;
  if (!ResolvePorts(serial, clock, {options.port}, page.ComboBox1.Items(), ports, error)) {
    application.Close();
    return UsageError(error, err);
  }

  // Every line the page adds, as it adds it; a clear starts the count again.
  size_t printed = 0;
  bool output_failed = false;
  const int observer = page.Memo1.AddObserver([&](ui::Control&, std::string_view property) {
    if (property != "lines") return;
    const auto& lines = page.Memo1.Lines();
    if (lines.size() < printed) printed = 0;
    for (; printed < lines.size(); ++printed) {
      std::fprintf(out, "%s\n", MemoLine(lines[printed]).c_str());
    }
    if (std::fflush(out) != 0 || std::ferror(out)) output_failed = true;
  });

  page.ComboBox1.SetText(ports[0].listed);
  page.ComboBox2.SetText(options.baud);
  page.ComboBox4.SetItemIndex(options.vbi ? 1 : 0);
  page.Button3.Click();
  if (board.ReadEnabled[app::kTerminalSlot].load() != 1) {
    std::string message = board.StatusText[app::kTerminalSlot].Get();
    if (std::string cause = OpenFailureCause(board, app::kTerminalSlot); !cause.empty()) {
      message += " " + cause;
    }
    page.Memo1.RemoveObserver(observer);
    application.Close();
    return StationError(message, err);
  }
  std::fprintf(err, "%s\n", application.Form().StatusBar1.PanelAt(0).text.c_str());

  const uint32_t start = clock.Ticks();
  if (options.switch_protocol) page.Button6.Click();
  ui::EndRequestWatch watch(loop);
  auto asked = [&watch] { return watch.Requested(); };
  if (options.seconds) {
    // Counted from the open: the switch's own pauses are part of the time asked for.
    const uint32_t limit = *options.seconds * 1000;
    const uint32_t spent = clock.Ticks() - start;
    if (spent < limit) loop.RunUntil(asked, limit - spent);
  } else {
    while (!loop.IsShutDown() && !asked()) loop.RunUntil(asked, kEndlessSliceMs);
  }

  page.Button3.Click();  // Close, as the operator leaves
  page.Memo1.RemoveObserver(observer);
  application.Close();
  if (output_failed) return watch.ExitStatus(StationError("cannot write the output", err));
  return watch.ExitStatus(kAllPassed);
}

}  // namespace flashpost::cli
