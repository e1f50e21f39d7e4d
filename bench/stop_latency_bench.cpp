// Measures how promptly the program lets go when it is told to, on the real clock, with simulated
// modules on pseudo-terminals that pace their bytes at the line rate. It measures; it asserts
// nothing:
//  - Stop to idle: the Stop of each page pressed at random moments of each kind of job (the
//    automatic page, which has no Stop, is stopped as the window's close stops it), until every
//    port of the run is closed and every worker of it has left;
//  - the window's close: TMainForm::FormClose and the application's teardown, in the middle of a
//    job, until all is gone;
//  - `flashpost update`: from its verdict line to the end of the process;
//  - the automatic page's give-up: from "Restart module and Tool!" to OK enabled.
//   stop_latency_bench --flashpost PATH --update-port PORT [--samples N]
// PATH is the built program, PORT a simulated module (kx420-sim) talking NMEA at 9600 baud.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <iterator>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "app/application.h"
#include "platform/child_process.h"
#include "sim/reference_receiver.h"
#include "sim/simulated_module.h"
#include "ui/headless_loop.h"

namespace {

using namespace flashpost;
using Steady = std::chrono::steady_clock;

double MsSince(Steady::time_point start) {
  return std::chrono::duration<double, std::milli>(Steady::now() - start).count();
}

struct Figures {
  std::string what;
  double target_ms = 0;
  std::vector<double> ms;

  void Print() const {
    std::vector<double> sorted = ms;
    std::sort(sorted.begin(), sorted.end());
    if (sorted.empty()) {
      std::printf("  %-52s %7s %10s %10s   <= %.0f ms\n", what.c_str(), "0", "-", "-", target_ms);
      return;
    }
    const double median = sorted[sorted.size() / 2];
    std::printf("  %-52s %7zu %10.1f %10.1f   <= %.0f ms%s\n", what.c_str(), sorted.size(), median,
                sorted.back(), target_ms, sorted.back() <= target_ms ? "" : "  (missed)");
  }
};

// The job's ports, as FLASHPOST_PORTS would list them.
class ListedPorts final : public platform::SerialSystem {
 public:
  std::unique_ptr<platform::SerialDevice> Open(const std::string& name, platform::Clock& clock,
                                               uint32_t read_timeout_ms) override {
    return host_->Open(name, clock, read_timeout_ms);
  }
  std::vector<std::string> ListPorts() override { return listed; }
  std::vector<std::string> listed;

 private:
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
};

enum class Job { kAutomatic, kFwAp, kAllImage, kXtal, kAllImageXtal, kCno, kCustomerId, kEraser };

struct JobPlan {
  Job job;
  const char* name;
  uint32_t moment_max_ms;  // Stop comes at a random moment up to this long after Start
};

const JobPlan kPlans[] = {
    {Job::kAutomatic, "automatic update (the close's StopSlot)", 8000},
    {Job::kFwAp, "multi-port FW(AP)", 8000},
    {Job::kAllImage, "multi-port All Image", 6000},
    {Job::kXtal, "XTAL calibration", 6000},
    {Job::kAllImageXtal, "All Image & XTAL Calibration", 6000},
    {Job::kCno, "C/N0 test", 5000},
    {Job::kCustomerId, "customer ID", 3000},
    {Job::kEraser, "flash eraser", 2000},
};

// One application on the real clock and the simulated devices of its job at hand.
class Station {
 public:
  Station() : app_(std::make_unique<app::Application>(clock_, serial_, loop_)) {}

  app::TMainForm& Form() { return app_->Form(); }
  app::PortBoard& Board() { return app_->Board(); }

