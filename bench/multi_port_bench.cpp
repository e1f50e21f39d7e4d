// Measures FW(AP) updates through the multi-port page at the real line rate: one module alone,
// then eight at once, each run against modules and a reference receiver of their own.
//   multi_port_bench --one PORTS --eight PORTS --file FILE
// PORTS as kx420-sim --export prints them: the modules' ports, then the reference's, joined by
// ':' (two ports for --one, nine for --eight). The modules must pace their bytes and talk NMEA
// at 115200 baud; the simulator runs in a process of its own, so that this process's CPU time is
// the program's alone. FILE is any file of an FW(AP) image's size (470 to 480 KB): the page
// checks its size only. Prints a table; exit 1 when a run did not succeed.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "app/application.h"
#include "ui/headless_loop.h"

namespace {

using flashpost::app::Application;
using Seconds = std::chrono::duration<double>;

constexpr const char* kSuccessText = " FW(AP) update OK!(OK)";
// Far above the 45 s an update takes: a run that reaches it has hung.
constexpr uint32_t kRunLimitMs = 10 * 60 * 1000;
// How often the sampler looks at the board: fine enough for the times, too seldom to weigh in
// the CPU figure.
constexpr uint32_t kSampleMs = 10;

struct SlotResult {
  bool ok = false;
  double done_s = 0;  // from Start to the slot's worker ending
  std::string status;
};

struct Run {
  bool started = false;
  std::string refusal;  // the page's message when Start was refused
  std::vector<SlotResult> slots;
  double wall_s = 0;  // from Start to the last slot's end
  double cpu_s = 0;   // this process's CPU time over the same stretch

  bool AllOk() const {
    if (!started || slots.empty()) return false;
    for (const SlotResult& slot : slots) {
      if (!slot.ok) return false;
    }
    return true;
  }
  int OkCount() const {
    int n = 0;
    for (const SlotResult& slot : slots) n += slot.ok;
    return n;
  }
};

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

std::vector<std::string> SplitPorts(const std::string& joined) {
  std::vector<std::string> ports;
  size_t start = 0;
  while (start <= joined.size()) {
    const size_t colon = joined.find(':', start);
    const std::string port = joined.substr(start, colon - start);
    if (!port.empty()) ports.push_back(port);
    if (colon == std::string::npos) break;
    start = colon + 1;
  }
  return ports;
}

// One run as the station is worked: the reference opened on the terminal page in NMEA at
// 115200 and switched to VBI (the page refuses to start otherwise, even for a download), the
// modules' ports ticked in the list, FW(AP) chosen, the file selected, Start.
Run UpdateAll(const std::vector<std::string>& modules, const std::string& reference,
              const std::string& file) {
  flashpost::platform::SystemClock clock;
  auto serial = flashpost::platform::MakeHostSerialSystem();
  flashpost::ui::HeadlessLoop loop(clock);
  Application app(clock, *serial, loop);
  auto& board = app.Board();
  auto& form = app.Form();
  auto& page = form.McdPage;
  Run run;

  auto& terminal = form.TerminalPage;
  terminal.ComboBox1.SetText(reference);
  terminal.ComboBox2.SetText("115200");
  terminal.ComboBox4.SetItemIndex(0);
  terminal.Button3.Click();
  if (board.ReadEnabled[flashpost::app::kTerminalSlot].load() != 1) {
    run.refusal = "the reference port " + reference + " did not open";
    app.Close();
    return run;
  }
  terminal.Button6.Click();
  loop.RunFor(1000);  // the receiver takes the switch and starts its VBI reports

  std::vector<std::string> items = modules;
  items.push_back(reference);
  page.ComPortList.SetItems(items);
  for (int i = 0; i < static_cast<int>(modules.size()); ++i) page.ComPortList.SetChecked(i, true);
  page.Options.RadioButton5.Click();
  form.OpenDialog1.SetFileName(file);
  page.Button2.Click();

  const int count = static_cast<int>(modules.size());
  run.slots.resize(count);
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = CpuSeconds();
  page.Button1.Click();
  if (board.MessageText.Get() != "Downloading....") {
    run.refusal = board.MessageText.Get();
    app.Close();
    return run;
  }
  run.started = true;

  // Watches the slots from a thread of its own, so that an end is timed to the sample, not to
  // the next turn of the main loop.
  std::atomic<bool> all_done{false};
  std::thread sampler([&] {
    std::vector<bool> done(count, false);
    int remaining = count;
    while (remaining > 0) {
      for (int slot = 0; slot < count; ++slot) {
        if (done[slot]) continue;
        auto worker = board.Worker[slot].Get();
        if (worker && !worker->Finished()) continue;
        done[slot] = true;
        --remaining;
        run.slots[slot].done_s = Seconds(std::chrono::steady_clock::now() - start).count();
      }
      if (remaining == 0) break;
      clock.Sleep(kSampleMs);
      if (Seconds(std::chrono::steady_clock::now() - start).count() * 1000 > kRunLimitMs) break;
    }
    run.cpu_s = CpuSeconds() - cpu_start;
    run.wall_s = Seconds(std::chrono::steady_clock::now() - start).count();
    all_done = true;
  });
  loop.RunUntil([&] { return all_done.load(); }, kRunLimitMs + 5000);
  sampler.join();
  for (int slot = 0; slot < count; ++slot) {
    run.slots[slot].status = board.StatusText[slot].Get();
    run.slots[slot].ok = run.slots[slot].status == kSuccessText && run.slots[slot].done_s > 0;
  }
  app.Close();
  return run;
}

void PrintRun(const char* name, const Run& run) {
  if (!run.started) {
    std::printf("%-14s  not started: %s\n", name, run.refusal.c_str());
    return;
  }
  double first = run.slots.front().done_s, last = first;
  for (const SlotResult& slot : run.slots) {
    first = std::min(first, slot.done_s);
    last = std::max(last, slot.done_s);
  }
  std::printf("%-14s %5zu %4d/%-3zu %9.2f %9.2f %9.2f %8.3f %7.2f\n", name, run.slots.size(),
              run.OkCount(), run.slots.size(), run.wall_s, first, last, run.cpu_s,
              100.0 * run.cpu_s / run.wall_s);
}

}  // namespace

