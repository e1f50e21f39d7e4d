// Measures a firmware update through the automatic page against a simulated module that paces
// its bytes at the real line rate, and the same transfer unpaced (the program's own speed).
//   update_bench --paced-port P --unpaced-port Q
// Both modules must talk NMEA at 9600 baud. Prints the figures; exit 1 if an update fails.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <thread>

#include "app/application.h"
#include "ui/headless_loop.h"

namespace {

using flashpost::app::Application;
using Seconds = std::chrono::duration<double>;

struct Run {
  bool ok = false;
  double total_s = 0;     // from OK to the success text
  double transfer_s = 0;  // from the start of the image transfer to its last ACK
  double cpu_s = 0;       // this process's CPU time during the transfer
};

double CpuSeconds() { return static_cast<double>(std::clock()) / CLOCKS_PER_SEC; }

// sample: how often the board is looked at; coarse for the paced run, so that the looking does
// not weigh in the CPU figure.
Run UpdateOnce(const std::string& port, std::chrono::microseconds sample) {
  flashpost::platform::SystemClock clock;
  auto serial = flashpost::platform::MakeHostSerialSystem();
  flashpost::ui::HeadlessLoop loop(clock);
  Application app(clock, *serial, loop);
  auto& board = app.Board();
  auto& page = app.Form().AutoPage;
  page.ComboBox6.SetText(port);
  page.ComboBox9.SetText("9600");

  Run run;
  auto steady = [] { return std::chrono::steady_clock::now(); };
  std::chrono::steady_clock::time_point transfer_start{}, transfer_end{};
  double cpu_start = 0;
  // Samples the board from a thread of its own, so that a fast transfer is not missed between
  // two turns of the main loop.
  std::atomic<bool> sampling{true};
  std::thread sampler([&] {
    bool started = false;
    while (sampling) {
      const std::string text = board.StatusText[0].Get();
      if (!started && text.find("File is being transferred") != std::string::npos) {
        started = true;
        transfer_start = steady();
        cpu_start = CpuSeconds();
      }
      if (started && board.ProgressPercent[0].load() == 100) {
        transfer_end = steady();
        run.cpu_s = CpuSeconds() - cpu_start;
        break;
      }
      std::this_thread::sleep_for(sample);
    }
  });
  const auto ok_pressed = steady();
  page.Button13.Click();
  loop.RunUntil([&] { return page.Button13.Enabled(); }, 10 * 60 * 1000);
  sampling = false;
  sampler.join();
  run.total_s = Seconds(steady() - ok_pressed).count();
  run.transfer_s = Seconds(transfer_end - transfer_start).count();
  run.ok = board.StatusText[0].Get().ends_with("(OK)");
  app.Close();
  return run;
}

}  // namespace

int main(int argc, char** argv) {
  std::string paced, unpaced;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string a = argv[i];
    if (a == "--paced-port") paced = argv[i + 1];
    if (a == "--unpaced-port") unpaced = argv[i + 1];
  }
  if (paced.empty() || unpaced.empty()) {
    std::fprintf(stderr, "usage: update_bench --paced-port P --unpaced-port Q\n");
    return 2;
  }
  // 480 packets of 1028 bytes (the last 1029) and 480 ACKs, ten bits a byte at 115200 baud.
  const double line_minimum_s = (479.0 * 1028 + 1029 + 480) / 11520.0;

  Run p = UpdateOnce(paced, std::chrono::milliseconds(5));
  Run u = UpdateOnce(unpaced, std::chrono::microseconds(100));
  std::printf("paced update, OK to success text:  %7.2f s%s\n", p.total_s,
              p.ok ? "" : "  (FAILED)");
  std::printf("paced image transfer:              %7.2f s\n", p.transfer_s);
  std::printf("line-rate minimum for the image:   %7.2f s\n", line_minimum_s);
  std::printf("transfer / line-rate minimum:      %7.4f\n", p.transfer_s / line_minimum_s);
  std::printf("program CPU during paced transfer: %7.3f s (%.2f %% of one core)\n", p.cpu_s,
              100.0 * p.cpu_s / p.transfer_s);
  std::printf("unpaced image transfer:            %7.2f s%s\n", u.transfer_s,
              u.ok ? "" : "  (FAILED)");
  return p.ok && u.ok ? 0 : 1;
}