  // Serves the main loop, looking at done() every fifth of a millisecond; false after limit_ms.
  bool Spin(const std::function<bool()>& done, double limit_ms) {
    const auto start = Steady::now();
    while (!done()) {
      loop_.ProcessPending();
      if (MsSince(start) > limit_ms) return false;
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }
  void Wait(double ms) {
    Spin([] { return false; }, ms);
  }

  void Start(Job job, const std::string& file_fwap, const std::string& file_all_image) {
    modules_.clear();
    auto& form = Form();
    switch (job) {
      case Job::kAutomatic: {
        AddModules(1, Module(9600));
        auto& page = form.AutoPage;
        page.Button12.Click();
        page.ComboBox6.SetText(modules_[0]->PortPath());
        page.ComboBox9.SetText("9600");
        return page.Button13.Click();
      }
      case Job::kEraser: {
        CloseReference();
        sim::ModuleOptions options = Module(9600);
        options.boot.kind = sim::BootMenuKind::kMenu;
        options.boot.window_ms = 60'000;
        AddModules(1, options);
        auto& terminal = form.TerminalPage;
        terminal.Button5.Click();
        terminal.ComboBox1.SetText(modules_[0]->PortPath());
        return terminal.SpeedButton3.Click();
      }
      case Job::kCno:
      case Job::kCustomerId: {
        OpenReference(false);
        sim::ModuleOptions options = Module(115200);
        options.confirm_customer_id = false;  // the test goes on until Stop
        AddModules(2, options);
        auto& page = form.CnoPage;
        page.Button8.Click();
        for (int slot = 0; slot < 2; ++slot) page.CheckListBox1.SetChecked(slot, true);
        (job == Job::kCno ? page.RadioButton6 : page.RadioButton7).Click();
        page.Edit9.SetText("BENCH-1");
        page.ComboBox5.SetText("115200");
        return page.Button9.Click();
      }
      default:
        break;
    }
    OpenReference(true);
    sim::ModuleOptions options = Module(115200);
    options.dead_firmware = job == Job::kAllImage || job == Job::kAllImageXtal;
    options.vbi.at_boot = job == Job::kXtal;
    options.vbi.after_all_image = true;
    AddModules(2, options);
    auto& page = form.McdPage;
    page.Button16.Click();
    for (int slot = 0; slot < 2; ++slot) page.ComPortList.SetChecked(slot, true);
    auto& group = page.Options;
    if (group.AutoCalibration.Checked()) group.AutoCalibration.Click();
    if (job == Job::kFwAp) group.RadioButton5.Click();
    if (job == Job::kAllImage) group.RadioButton2.Click();
    if (job == Job::kXtal) group.RadioButton4.Click();
    if (job == Job::kAllImageXtal) group.AutoCalibration.Click();
    form.OpenDialog1.SetFileName(job == Job::kFwAp ? file_fwap : file_all_image);
    page.Button2.Click();
    page.Button1.Click();
  }

  void Stop(Job job) {
    auto& form = Form();
    switch (job) {
      case Job::kAutomatic:
        return form.StopSlot(0);
      case Job::kEraser:
        return form.TerminalPage.Button4.Click();
      case Job::kCno:
      case Job::kCustomerId:
        return form.CnoPage.Button10.Click();
      default:
        return form.McdPage.Button7.Click();
    }
  }

  // Every port of the job closed and every worker of it gone.
  bool Idle(Job job) {
    auto& board = Board();
    if (job == Job::kEraser) return board.ReadEnabled[app::kTerminalSlot].load() == 0;
    for (size_t slot = 0; slot < modules_.size(); ++slot) {
      auto worker = board.Worker[slot].Get();
      if (board.ReadEnabled[slot].load() != 0 || board.Port[slot].Get() ||
          (worker && !worker->Finished())) {
        return false;
      }
    }
    return true;
  }

  // FormClose and the teardown of the application, until everything is gone.
  double CloseMs() {
    const auto start = Steady::now();
    app_->Close();
    app_.reset();
    return MsSince(start);
  }

  void AddModules(int count, const sim::ModuleOptions& options) {
    for (int i = 0; i < count; ++i) {
      modules_.push_back(std::make_unique<sim::SimulatedModule>(options, clock_));
      modules_.back()->Start();
    }
    serial_.listed.clear();
    for (const auto& module : modules_) serial_.listed.push_back(module->PortPath());
    if (reference_) serial_.listed.push_back(reference_->PortPath());
  }

 private:
  static sim::ModuleOptions Module(uint32_t baud) {
    sim::ModuleOptions options;
    options.baud = baud;
    options.pace_line_rate = true;
    options.erase_ms = 1000;
    return options;
  }

  void CloseReference() {
    auto& terminal = Form().TerminalPage;
    if (Board().ReadEnabled[app::kTerminalSlot].load() == 1) terminal.Button3.Click();
    reference_.reset();
  }

  // The reference receiver on the terminal page, in NMEA or switched to VBI.
  void OpenReference(bool vbi) {
    if (reference_ && reference_->SpeaksVbi() == vbi &&
        Board().ReadEnabled[app::kTerminalSlot].load() == 1) {
      return;
    }
    CloseReference();
    sim::ReferenceOptions options;
    options.pace_line_rate = true;
    reference_ = std::make_unique<sim::SimulatedReference>(options, clock_);
    reference_->Start();
    auto& terminal = Form().TerminalPage;
    terminal.ComboBox1.SetText(reference_->PortPath());
    terminal.ComboBox2.SetText("115200");
    terminal.ComboBox4.SetItemIndex(0);
    terminal.Button3.Click();
    if (!vbi) return;
    terminal.Button6.Click();
    Spin([&] { return reference_->SpeaksVbi(); }, 10'000);
  }

  platform::SystemClock clock_;
  ui::HeadlessLoop loop_{clock_};
  ListedPorts serial_;
  std::unique_ptr<sim::SimulatedReference> reference_;
  std::vector<std::unique_ptr<sim::SimulatedModule>> modules_;
  std::unique_ptr<app::Application> app_;  // last: it goes before the devices it talks to
};

// The automatic page giving up on a module without firmware whose kernel never acknowledges the
// first block. The give-up stops the third attempt as soon as it has begun and shows the red line
// once it has left: from that line to OK enabled, and from the third attempt's start to OK.
struct GiveUp {
  double text_to_ok_ms = -1;
  double attempt_to_ok_ms = -1;
};

GiveUp GiveUpToOk() {
  Station station;
  sim::ModuleOptions options;
  options.dead_firmware = true;
  options.fail_block = 1;
  options.pace_line_rate = true;
  station.AddModules(1, options);
  auto& page = station.Form().AutoPage;
  page.Button12.Click();
  page.ComboBox6.SetText(page.ComboBox6.Items().front());
  page.ComboBox9.SetText("9600");
  page.Button13.Click();
  GiveUp result;
  auto& board = station.Board();
  if (!station.Spin([&] { return board.AttemptCount.load() >= 3; }, 120'000)) return result;
  const auto third_attempt = Steady::now();
  if (!station.Spin([&] { return page.Label63.Caption() == "Restart module and Tool!"; }, 30'000)) {
    return result;
  }
  const auto given_up = Steady::now();
  if (!station.Spin([&] { return page.Button13.Enabled(); }, 30'000)) return result;
  result.text_to_ok_ms = MsSince(given_up);
  result.attempt_to_ok_ms = MsSince(third_attempt);
  return result;
}

bool HasVerdict(const std::string& output) {
  return output.find("(OK)") != std::string::npos ||
         output.find("Restart module and Tool!") != std::string::npos;
}

// One `flashpost update` run: from its verdict line to its exit; negative when it had none.
double UpdateVerdictToExitMs(const std::string& program, const std::string& port) {
  std::string error;
  auto child =
      platform::StartChildProcess({program, "update", "--port", port, "--baud", "9600"}, {}, error);
  if (!child) {
    std::fprintf(stderr, "stop_latency_bench: %s\n", error.c_str());
    return -1;
  }
  std::optional<Steady::time_point> verdict;
  const auto start = Steady::now();
  while (MsSince(start) < 300'000) {
    const auto looked = Steady::now();
    if (!verdict && HasVerdict(child->Output())) verdict = looked;
    // Looked at right before: the end came after the previous look and before this one. A
    // verdict that reaches this side of the pipe only after the end came less than the pipe's
    // own delay before it: counted as 0.
    if (child->Wait(std::chrono::milliseconds(0))) {
      if (verdict) return std::chrono::duration<double, std::milli>(looked - *verdict).count();
      return HasVerdict(child->Output()) ? 0.0 : -1.0;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return -1;
}

std::string MakeFile(const std::string& stem, size_t size) {
  const std::string path = "/tmp/" + stem + std::to_string(std::random_device{}()) + ".bin";
  if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
    std::fseek(f, static_cast<long>(size) - 1, SEEK_SET);
    std::fputc(0, f);
    std::fclose(f);
  }
  return path;
}

}  // namespace

int main(int argc, char** argv) {
  std::string program, update_port;
  int samples = 5;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--flashpost") program = argv[i + 1];
    if (a == "--update-port") update_port = argv[i + 1];
    if (a == "--samples") samples = std::max(1, std::atoi(argv[i + 1]));
  }
  if (program.empty() || update_port.empty()) {
    std::fprintf(stderr,
                 "usage: stop_latency_bench --flashpost PATH --update-port PORT "
                 "[--samples N]\n");
    return 2;
  }
  std::mt19937 rng(std::random_device{}());
  const std::string fwap = MakeFile("flashpost-bench-fwap-", 475 * 1024);
  const std::string all_image = MakeFile("flashpost-bench-all-image-", 512 * 1024);

  std::vector<Figures> table;
  {
    Station station;
    for (const JobPlan& plan : kPlans) {
      Figures figures{std::string("Stop to idle: ") + plan.name, 100, {}};
      for (int n = 0; n < samples; ++n) {
        station.Start(plan.job, fwap, all_image);
        station.Wait(std::uniform_int_distribution<uint32_t>(0, plan.moment_max_ms)(rng));
        const auto stop = Steady::now();
        station.Stop(plan.job);
        if (station.Spin([&] { return station.Idle(plan.job); }, 60'000)) {
          figures.ms.push_back(MsSince(stop));
        }
      }
      table.push_back(figures);
    }
  }

  Figures close{"window close (FormClose and teardown) to done", 1500, {}};
  for (int n = 0; n < samples; ++n) {
    Station station;
    const JobPlan& plan = kPlans[n % std::size(kPlans)];
    station.Start(plan.job, fwap, all_image);
    station.Wait(std::uniform_int_distribution<uint32_t>(500, plan.moment_max_ms)(rng));
    close.ms.push_back(station.CloseMs());
  }
  table.push_back(close);

  Figures update{"flashpost update: verdict line to exit", 500, {}};
  for (int n = 0; n < samples; ++n) {
    if (double ms = UpdateVerdictToExitMs(program, update_port); ms >= 0) update.ms.push_back(ms);
  }
  table.push_back(update);

  Figures give_up{"give-up (\"Restart module and Tool!\") to OK", 600, {}};
  Figures third_attempt{"give-up: third attempt begun to OK", 600, {}};
  for (int n = 0; n < std::min(samples, 3); ++n) {
    const GiveUp run = GiveUpToOk();
    if (run.text_to_ok_ms >= 0) give_up.ms.push_back(run.text_to_ok_ms);
    if (run.attempt_to_ok_ms >= 0) third_attempt.ms.push_back(run.attempt_to_ok_ms);
  }
  table.push_back(give_up);
  table.push_back(third_attempt);

  std::remove(fwap.c_str());
  std::remove(all_image.c_str());
  std::printf("Stop latency, real clock, modules pacing their bytes at the line rate\n");
  std::printf("  %-52s %7s %10s %10s   %s\n", "", "samples", "median ms", "max ms", "target");
  for (const Figures& figures : table) figures.Print();
  return 0;
}
