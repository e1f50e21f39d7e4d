#include "cli/mcd_command.h"

#include <algorithm>
#include <array>
#include <utility>

#include "app/application.h"
#include "board/colors.h"
#include "cli/common_options.h"
#include "cli/report.h"
#include "cli/station_steps.h"
#include "cli/verify.h"
#include "ui/end_request_watch.h"
#include "ui/headless_loop.h"

namespace flashpost::cli {

namespace {

// Once every slot looks finished the loop runs this long more, and the slots are judged again:
// a worker sets a slot's colour and text one after the other, and the two must belong together.
constexpr uint32_t kSettleMs = 300;

struct JobName {
  const char* name;
  McdJob job;
};
constexpr std::array<JobName, 6> kJobNames{{{"fwap", McdJob::kFwAp},
                                            {"fsa", McdJob::kFsa},
                                            {"all-image", McdJob::kAllImage},
                                            {"all-image-code", McdJob::kAllImageCode},
                                            {"xtal", McdJob::kXtal},
                                            {"all-image-xtal", McdJob::kAllImageXtal}}};

bool Calibrates(McdJob job) { return app::McdJobCalibrates(job); }
// The jobs after which the module restarts into new firmware of its own.
bool Verifiable(McdJob job) { return job == McdJob::kFwAp || job == McdJob::kAllImage; }

// The option group's click for the job.
void ChooseJob(download::UpdateOptionsGroup& group, McdJob job) {
  switch (job) {
    case McdJob::kFwAp:
      return group.RadioButton5.Click();
    case McdJob::kFsa:
      return group.RadioButton1.Click();
    case McdJob::kAllImage:
      return group.RadioButton2.Click();
    case McdJob::kAllImageCode:
      return group.RadioButton3.Click();
    case McdJob::kXtal:
      return group.RadioButton4.Click();
    case McdJob::kAllImageXtal:
      group.RadioButton2.Click();
      if (!group.AutoCalibration.Checked()) group.AutoCalibration.Click();
      return;
  }
}

// The output list's entries: 1 "VBI protocol", 2 "NMEA protocol".
constexpr int kOutputVbiItem = 1;
constexpr int kOutputNmeaItem = 2;

}  // namespace

const CommandGrammar& McdCommand() {
  static const CommandGrammar grammar{
      "mcd",
      "Runs one job of the multi-port page on up to eight modules at once, against the reference "
      "receiver, as an operator does with Start.",
      {
          {"--reference", "PORT", "the reference receiver's port (Start needs it, in VBI)"},
          BaudOption("--reference-baud",
                     "the reference's speed, also the modules' NMEA speed (default 115200)"),
          {"--port", "NAME", "a module's port; up to eight", /*repeatable=*/true},
          {"--ports", "NAME,NAME,...", "the modules' ports as one list"},
          OptionRule::Choice(
              "--job", "JOB", "the job",
              {"fwap", "fsa", "all-image", "all-image-code", "xtal", "all-image-xtal"}),
          {"--file", "PATH",
           "the file whose size the page checks (the modules get the firmware "
           "built into the program)"},
          OptionRule::Number("--waiting-ms", "N",
                             "the page's Waiting Time (default: the job's own)", 1, 3'600'000),
          OptionRule::Choice("--output", "PROTOCOL",
                             "what a calibrated module talks afterwards (default nmea)",
                             {"nmea", "vbi"}),
          OptionRule::Number("--timeout-s", "N", "the whole run's limit (default 1800)", 1,
                             24 * 3600),
          JsonOption(),
          RecordOption(),
          VerifyOption(),
          VerifyTimeoutOption(),
      }};
  return grammar;
}

bool McdOptionsFrom(const ParsedOptions& parsed, McdOptions& options, std::string& error) {
  options.reference = parsed.Text("--reference");
  options.reference_baud = parsed.Text("--reference-baud", options.reference_baud);
  options.ports = parsed.All("--port");
  if (auto list = parsed.OptionalText("--ports")) {
    if (!SplitPortNames(*list, options.ports, error)) return false;
  }
  if (auto job = parsed.OptionalText("--job")) {
    options.job = std::find_if(kJobNames.begin(), kJobNames.end(), [&](const JobName& j) {
                    return *job == j.name;
                  })->job;
  }
  options.file = parsed.Text("--file");
  options.waiting_ms = parsed.OptionalNumber("--waiting-ms");
  options.vbi_output = parsed.Text("--output") == "vbi";
  options.timeout_s = static_cast<uint32_t>(parsed.Number("--timeout-s", options.timeout_s));
  options.json = parsed.Has("--json");
  options.record = parsed.Text("--record");
  if (!VerifyOptionsFrom(parsed, options.verify, options.verify_timeout_s, error)) return false;
  if (options.reference.empty()) {
    error = "mcd needs --reference PORT (the reference receiver; Start needs it in VBI)";
    return false;
  }
  if (options.ports.empty()) {
    error = "mcd needs --port NAME or --ports NAME,NAME,...";
    return false;
  }
  if (!parsed.Has("--job")) {
    error = "mcd needs --job fwap|fsa|all-image|all-image-code|xtal|all-image-xtal";
    return false;
  }
  if (!CheckModulePortNames("mcd", options.ports, options.reference, error)) return false;
  if (parsed.Has("--output") && !Calibrates(options.job)) {
    error = "--output belongs to the calibrating jobs (xtal, all-image-xtal)";
    return false;
  }
  if (options.verify && !Verifiable(options.job)) {
    error = "--verify belongs to the jobs after which the module restarts (fwap, all-image)";
    return false;
  }
  return true;
}

int RunMcd(const McdOptions& options, platform::Clock& clock, platform::SerialSystem& serial,
           std::FILE* out, std::FILE* err) {
  Reporter reporter(clock, out, options.json, Reporter::kProgress, options.record);
  if (!reporter.KeepingError().empty()) return StationError(reporter.KeepingError(), err);

  ui::HeadlessLoop loop(clock);
  app::Application application(clock, serial, loop);
  app::TMainForm& form = application.Form();
  app::PortBoard& board = application.Board();
  download::MultiPortPage& page = form.McdPage;

  page.Button16.Click();  // Scan ComPort
  std::vector<NamedPort> modules, reference;
  std::string error;
  if (!ResolvePorts(serial, clock, options.ports, page.ComPortList.Items(), modules, error) ||
      !ResolvePorts(serial, clock, {options.reference}, page.ComPortList.Items(), reference,
                    error) ||
      !CheckModulePorts("mcd", modules, reference[0].listed, error)) {
    application.Close();
    return UsageError(error, err);
  }

  const uint32_t start = clock.Ticks();
  const std::vector<NamedPort> slots = PortsBySlot(page.ComPortList.Items(), modules, reporter);

  auto records = [&](const std::string& status, const std::string& cause) {
    std::vector<app::RunRecord> all;
    for (size_t slot = 0; slot < slots.size(); ++slot) {
      app::RunRecord record = StartRecord(board, static_cast<int>(slot), reporter.ElapsedMs());
      record.command = "mcd";
      record.job = app::McdJobName(options.job);
      record.port = slots[slot].given;
      record.status = status;
      record.cause = cause;
      record.duration_ms = clock.Ticks() - start;
      all.push_back(std::move(record));
    }
    return all;
  };
  // A run that never started still ends each slot with its result.
  auto not_started = [&](const std::string& why, const std::string& cause) {
    for (const app::RunRecord& record : records(why, cause)) reporter.Result(record);
    application.Close();
    return Conclude(reporter, kStationFailed, err);
  };

  if (!OpenReference(form, reference[0], options.reference_baud, /*switch_to_vbi=*/true,
                     reporter)) {
    return not_started(board.StatusText[app::kTerminalSlot].Get(),
                       OpenFailureCause(board, app::kTerminalSlot));
  }

  ChooseJob(page.Options, options.job);
  page.Options.ComboBox8.SetItemIndex(options.vbi_output ? kOutputVbiItem : kOutputNmeaItem);
  if (options.waiting_ms) page.Edit25.SetText(std::to_string(*options.waiting_ms));
  TickPorts(page.ComPortList, modules);
  if (!options.file.empty()) {
    form.OpenDialog1.SetFileName(options.file);
    page.Button2.Click();
  }
  StatusEvents events(board, StatusEvents::Lines::kDownload);
  page.Button1.Click();  // Start
  if (page.Button1.Enabled()) {
    // Refused: the page said why on its message line.
    reporter.Message(board.MessageText.Get(), board.MessageColor.load());
    return not_started(board.MessageText.Get(), "");
  }

  const int count = static_cast<int>(slots.size());
  auto judge = [&](int slot) {
    auto worker = board.Worker[slot].Get();
    const app::PortBoard::StatusLine status = board.ReadStatus(slot);
    return app::JudgeMcdSlot(options.job, options.vbi_output, status.text, status.color,
                             !worker || worker->Finished());
  };
  auto report = [&] {
    for (const StatusEvents::Event& e : events.Take()) {
      if (e.slot == StatusEvents::kMessageLine) {
        reporter.Message(e.text, e.color);
      } else if (e.slot < count) {
        reporter.Show(e.slot, e.text, e.color, e.progress);
      }
    }
    for (int slot = 0; slot < count; ++slot) {
      const app::PortBoard::StatusLine status = board.ReadStatus(slot);
      reporter.Show(slot, status.text, status.color, board.ProgressPercent[slot].load());
    }
  };
  auto all_ended = [&] {
    report();
    for (int slot = 0; slot < count; ++slot) {
      if (judge(slot) == SlotOutcome::kRunning) return false;
    }
    return true;
  };

  const uint32_t limit_ms = options.timeout_s * 1000;
  ui::EndRequestWatch watch(loop);
  auto ended_or_asked = [&] { return all_ended() || watch.Requested(); };
  bool ended = false;
  while (!ended) {
    const uint32_t used = clock.Ticks() - start;
    if (used >= limit_ms || !loop.RunUntil(ended_or_asked, limit_ms - used) || watch.Requested()) {
      break;
    }
    loop.RunFor(kSettleMs);
    ended = all_ended();
  }
  if (!ended) {
    reporter.Message(
        (watch.Requested() ? "stopped by signal " + std::to_string(watch.Signal())
                           : "gave up after " + std::to_string(options.timeout_s) + " s") +
            ": not every slot has ended; pressing Stop",
        app::kRed);
  }

  std::vector<app::RunRecord> results = records("", "");
  bool station_failed = false;
  for (int slot = 0; slot < count; ++slot) {
    app::RunRecord& record = results[slot];
    record.status = board.StatusText[slot].Get();
    record.passed = judge(slot) == SlotOutcome::kPassed;
    if (record.status == "Open Com Port Failed!") {
      record.cause = OpenFailureCause(board, slot);
      station_failed = true;
    }
  }
  page.Button7.Click();  // Stop: a calibrated module's port is still open and read
  report();
  if (options.verify && !watch.Requested()) {
    std::vector<VerifyTarget> targets;
    for (int slot = 0; slot < count; ++slot) {
      if (results[slot].passed) {
        targets.push_back({slot, slots[slot].listed, options.reference_baud, &results[slot]});
      }
    }
    VerifyBoots(loop, board, targets, options.verify_timeout_s * 1000);
  }
  bool all_passed = ended;
  for (app::RunRecord& record : results) {
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
