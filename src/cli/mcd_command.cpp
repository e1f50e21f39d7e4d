#include "cli/mcd_command.h"

#include <algorithm>
#include <array>
#include <utility>

#include "app/application.h"
#include "app/colors.h"
#include "ui/end_request_watch.h"
#include "ui/headless_loop.h"

namespace flashpost::cli {

namespace {

// Once every slot looks finished the loop runs this long more, and the slots are judged again:
// a worker sets a slot's colour and text one after the other, and the two must belong together.
constexpr uint32_t kSettleMs = 300;
constexpr int64_t kMaxWaitingMs = 3'600'000;
constexpr int64_t kMaxTimeoutS = 24 * 3600;

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

bool Calibrates(McdJob job) { return job == McdJob::kXtal || job == McdJob::kAllImageXtal; }

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

bool ParseMcdOptions(const std::vector<std::string>& args, McdOptions& options,
                     std::string& error) {
  bool job_given = false;
  OptionWalker walker(args, error);
  while (walker.Next()) {
    const std::string& a = walker.Option();
    auto value = [&walker](std::string& into) { return walker.Value(into); };
    std::string text;
    int64_t number = 0;
    if (a == "--reference") {
      if (!value(options.reference)) return false;
    } else if (a == "--reference-baud") {
      if (!value(text) || !ParseWholeOption(a, text, 1, 4'000'000, number, error)) return false;
      options.reference_baud = text;
    } else if (a == "--port") {
      if (!value(text)) return false;
      options.ports.push_back(text);
    } else if (a == "--ports") {
      if (!value(text) || !SplitPortNames(text, options.ports, error)) return false;
    } else if (a == "--job") {
      if (!value(text)) return false;
      auto it = std::find_if(kJobNames.begin(), kJobNames.end(),
                             [&](const JobName& j) { return text == j.name; });
      if (it == kJobNames.end()) {
        error = "--job is fwap, fsa, all-image, all-image-code, xtal or all-image-xtal, not '" +
                text + "'";
        return false;
      }
      options.job = it->job;
      job_given = true;
    } else if (a == "--file") {
      if (!value(options.file)) return false;
    } else if (a == "--waiting-ms") {
      if (!value(text) || !ParseWholeOption(a, text, 1, kMaxWaitingMs, number, error)) {
        return false;
      }
      options.waiting_ms = number;
    } else if (a == "--output") {
      if (!value(text)) return false;
      if (text != "nmea" && text != "vbi") {
        error = "--output is nmea or vbi";
        return false;
      }
      options.vbi_output = text == "vbi";
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
  if (options.reference.empty()) {
    error = "mcd needs --reference PORT (the reference receiver; Start needs it in VBI)";
    return false;
  }
  if (options.ports.empty()) {
    error = "mcd needs --port NAME or --ports NAME,NAME,...";
    return false;
  }
  if (!job_given) {
    error = "mcd needs --job fwap|fsa|all-image|all-image-code|xtal|all-image-xtal";
    return false;
  }
  if (!CheckModulePorts("mcd", options.ports, options.reference, error)) return false;
  return true;
}

std::string McdPassText(McdJob job, bool vbi_output) {
  switch (job) {
    case McdJob::kFwAp:
      return " FW(AP) update OK!(OK)";
    case McdJob::kFsa:
      return " FSA update OK!(OK)";
    case McdJob::kAllImage:
      return "All Image Download OK!";
    case McdJob::kAllImageCode:
      return " All Image update OK!(OK)";
    case McdJob::kXtal:
    case McdJob::kAllImageXtal:
      // Handed back in NMEA, the module's port is closed once its calibration data came: the
      // last status report is never read.
      return vbi_output ? " F3 Success - 4(Test OK!)" : "Close ComPort for NMEA mode!";
  }
  return {};
}

SlotOutcome JudgeMcdSlot(McdJob job, bool vbi_output, const std::string& status, ui::Color color,
                         bool worker_done) {
  if (status == McdPassText(job, vbi_output)) return SlotOutcome::kPassed;
  if (worker_done) return SlotOutcome::kFailed;
  if (Calibrates(job) && color == app::kRed) return SlotOutcome::kFailed;
  return SlotOutcome::kRunning;
}

int RunMcd(const McdOptions& options, platform::Clock& clock, platform::SerialSystem& serial,
           std::FILE* out, std::FILE* err) {
  ui::HeadlessLoop loop(clock);
  app::Application application(clock, serial, loop);
  app::TMainForm& form = application.Form();
  app::PortBoard& board = application.Board();
  download::MultiPortPage& page = form.McdPage;
  SlotReporter reporter(clock, out, options.json, SlotReporter::kProgress);

  page.Button16.Click();  // Scan ComPort
  if (std::string missing = FirstUnlisted(options.ports, page.ComPortList.Items());
      !missing.empty()) {
    std::fprintf(err,
                 "flashpost: port '%s' is not among the ports found (see flashpost ports; "
                 "FLASHPOST_PORTS adds ports)\n",
                 Printable(missing).c_str());
    application.Close();
    return 2;
  }
  if (!OpenReference(form, options.reference, options.reference_baud, /*switch_to_vbi=*/true,
                     reporter)) {
    application.Close();
    return 1;
  }

  ChooseJob(page.Options, options.job);
  page.Options.ComboBox8.SetItemIndex(options.vbi_output ? kOutputVbiItem : kOutputNmeaItem);
  if (options.waiting_ms) page.Edit25.SetText(std::to_string(*options.waiting_ms));
  TickPorts(page.ComPortList, options.ports);
  if (!options.file.empty()) {
    form.OpenDialog1.SetFileName(options.file);
    page.Button2.Click();
  }
  page.Button1.Click();  // Start
  if (page.Button1.Enabled()) {
    // Refused: the page said why on its message line.
    reporter.Message(board.MessageText.Get(), board.MessageColor.load());
    application.Close();
    return 1;
  }
  reporter.Message(board.MessageText.Get(), board.MessageColor.load());

  const int slots = std::clamp(board.SelectedPortCount.load(), 0, app::kModuleSlotCount);
  std::vector<std::string> ports;
  for (int slot = 0; slot < slots; ++slot) ports.push_back(board.SelectedPorts[slot].Get());
  reporter.SetPorts(ports);

  auto judge = [&](int slot) {
    auto worker = board.Worker[slot].Get();
    return JudgeMcdSlot(options.job, options.vbi_output, board.StatusText[slot].Get(),
                        board.StatusColor[slot].load(), !worker || worker->Finished());
  };
  auto all_ended = [&] {
    for (int slot = 0; slot < slots; ++slot) {
      reporter.Show(slot, board.StatusText[slot].Get(), board.StatusColor[slot].load(),
                    board.ProgressPercent[slot].load());
    }
    for (int slot = 0; slot < slots; ++slot) {
      if (judge(slot) == SlotOutcome::kRunning) return false;
    }
    return true;
  };

  const uint32_t limit_ms = options.timeout_s * 1000;
  const uint32_t start = clock.Ticks();
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

  bool all_passed = ended;
  if (!ended) {
    reporter.Message(
        (watch.Requested() ? "stopped by signal " + std::to_string(watch.Signal())
                           : "gave up after " + std::to_string(options.timeout_s) + " s") +
            ": not every slot has ended; pressing Stop",
        app::kRed);
  }
  for (int slot = 0; slot < slots; ++slot) {
    const bool passed = judge(slot) == SlotOutcome::kPassed;
    all_passed = all_passed && passed;
    reporter.Verdict(slot, passed, board.StatusText[slot].Get());
  }
  page.Button7.Click();  // Stop: a calibrated module's port is still open and read
  application.Close();
  return watch.ExitStatus(all_passed ? 0 : 1);
}

}  // namespace flashpost::cli
