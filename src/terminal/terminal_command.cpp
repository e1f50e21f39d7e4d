#include "terminal/terminal_command.h"

#include <charconv>
#include <optional>
#include <string_view>

#include "app/application.h"
#include "ui/end_request_watch.h"
#include "ui/headless_loop.h"

namespace flashpost::terminal {

namespace {

constexpr const char* kUsage =
    "usage: flashpost terminal --port NAME [--baud TEXT] [--protocol nmea|vbi] [--switch] "
    "[--seconds N]\n";
// The longest run that still fits the 32-bit millisecond clock.
constexpr uint32_t kMaxSeconds = 4'000'000;
// Without --seconds the run goes on in slices of this length until the process is interrupted.
constexpr uint32_t kEndlessSliceMs = 60'000;

struct TerminalOptions {
  std::string port;
  std::string baud = "115200";
  bool vbi = false;
  bool switch_protocol = false;
  std::optional<uint32_t> seconds;
};

bool ParseOptions(const std::vector<std::string>& args, TerminalOptions& options,
                  std::string& error) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string& into) {
      if (i + 1 >= args.size()) {
        error = a + " needs a value";
        return false;
      }
      into = args[++i];
      return true;
    };
    std::string text;
    if (a == "--port") {
      if (!value(options.port)) return false;
    } else if (a == "--baud") {
      if (!value(options.baud)) return false;
    } else if (a == "--protocol") {
      if (!value(text)) return false;
      if (text != "nmea" && text != "vbi") {
        error = "--protocol is nmea or vbi";
        return false;
      }
      options.vbi = text == "vbi";
    } else if (a == "--switch") {
      options.switch_protocol = true;
    } else if (a == "--seconds") {
      if (!value(text)) return false;
      uint32_t n = 0;
      auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n);
      if (text.empty() || ec != std::errc() || end != text.data() + text.size() ||
          n > kMaxSeconds) {
        error = "--seconds needs a whole number of seconds";
        return false;
      }
      options.seconds = n;
    } else {
      error = "unknown option '" + a + "'";
      return false;
    }
  }
  if (options.port.empty()) {
    error = "terminal needs --port NAME";
    return false;
  }
  return true;
}

// A memo line as printable text: the receiver's bytes may hold anything, and control bytes sent
// straight to a terminal would drive it. The carriage return that ends a sentence is dropped and
// the line-feed separator of a VBI frame prints as an empty line.
std::string Printable(std::string_view line) {
  if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  std::string out;
  out.reserve(line.size());
  for (unsigned char c : line) {
    if (c >= 0x20 && c < 0x7F) {
      out += static_cast<char>(c);
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    }
  }
  return out;
}

}  // namespace

int RunTerminal(const std::vector<std::string>& args, platform::Clock& clock,
                platform::SerialSystem& serial, std::FILE* out, std::FILE* err) {
  TerminalOptions options;
  std::string error;
  if (!ParseOptions(args, options, error)) {
    std::fprintf(err, "flashpost terminal: %s\n%s", error.c_str(), kUsage);
    return 2;
  }

  ui::HeadlessLoop loop(clock);
  app::Application application(clock, serial, loop);
  app::PortBoard& board = application.Board();
  TerminalPage& page = application.Form().TerminalPage;

  // Every line the page adds, as it adds it; a clear starts the count again.
  size_t printed = 0;
  const int observer = page.Memo1.AddObserver([&](ui::Control&, std::string_view property) {
    if (property != "lines") return;
    const auto& lines = page.Memo1.Lines();
    if (lines.size() < printed) printed = 0;
    for (; printed < lines.size(); ++printed) {
      std::fprintf(out, "%s\n", Printable(lines[printed]).c_str());
    }
    std::fflush(out);
  });

  page.ComboBox1.SetText(options.port);
  page.ComboBox2.SetText(options.baud);
  page.ComboBox4.SetItemIndex(options.vbi ? 1 : 0);
  page.Button3.Click();
  if (board.ReadEnabled[app::kTerminalSlot].load() != 1) {
    std::fprintf(err, "%s\n", board.StatusText[app::kTerminalSlot].Get().c_str());
    page.Memo1.RemoveObserver(observer);
    application.Close();
    return 1;
  }
  std::fprintf(err, "%s\n", application.Form().StatusBar1.PanelAt(0).text.c_str());

  if (options.switch_protocol) page.Button6.Click();
  ui::EndRequestWatch watch(loop);
  auto asked = [&watch] { return watch.Requested(); };
  if (options.seconds) {
    loop.RunUntil(asked, *options.seconds * 1000);
  } else {
    while (!loop.IsShutDown() && !asked()) loop.RunUntil(asked, kEndlessSliceMs);
  }

  page.Button3.Click();  // Close, as the operator leaves
  page.Memo1.RemoveObserver(observer);
  application.Close();
  return watch.ExitStatus(0);
}

}  // namespace flashpost::terminal
