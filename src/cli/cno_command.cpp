#include "cli/cno_command.h"

#include <algorithm>

#include "app/application.h"
#include "app/verdicts.h"
#include "board/colors.h"
#include "cli/common_options.h"
#include "cli/report.h"
#include "cli/station_steps.h"
#include "cno/cno_page.h"
#include "ui/end_request_watch.h"
#include "ui/headless_loop.h"

namespace flashpost::cli {

namespace {

// The page judges every 500 ms; a verdict is due within a tick or two of the test time.
constexpr uint32_t kVerdictGraceMs = 10'000;
constexpr int64_t kMaxTimeoutMs = 3'600'000;

}  // namespace

const CommandGrammar& CnoCommand() {
  auto number = [](std::string_view name, std::string_view help, int64_t min, int64_t max) {
    return OptionRule::Number(name, "N", help, min, max);
  };
  static const CommandGrammar grammar{
      "cno",
      "Tests the modules' C/N0 against the reference receiver or a keyed-in limit, or writes a "
      "customer ID into them, on up to eight modules at once.",
      {
          {"--port", "NAME", "a module's port; up to eight", /*repeatable=*/true},
          {"--ports", "NAME,NAME,...", "the modules' ports as one list"},
          OptionRule::Choice("--test", "TEST", "the C/N0 test (default) or the customer ID",
                             {"cno", "id"}),
          {"--reference", "PORT", "the reference receiver's port, opened in NMEA (C/N0 test)"},
          BaudOption("--reference-baud", "the reference's speed (default 115200)"),
          {"--id", "TEXT", "the customer ID to write (at most 32 printable characters)"},
          number("--timeout-ms", "the test time (default 20000, or 10000 for the ID)", 0,
                 kMaxTimeoutMs),
          {"--key-in", "", "compare with --limit instead of the reference's strongest C/N0"},
          number("--limit", "the keyed-in limit in dB-Hz (default 40)", 0, 99),
          number("--bias", "how far below the limit a module may be, in dB (default 0)", -99, 99),
          {"--no-bias", "", "the limit is not lowered by the bias"},
          BaudOption("--baud", "the modules' speed (default 9600)"),
          JsonOption(),
          RecordOption(),
      }};
  return grammar;
}

bool CnoOptionsFrom(const ParsedOptions& parsed, CnoOptions& options, std::string& error) {
  options.ports = parsed.All("--port");
  if (auto list = parsed.OptionalText("--ports")) {
    if (!SplitPortNames(*list, options.ports, error)) return false;
  }
  options.reference = parsed.Text("--reference");
  options.reference_baud = parsed.Text("--reference-baud", options.reference_baud);
  options.test = parsed.Text("--test", "cno") == "cno" ? CnoTest::kCno : CnoTest::kCustomerId;
  options.id = parsed.Text("--id");
  options.timeout_ms = parsed.OptionalNumber("--timeout-ms");
  options.limit = parsed.OptionalNumber("--limit");
  options.bias = parsed.OptionalNumber("--bias");
  options.key_in = parsed.Has("--key-in");
  options.no_bias = parsed.Has("--no-bias");
  options.baud = parsed.OptionalText("--baud");
  options.json = parsed.Has("--json");
  options.record = parsed.Text("--record");
  if (options.ports.empty()) {
    error = "cno needs --port NAME or --ports NAME,NAME,...";
    return false;
  }
  if (!CheckModulePortNames("cno", options.ports, options.reference, error)) return false;
  if (options.test == CnoTest::kCno) {
    // The page checks the reference receiver's port for every C/N0 test, keyed-in limit or not.
    if (options.reference.empty()) {
      error = "cno --test cno needs --reference PORT (open in NMEA, also with --key-in)";
      return false;
    }
    if (parsed.Has("--id")) {
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
    if (options.id.empty()) {
      error = "cno --test id needs --id TEXT";
      return false;
    }
    if (options.id.size() > static_cast<size_t>(cno::CnoPage::kCustomerIdMaxLength)) {
      error = "--id holds at most " + std::to_string(cno::CnoPage::kCustomerIdMaxLength) +
              " characters (the module keeps no more)";
      return false;
    }
    if (!options.reference.empty() || options.key_in || options.no_bias || options.limit ||
        options.bias || parsed.Has("--reference-baud")) {
      error =
          "--reference, --reference-baud, --key-in, --no-bias, --limit and --bias belong to "
          "--test cno";
      return false;
    }
  }
  return true;
}

int RunCno(const CnoOptions& options, platform::Clock& clock, platform::SerialSystem& serial,
           std::FILE* out, std::FILE* err) {
  const bool cno_test = options.test == CnoTest::kCno;
  Reporter reporter(clock, out, options.json, cno_test ? Reporter::kCn0 : Reporter::kNoMeasure,
                    options.record);
  if (!reporter.KeepingError().empty()) return StationError(reporter.KeepingError(), err);

  ui::HeadlessLoop loop(clock);
  app::Application application(clock, serial, loop);
  app::TMainForm& form = application.Form();
  app::PortBoard& board = application.Board();
  cno::CnoPage& page = form.CnoPage;

  page.Button8.Click();  // Scan ComPort
  std::vector<NamedPort> modules, reference;
  std::string error;
  const std::vector<std::string> references =
      options.reference.empty() ? std::vector<std::string>{} : std::vector{options.reference};
  if (!ResolvePorts(serial, clock, options.ports, page.CheckListBox1.Items(), modules, error) ||
      !ResolvePorts(serial, clock, references, page.CheckListBox1.Items(), reference, error) ||
      !CheckModulePorts("cno", modules, reference.empty() ? "" : reference[0].listed, error)) {
    application.Close();
    return UsageError(error, err);
  }
  const uint32_t start = clock.Ticks();
  const std::vector<NamedPort> slots = PortsBySlot(page.CheckListBox1.Items(), modules, reporter);
  const int count = static_cast<int>(slots.size());

  std::vector<app::RunRecord> results;
  auto record_all = [&](const std::string& status, const std::string& cause) {
    results.clear();
    for (int slot = 0; slot < count; ++slot) {
      app::RunRecord record = StartRecord(board, slot, reporter.ElapsedMs());
      record.command = "cno";
      record.job = cno_test ? "cno" : "id";
      record.port = slots[slot].given;
      record.status = status;
      record.cause = cause;
      results.push_back(std::move(record));
    }
  };
  auto not_started = [&](const std::string& why, const std::string& cause) {
    record_all(why, cause);
    for (app::RunRecord& record : results) {
      record.duration_ms = clock.Ticks() - start;
      reporter.Result(record);
    }
    application.Close();
    return Conclude(reporter, kStationFailed, err);
  };

  if (!reference.empty() && !OpenReference(form, reference[0], options.reference_baud,
                                           /*switch_to_vbi=*/false, reporter)) {
    return not_started(board.StatusText[app::kTerminalSlot].Get(),
                       OpenFailureCause(board, app::kTerminalSlot));
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
  TickPorts(page.CheckListBox1, modules);

  StatusEvents events(board, StatusEvents::Lines::kTest);
  page.Button9.Click();  // Start
  if (page.Button9.Enabled()) {
    reporter.Message(page.Label55.Caption(), page.Label55.FontColor());
    return not_started(page.Label55.Caption(), "");
  }
  const std::string id_sent = page.Edit9.Text();

  // A slot's first verdict is its verdict: in the customer ID test a confirmation after the
  // time-out comes too late.
  std::vector<app::SlotOutcome> outcome(count, app::SlotOutcome::kRunning);
  std::vector<std::string> final_status(count);
  auto judge = [&](int slot, const std::string& status, ui::Color color) {
    if (outcome[slot] != app::SlotOutcome::kRunning) return;
    outcome[slot] = app::JudgeCnoSlot(cno_test, id_sent, status, color);
    final_status[slot] = status;
  };
  auto all_judged = [&] {
    for (const StatusEvents::Event& e : events.Take()) {
      if (e.slot == StatusEvents::kMessageLine) {
        reporter.Message(e.text, e.color);
      } else if (e.slot < count) {
        reporter.Show(e.slot, e.text, e.color, cno_test ? page.SortedSatSnr[e.slot][0] : 0);
        judge(e.slot, e.text, e.color);
      }
    }
    bool all = true;
    for (int slot = 0; slot < count; ++slot) {
      const std::string status = board.TestStatusText[slot].Get();
      const ui::Color color = board.TestStatusColor[slot].load();
      reporter.Show(slot, status, color, cno_test ? page.SortedSatSnr[slot][0] : 0);
      judge(slot, status, color);
      all = all && outcome[slot] != app::SlotOutcome::kRunning;
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
  page.Button10.Click();  // Stop: a timed-out customer ID slot's worker still reads

  record_all("", "");
  bool all_passed = ended;
  bool station_failed = false;
  for (int slot = 0; slot < count; ++slot) {
    app::RunRecord& record = results[slot];
    record.status =
        final_status[slot].empty() ? board.TestStatusText[slot].Get() : final_status[slot];
    record.passed = outcome[slot] == app::SlotOutcome::kPassed;
    // Without the reference's measure, or without its own port, the station judged nothing.
    if (record.status == cno::CnoPage::kNoReferenceText) station_failed = true;
    if (record.status == "Open Com Port Failed!") {
      record.cause = OpenFailureCause(board, slot);
      station_failed = true;
    }
    record.duration_ms = clock.Ticks() - start;
    all_passed = all_passed && record.passed;
    reporter.Result(record);
  }
  application.Close();
  return watch.ExitStatus(Conclude(reporter,
                                   station_failed ? kStationFailed
                                   : all_passed   ? kAllPassed
                                                  : kModuleFailed,
                                   err));
}

}  // namespace flashpost::cli
