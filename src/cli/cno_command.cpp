#include "cli/cno_command.h"

#include <algorithm>

#include "app/application.h"
#include "app/colors.h"
#include "cno/cno_page.h"
#include "ui/end_request_watch.h"
#include "ui/headless_loop.h"

namespace flashpost::cli {

namespace {

// The page judges every 500 ms; a verdict is due within a tick or two of the test time.
constexpr uint32_t kVerdictGraceMs = 10'000;
constexpr int64_t kMaxTimeoutMs = 3'600'000;
constexpr const char* kCnoPassEnd = " : Pass!";
constexpr const char* kIdPassEnd = " - Pass!";

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

bool ParseCnoOptions(const std::vector<std::string>& args, CnoOptions& options,
                     std::string& error) {
  bool id_given = false;
  OptionWalker walker(args, error);
  while (walker.Next()) {
    const std::string& a = walker.Option();
    auto value = [&walker](std::string& into) { return walker.Value(into); };
    std::string text;
    int64_t number = 0;
    if (a == "--port") {
      if (!value(text)) return false;
      options.ports.push_back(text);
    } else if (a == "--ports") {
      if (!value(text) || !SplitPortNames(text, options.ports, error)) return false;
    } else if (a == "--reference") {
      if (!value(options.reference)) return false;
    } else if (a == "--reference-baud") {
      if (!value(text) || !ParseWholeOption(a, text, 1, 4'000'000, number, error)) return false;
      options.reference_baud = text;
    } else if (a == "--test") {
      if (!value(text)) return false;
      if (text != "cno" && text != "id") {
        error = "--test is cno or id";
        return false;
      }
      options.test = text == "cno" ? CnoTest::kCno : CnoTest::kCustomerId;
    } else if (a == "--id") {
      if (!value(options.id)) return false;
      id_given = true;
    } else if (a == "--timeout-ms") {
      if (!value(text) || !ParseWholeOption(a, text, 0, kMaxTimeoutMs, number, error)) {
        return false;
      }
      options.timeout_ms = number;
    } else if (a == "--limit") {
      if (!value(text) || !ParseWholeOption(a, text, 0, 99, number, error)) return false;
      options.limit = number;
    } else if (a == "--bias") {
      if (!value(text) || !ParseWholeOption(a, text, -99, 99, number, error)) return false;
      options.bias = number;
    } else if (a == "--key-in") {
      options.key_in = true;
    } else if (a == "--no-bias") {
      options.no_bias = true;
    } else if (a == "--baud") {
      if (!value(text) || !ParseWholeOption(a, text, 1, 4'000'000, number, error)) return false;
      options.baud = text;
    } else if (a == "--json") {
      options.json = true;
    } else {
      error = "unknown option '" + a + "'";
      return false;
    }
  }
  if (options.ports.empty()) {
    error = "cno needs --port NAME or --ports NAME,NAME,...";
    return false;
  }
  if (!CheckModulePorts("cno", options.ports, options.reference, error)) return false;
  if (options.test == CnoTest::kCno) {
    // The page checks the reference receiver's port for every C/N0 test, keyed-in limit or not.
    if (options.reference.empty()) {
      error = "cno --test cno needs --reference PORT (open in NMEA, also with --key-in)";
      return false;
    }
    if (id_given) {
      error = "--id belongs to --test id";
      return false;
    }
    if (options.limit && !options.key_in) {
      error = "--limit counts only with --key-in (else the reference's C/N0 is the limit)";
      return false;
    }
    if (options.bias && options.no_bias) {
      error = "--bias and --no-bias contradict each other";
      return false;
    }
  } else {
    if (!id_given || options.id.empty()) {
      error = "cno --test id needs --id TEXT";
      return false;
    }
    if (options.id.size() > static_cast<size_t>(cno::CnoPage::kCustomerIdMaxLength)) {
      error = "--id holds at most " + std::to_string(cno::CnoPage::kCustomerIdMaxLength) +
              " characters (the module keeps no more)";
      return false;
    }
    if (!options.reference.empty() || options.key_in || options.no_bias || options.limit ||
        options.bias) {
      error = "--reference, --key-in, --no-bias, --limit and --bias belong to --test cno";
      return false;
    }
  }
  return true;
}

SlotOutcome JudgeCnoSlot(CnoTest test, const std::string& id_sent, const std::string& status,
                         ui::Color color) {
  if (color == app::kRed) return SlotOutcome::kFailed;
  if (color != app::kGreen) return SlotOutcome::kRunning;
  if (test == CnoTest::kCno) {
    return EndsWith(status, kCnoPassEnd) ? SlotOutcome::kPassed : SlotOutcome::kFailed;
  }
  // The page passes whatever ID the module reported back; only the one sent counts here.
  return status == id_sent + kIdPassEnd ? SlotOutcome::kPassed : SlotOutcome::kFailed;
}

int RunCno(const CnoOptions& options, platform::Clock& clock, platform::SerialSystem& serial,
           std::FILE* out, std::FILE* err) {
  ui::HeadlessLoop loop(clock);
  app::Application application(clock, serial, loop);
  app::TMainForm& form = application.Form();
  app::PortBoard& board = application.Board();
  cno::CnoPage& page = form.CnoPage;
  const bool cno_test = options.test == CnoTest::kCno;
  SlotReporter reporter(clock, out, options.json,
                        cno_test ? SlotReporter::kCn0 : SlotReporter::kNoMeasure);

  page.Button8.Click();  // Scan ComPort
  if (std::string missing = FirstUnlisted(options.ports, page.CheckListBox1.Items());
      !missing.empty()) {
    std::fprintf(err,
                 "flashpost: port '%s' is not among the ports found (see flashpost ports; "
                 "FLASHPOST_PORTS adds ports)\n",
                 Printable(missing).c_str());
    application.Close();
    return 2;
  }
  if (!options.reference.empty() && !OpenReference(form, options.reference, options.reference_baud,
                                                   /*switch_to_vbi=*/false, reporter)) {
    application.Close();
    return 1;
  }

  // The option buttons set the job flags; the check boxes then reset the limit boxes, so the
  // numbers are entered last.
  if (cno_test) {
    page.RadioButton6.Click();
    if (options.key_in == page.CheckBox1.Checked()) page.CheckBox1.Click();
    if (options.no_bias == page.CheckBox2.Checked()) page.CheckBox2.Click();
    if (options.limit) page.Edit7.SetText(std::to_string(*options.limit));
    if (options.bias) page.Edit8.SetText(std::to_string(*options.bias));
  } else {
    page.RadioButton7.Click();
    page.Edit9.SetText(options.id);
  }
  if (options.timeout_ms) page.Edit6.SetText(std::to_string(*options.timeout_ms));
  if (options.baud) page.ComboBox5.SetText(*options.baud);
  TickPorts(page.CheckListBox1, options.ports);

  page.Button9.Click();  // Start
  if (page.Button9.Enabled()) {
    reporter.Message(page.Label55.Caption(), page.Label55.FontColor());
    application.Close();
    return 1;
  }
  reporter.Message(board.TestMessageText.Get(), board.TestMessageColor.load());

  const int slots = std::clamp(board.SelectedPortCount.load(), 0, app::kModuleSlotCount);
  std::vector<std::string> ports;
  for (int slot = 0; slot < slots; ++slot) ports.push_back(board.SelectedPorts[slot].Get());
  reporter.SetPorts(ports);
  const std::string id_sent = page.Edit9.Text();

  // A slot's first verdict is its verdict: the page works the C/N0 one out again at every tick,
  // and in the customer ID test a confirmation after the time-out comes too late.
  std::vector<SlotOutcome> outcome(slots, SlotOutcome::kRunning);
  std::vector<std::string> final_status(slots);
  auto all_judged = [&] {
    bool all = true;
    for (int slot = 0; slot < slots; ++slot) {
      if (outcome[slot] != SlotOutcome::kRunning) continue;
      const std::string status = board.TestStatusText[slot].Get();
      const ui::Color color = board.TestStatusColor[slot].load();
      reporter.Show(slot, status, color, cno_test ? page.SortedSatSnr[slot][0] : 0);
      outcome[slot] = JudgeCnoSlot(options.test, id_sent, status, color);
      final_status[slot] = status;
      all = all && outcome[slot] != SlotOutcome::kRunning;
    }
    return all;
  };
  const uint32_t limit_ms = static_cast<uint32_t>(page.TestTimeoutMs) + kVerdictGraceMs;
  ui::EndRequestWatch watch(loop);
  const bool ended = loop.RunUntil([&] { return all_judged() || watch.Requested(); }, limit_ms) &&
                     !watch.Requested();
  if (!ended) {
    reporter.Message(watch.Requested()
                         ? "stopped by signal " + std::to_string(watch.Signal()) +
                               ": not every slot has its verdict"
                         : "gave up: not every slot had its verdict " +
                               std::to_string(kVerdictGraceMs / 1000) + " s after the test time",
                     app::kRed);
  }
  bool all_passed = ended;
  for (int slot = 0; slot < slots; ++slot) {
    const bool passed = outcome[slot] == SlotOutcome::kPassed;
    all_passed = all_passed && passed;
    reporter.Verdict(slot, passed, final_status[slot]);
  }
  page.Button10.Click();  // Stop: a timed-out customer ID slot's worker still reads
  application.Close();
  return watch.ExitStatus(all_passed ? 0 : 1);
}

}  // namespace flashpost::cli