int main(int argc, char** argv) {
  std::string one, eight, file;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    if (a == "--one") one = argv[i + 1];
    if (a == "--eight") eight = argv[i + 1];
    if (a == "--file") file = argv[i + 1];
  }
  const std::vector<std::string> one_ports = SplitPorts(one);
  const std::vector<std::string> eight_ports = SplitPorts(eight);
  if (one_ports.size() != 2 || eight_ports.size() != 9 || file.empty()) {
    std::fprintf(stderr,
                 "usage: multi_port_bench --one M:REF --eight M0:...:M7:REF --file FILE\n"
                 "  the ports as kx420-sim --export prints them, the reference's last\n");
    return 2;
  }

  const Run alone = UpdateAll({one_ports[0]}, one_ports[1], file);
  const Run all = UpdateAll({eight_ports.begin(), eight_ports.end() - 1}, eight_ports.back(), file);

  std::printf("FW(AP) updates through the multi-port page, paced at 115200 baud, real clock\n");
  std::printf("%-14s %5s %8s %9s %9s %9s %8s %7s\n", "run", "slots", "ok", "wall s", "first s",
              "last s", "cpu s", "cpu %");
  PrintRun("one module", alone);
  PrintRun("eight modules", all);
  if (all.started) {
    std::printf("\neight-module run, per slot (s from Start to the slot's end):\n");
    for (size_t slot = 0; slot < all.slots.size(); ++slot) {
      const SlotResult& s = all.slots[slot];
      std::printf("  slot %zu %9.2f  %s\n", slot, s.done_s, s.ok ? "OK" : s.status.c_str());
    }
  }
  if (alone.started && all.started && alone.wall_s > 0) {
    const double ratio = all.wall_s / alone.wall_s;
    std::printf("\neight / one wall time:          %7.4f (aim: within 2 %% of 1.0%s)\n", ratio,
                ratio <= 1.02 && ratio >= 0.98 ? ", met" : ", missed");
    const double cpu_percent = 100.0 * all.cpu_s / all.wall_s;
    std::printf("program CPU, eight modules:     %7.2f %% of one core (aim: under 5 %%%s)\n",
                cpu_percent, cpu_percent < 5.0 ? ", met" : ", missed");
  }
  return alone.AllOk() && all.AllOk() ? 0 : 1;
}
