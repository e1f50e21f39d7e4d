#include "cli/update_command.h"

#include "app/application.h"
#include "app/verdicts.h"
#include "board/colors.h"
#include "cli/common_options.h"
#include "cli/report.h"
#include "cli/station_steps.h"
#include "cli/verify.h"
#include "ui/end_request_watch.h"
#include "ui/headless_loop.h"

namespace flashpost::cli {

namespace {

constexpr const char* kGiveUpText = "Restart module and Tool!";
// A run that has not ended by then is stuck; no road of the page takes this long.
constexpr uint32_t kRunLimitMs = 30 * 60 * 1000;

}  // namespace

const CommandGrammar& UpdateCommand() {
  static const CommandGrammar grammar{
      "update",
      "Updates the firmware of the module on the port, as OK on the window does: the module is "
      "probed for its version and updated by command, or through its boot kernel when it does "
      "not answer.",
      {
          {"--port", "NAME", "the module's port: a name flashpost ports lists, or a link to one"},
          BaudOption("--baud", "the speed the module talks NMEA at now (default 115200)"),
          JsonOption(),
          RecordOption(),
          VerifyOption(),
          VerifyTimeoutOption(),
      }};
  return grammar;
}

bool UpdateOptionsFrom(const ParsedOptions& parsed, UpdateOptions& options, std::string& error) {
  options.port = parsed.Text("--port");
  options.baud = parsed.Text("--baud", options.baud);
  options.json = parsed.Has("--json");
  options.record = parsed.Text("--record");
  if (!VerifyOptionsFrom(parsed, options.verify, options.verify_timeout_s, error)) return false;
  if (options.port.empty()) {
    error = "update needs --port NAME";
    return false;
  }
  return true;
}

int RunUpdate(const UpdateOptions& options, platform::Clock& clock, platform::SerialSystem& serial,
              std::FILE* out, std::FILE* err) {
  Reporter reporter(clock, out, options.json, Reporter::kProgress, options.record,
                    /*progress_bar=*/true);
  if (!reporter.KeepingError().empty()) return StationError(reporter.KeepingError(), err);

  ui::HeadlessLoop loop(clock);
  app::Application application(clock, serial, loop);
  app::TMainForm& form = application.Form();
  app::PortBoard& board = application.Board();
  app::AutoUpdatePage& page = form.AutoPage;

  page.Button12.Click();  // Scan ComPort
  std::vector<NamedPort> ports;
  std::string error;
  if (!ResolvePorts(serial, clock, {options.port}, page.ComboBox6.Items(), ports, error)) {
    application.Close();
    return UsageError(error, err);
  }
  reporter.SetPorts({ports[0].given}, /*slot_prefix=*/false);
  StatusEvents events(board, StatusEvents::Lines::kDownload);
  auto report = [&] {
    for (const StatusEvents::Event& e : events.Take()) {
      if (e.slot == 0) reporter.Show(0, e.text, e.color, e.progress);
    }
    const app::PortBoard::StatusLine status = board.ReadStatus(0);
    reporter.Show(0, status.text, status.color, board.ProgressPercent[0].load());
  };

  ui::EndRequestWatch watch(loop);
  const uint32_t start = clock.Ticks();
  page.ComboBox6.SetText(ports[0].listed);
  page.ComboBox9.SetText(options.baud);
  page.Button13.Click();
  const bool port_opened = !page.Button13.Enabled();
  loop.RunUntil(
      [&] {
        report();
        return page.Button13.Enabled() || board.StatusText[0] == kGiveUpText || watch.Requested();
      },
      kRunLimitMs);
  report();
  if (watch.Requested()) {
    reporter.Message("stopped by signal " + std::to_string(watch.Signal()), app::kRed);
  }

  app::RunRecord record = StartRecord(board, 0, reporter.ElapsedMs());
  record.command = "update";
  record.job = "update";
  record.port = ports[0].given;
  const app::PortBoard::StatusLine status = board.ReadStatus(0);
  record.status = status.text;
  record.passed = !watch.Requested() && app::AutoRunPassed(status.text, status.color);
  if (!port_opened) record.cause = OpenFailureCause(board, 0);
  if (record.passed && options.verify) {
    VerifyBoots(loop, board, {{0, ports[0].listed, options.baud, &record}},
                options.verify_timeout_s * 1000);
  }
  record.duration_ms = clock.Ticks() - start;
  reporter.Result(record);
  application.Close();
  return watch.ExitStatus(Conclude(reporter,
                                   record.passed ? kAllPassed
                                   : port_opened ? kModuleFailed
                                                 : kStationFailed,
                                   err));
}

}  // namespace flashpost::cli
