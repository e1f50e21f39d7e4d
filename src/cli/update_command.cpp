#include "cli/update_command.h"

#include <string_view>

#include "app/application.h"
#include "cli/slot_reporter.h"
#include "platform/terminal.h"
#include "ui/end_request_watch.h"
#include "ui/headless_loop.h"

namespace flashpost::cli {

namespace {

constexpr const char* kGiveUpText = "Restart module and Tool!";
// A run that has not ended by then is stuck; no road of the page takes this long.
constexpr uint32_t kRunLimitMs = 30 * 60 * 1000;

// Prints what the operator would see change on the automatic page.
class PageReporter {
 public:
  PageReporter(const app::AutoUpdatePage& page, platform::Clock& clock, std::FILE* out, bool json)
      : page_(page),
        clock_(clock),
        out_(out),
        json_(json),
        terminal_(platform::IsTerminal(out)),
        start_(clock.Ticks()),
        status_(page.Label63.Caption()),
        color_(page.Label63.FontColor()) {}

  void Report() {
    const std::string& status = page_.Label63.Caption();
    const ui::Color color = page_.Label63.FontColor();
    const int progress = page_.ProgressBar17.Position();
    const bool status_changed = status != status_ || color != color_;
    const bool progress_changed = progress != progress_;
    if (!status_changed && !progress_changed) return;
    status_ = status;
    color_ = color;
    progress_ = progress;
    if (json_) {
      std::fprintf(out_, "{\"ms\": %u, \"status\": %s, \"color\": %s, \"progress\": %d}\n",
                   clock_.Ticks() - start_, JsonString(status).c_str(),
                   JsonString(ColorName(color)).c_str(), progress);
    } else {
      if (status_changed) {
        EndBar();
        std::fprintf(out_, "[%s] %s\n", ColorName(color).c_str(), status.c_str());
      }
      if (progress_changed) ShowProgress(progress);
    }
    std::fflush(out_);
  }

  void Finish() {
    Report();
    EndBar();
    std::fflush(out_);
  }

 private:
  void ShowProgress(int percent) {
    if (terminal_) {
      constexpr int kWidth = 40;
      int filled = percent * kWidth / 100;
      std::fprintf(out_, "\r[%s%s] %3d%%", std::string(filled, '#').c_str(),
                   std::string(kWidth - filled, ' ').c_str(), percent);
      bar_open_ = true;
    } else if (percent / 10 != shown_decile_) {
      shown_decile_ = percent / 10;
      std::fprintf(out_, "progress %d%%\n", percent);
    }
  }
  void EndBar() {
    if (bar_open_) std::fputc('\n', out_);
    bar_open_ = false;
  }

  const app::AutoUpdatePage& page_;
  platform::Clock& clock_;
  std::FILE* out_;
  const bool json_;
  const bool terminal_;
  const uint32_t start_;
  std::string status_;
  ui::Color color_;
  int progress_ = -1;
  int shown_decile_ = -1;
  bool bar_open_ = false;
};

}  // namespace

bool ParseUpdateOptions(const std::vector<std::string>& args, UpdateOptions& options,
                        std::string& error) {
  OptionWalker walker(args, error);
  while (walker.Next()) {
    const std::string& a = walker.Option();
    auto value = [&walker](std::string& into) { return walker.Value(into); };
    if (a == "--port") {
      if (!value(options.port)) return false;
    } else if (a == "--baud") {
      if (!value(options.baud)) return false;
    } else if (a == "--json") {
      options.json = true;
    } else {
      error = "unknown option '" + a + "'";
      return false;
    }
  }
  if (options.port.empty()) {
    error = "update needs --port NAME";
    return false;
  }
  return true;
}

int RunUpdate(const UpdateOptions& options, platform::Clock& clock, platform::SerialSystem& serial,
              std::FILE* out) {
  ui::HeadlessLoop loop(clock);
  app::Application application(clock, serial, loop);
  app::TMainForm& form = application.Form();
  app::AutoUpdatePage& page = form.AutoPage;
  PageReporter reporter(page, clock, out, options.json);
  ui::EndRequestWatch watch(loop);

  page.ComboBox6.SetText(options.port);
  page.ComboBox9.SetText(options.baud);
  page.Button13.Click();
  loop.RunUntil(
      [&] {
        reporter.Report();
        return page.Button13.Enabled() || page.Label63.Caption() == kGiveUpText ||
               watch.Requested();
      },
      kRunLimitMs);
  // The last status may not have reached the page yet: OK comes back before the next refresh.
  form.RefreshBoard();
  reporter.Finish();

  const std::string& status = page.Label63.Caption();
  const bool ok = page.Label63.FontColor() == app::kGreen && status.size() >= 4 &&
                  status.compare(status.size() - 4, 4, "(OK)") == 0;
  application.Close();
  return watch.ExitStatus(ok ? 0 : 1);
}

}  // namespace flashpost::cli
