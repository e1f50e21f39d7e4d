#include "cli/erase_command.h"

#include <algorithm>
#include <optional>

#include "app/application.h"
#include "board/colors.h"
#include "cli/common_options.h"
#include "cli/report.h"
#include "cli/station_steps.h"
#include "ui/end_request_watch.h"
#include "ui/headless_loop.h"

namespace flashpost::cli {

namespace {

constexpr const char* kFinishedCaption = " Finished!(OK) ";
constexpr char kQuestionByte = 'E';
constexpr int64_t kMaxTimeoutS = 24 * 3600;

std::string JsonLines(const std::vector<std::string>& lines) {
  std::string out = "[";
  for (size_t i = 0; i < lines.size(); ++i) out += (i ? ", " : "") + app::JsonString(lines[i]);
  return out + "]";
}

// Prints the eraser's caption and Memo2 as they change.
class EraserReporter {
 public:
  explicit EraserReporter(Reporter& base) : base_(base) {}

  void Show(const std::string& caption, const std::vector<std::string>& memo) {
    std::FILE* out = base_.Out();
    if (caption != caption_) {
      caption_ = caption;
      if (base_.Json()) {
        std::fprintf(out, "{\"ms\": %u, \"caption\": %s}\n", base_.ElapsedMs(),
                     app::JsonString(caption).c_str());
      } else {
        std::fprintf(out, "%s\n", Printable(caption).c_str());
      }
    }
    if (memo != memo_) {
      memo_ = memo;
      if (base_.Json()) {
        std::fprintf(out, "{\"ms\": %u, \"module\": %s}\n", base_.ElapsedMs(),
                     JsonLines(memo).c_str());
      } else {
        for (const std::string& line : memo) std::fprintf(out, "  | %s\n", Printable(line).c_str());
      }
    }
    base_.Flush();
  }

 private:
  Reporter& base_;
  std::optional<std::string> caption_;
  std::optional<std::vector<std::string>> memo_;
};

}  // namespace

const CommandGrammar& EraseCommand() {
  static const CommandGrammar grammar{
      "erase",
      "Erases a module's flash through its boot menu with the terminal page's flash eraser: "
      "power the module up, or reset it, after starting the command.",
      {
          {"--port", "NAME", "the module's port: a name flashpost ports lists, or a link to one"},
          OptionRule::Number("--timeout-s", "N",
                             "how long to wait for the module and its menu (default 120)", 1,
                             kMaxTimeoutS),
          JsonOption(),
          RecordOption(),
      }};
  return grammar;
}

bool EraseOptionsFrom(const ParsedOptions& parsed, EraseOptions& options, std::string& error) {
  options.port = parsed.Text("--port");
  options.timeout_s = static_cast<uint32_t>(parsed.Number("--timeout-s", options.timeout_s));
  options.json = parsed.Has("--json");
  options.record = parsed.Text("--record");
  if (options.port.empty()) {
    error = "erase needs --port NAME";
    return false;
  }
  return true;
}

std::vector<std::string> QuestionsAnswered(const std::vector<std::string>& memo_lines) {
  std::vector<std::string> questions;
  for (const std::string& line : memo_lines) {
    for (auto n = std::count(line.begin(), line.end(), kQuestionByte); n > 0; --n) {
      questions.push_back(line);
    }
  }
  return questions;
}

int RunErase(const EraseOptions& options, platform::Clock& clock, platform::SerialSystem& serial,
             std::FILE* out, std::FILE* err) {
  Reporter base(clock, out, options.json, Reporter::kNoMeasure, options.record);
  if (!base.KeepingError().empty()) return StationError(base.KeepingError(), err);
  EraserReporter reporter(base);

  ui::HeadlessLoop loop(clock);
  app::Application application(clock, serial, loop);
  app::TMainForm& form = application.Form();
  app::PortBoard& board = application.Board();
  terminal::TerminalPage& page = form.TerminalPage;

  page.Button5.Click();  // Scan ComPort
  std::vector<NamedPort> ports;
  std::string error;
  if (!ResolvePorts(serial, clock, {options.port}, page.ComboBox1.Items(), ports, error)) {
    application.Close();
    return UsageError(error, err);
  }
  base.SetPorts({ports[0].given}, /*slot_prefix=*/false);
  const uint32_t start = clock.Ticks();
  auto result = [&](bool passed, const std::string& status, const std::string& cause) {
    app::RunRecord record = StartRecord(board, app::kTerminalSlot, base.ElapsedMs());
    record.command = "erase";
    record.job = "erase";
    record.slot = 0;
    record.port = ports[0].given;
    record.passed = passed;
    record.status = status;
    record.cause = cause;
    record.duration_ms = clock.Ticks() - start;
    return record;
  };

  page.ComboBox1.SetText(ports[0].listed);
  page.SpeedButton3.Click();  // Start
  reporter.Show(page.Label21.Caption(), page.Memo2.Lines());
  if (board.ReadEnabled[app::kTerminalSlot].load() != 1) {
    // The eraser did not start; the open said why on the slot's status line.
    const std::string status = board.StatusText[app::kTerminalSlot].Get();
    base.Message(status, app::kRed);
    const app::RunRecord record =
        result(false, status, OpenFailureCause(board, app::kTerminalSlot));
    page.Button4.Click();
    base.Result(record);
    application.Close();
    return Conclude(base, kStationFailed, err);
  }

  // The eraser stops its timer once it has let go of the port.
  ui::EndRequestWatch watch(loop);
  const bool finished = loop.RunUntil(
                            [&] {
                              reporter.Show(page.Label21.Caption(), page.Memo2.Lines());
                              return !form.Timer3.TimerEnabled() || watch.Requested();
                            },
                            options.timeout_s * 1000) &&
                        !watch.Requested();
  reporter.Show(page.Label21.Caption(), page.Memo2.Lines());

  bool erased = false;
  if (!finished) {
    base.Message((watch.Requested() ? "stopped by signal " + std::to_string(watch.Signal())
                                    : "gave up after " + std::to_string(options.timeout_s) + " s") +
                     " in eraser state " + std::to_string(form.Eraser.EraserState()) + " (" +
                     Printable(page.Label21.Caption()) + "); pressing Stop",
                 app::kRed);
    page.Button4.Click();
    reporter.Show(page.Label21.Caption(), page.Memo2.Lines());
  } else {
    // What Memo2 shows at the end is what the module asked after the erase item was chosen.
    const std::vector<std::string> questions = QuestionsAnswered(page.Memo2.Lines());
    const int confirmations = form.Eraser.EraserConfirmations();
    erased = confirmations > 0 && page.Label21.Caption() == kFinishedCaption;
    if (options.json) {
      std::fprintf(out, "{\"ms\": %u, \"confirmations\": %d, \"questions\": %s}\n",
                   base.ElapsedMs(), confirmations, JsonLines(questions).c_str());
    } else {
      for (const std::string& q : questions) {
        std::fprintf(out, "answered 'y': %s\n", Printable(q).c_str());
      }
      if (!erased) std::fputs("the module asked no erase question: nothing was erased\n", out);
    }
    base.Flush();
  }
  base.Result(result(erased, page.Label21.Caption(), ""));
  application.Close();
  return watch.ExitStatus(Conclude(base, erased ? kAllPassed : kModuleFailed, err));
}

}  // namespace flashpost::cli
