#include "cli/erase_command.h"

#include <algorithm>
#include <optional>

#include "app/application.h"
#include "app/colors.h"
#include "cli/slot_reporter.h"
#include "ui/end_request_watch.h"
#include "ui/headless_loop.h"

namespace flashpost::cli {

namespace {

constexpr const char* kFinishedCaption = " Finished!(OK) ";
constexpr char kQuestionByte = 'E';
constexpr int64_t kMaxTimeoutS = 24 * 3600;

std::string JsonLines(const std::vector<std::string>& lines) {
  std::string out = "[";
  for (size_t i = 0; i < lines.size(); ++i) out += (i ? ", " : "") + JsonString(lines[i]);
  return out + "]";
}

// Prints the eraser's caption and Memo2 as they change.
class EraserReporter {
 public:
  explicit EraserReporter(const SlotReporter& base) : base_(base) {}

  void Show(const std::string& caption, const std::vector<std::string>& memo) {
    std::FILE* out = base_.Out();
    if (caption != caption_) {
      caption_ = caption;
      if (base_.Json()) {
        std::fprintf(out, "{\"ms\": %u, \"caption\": %s}\n", base_.ElapsedMs(),
                     JsonString(caption).c_str());
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
    std::fflush(out);
  }

 private:
  const SlotReporter& base_;
  std::optional<std::string> caption_;
  std::optional<std::vector<std::string>> memo_;
};

}  // namespace

bool ParseEraseOptions(const std::vector<std::string>& args, EraseOptions& options,
                       std::string& error) {
  OptionWalker walker(args, error);
  while (walker.Next()) {
    const std::string& a = walker.Option();
    auto value = [&walker](std::string& into) { return walker.Value(into); };
    std::string text;
    int64_t number = 0;
    if (a == "--port") {
      if (!value(options.port)) return false;
    } else if (a == "--timeout-s") {
      if (!value(text) || !ParseWholeOption(a, text, 1, kMaxTimeoutS, number, error)) {
        return false;
      }
      options.timeout_s = static_cast<uint32_t>(number);
    } else if (a == "--json") {
      options.json = true;
    } else {
      error = "unknown option '" + a + "'";
      return false;
    }
  }
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
  ui::HeadlessLoop loop(clock);
  app::Application application(clock, serial, loop);
  app::TMainForm& form = application.Form();
  app::PortBoard& board = application.Board();
  terminal::TerminalPage& page = form.TerminalPage;
  SlotReporter base(clock, out, options.json, SlotReporter::kNoMeasure);
  EraserReporter reporter(base);

  page.Button5.Click();  // Scan ComPort
  if (std::string missing = FirstUnlisted({options.port}, page.ComboBox1.Items());
      !missing.empty()) {
    std::fprintf(err,
                 "flashpost: port '%s' is not among the ports found (see flashpost ports; "
                 "FLASHPOST_PORTS adds ports)\n",
                 Printable(missing).c_str());
    application.Close();
    return 2;
  }

  page.ComboBox1.SetText(options.port);
  page.SpeedButton3.Click();  // Start
  reporter.Show(page.Label21.Caption(), page.Memo2.Lines());
  if (board.ReadEnabled[app::kTerminalSlot].load() != 1) {
    // The eraser did not start; the open said why on the slot's status line.
    base.Message(board.StatusText[app::kTerminalSlot].Get(), app::kRed);
    page.Button4.Click();
    application.Close();
    return 1;
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

  int status = 1;
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
    const bool erased = confirmations > 0 && page.Label21.Caption() == kFinishedCaption;
    status = erased ? 0 : 1;
    if (options.json) {
      std::fprintf(out, "{\"ms\": %u, \"result\": %s, \"confirmations\": %d, \"questions\": %s}\n",
                   base.ElapsedMs(), erased ? "\"pass\"" : "\"fail\"", confirmations,
                   JsonLines(questions).c_str());
    } else {
      for (const std::string& q : questions) {
        std::fprintf(out, "answered 'y': %s\n", Printable(q).c_str());
      }
      if (erased) {
        std::fprintf(out, "PASS: %d erase question(s) confirmed\n", confirmations);
      } else {
        std::fputs("FAIL: the module asked no erase question: nothing was erased\n", out);
      }
    }
    std::fflush(out);
  }
  application.Close();
  return watch.ExitStatus(status);
}

}  // namespace flashpost::cli
