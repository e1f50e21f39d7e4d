// kx420-sim: simulated KX420 modules on pseudo-terminals, for running the program without
// hardware. Prints the port of each module and runs until SIGINT or SIGTERM.

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/sim_args.h"
#include "sim/simulated_module.h"

int main(int argc, char** argv) {
  using namespace flashpost;

  sim::SimArgs args;
  std::string error;
  if (!sim::ParseSimArgs(std::vector<std::string>(argv + 1, argv + argc), args, error)) {
    std::fprintf(stderr, "kx420-sim: %s\n%s", error.c_str(), sim::SimUsage());
    return 2;
  }
  if (args.help) {
    std::fputs(sim::SimUsage(), stdout);
    return 0;
  }

  // Blocked before any module thread exists, so every thread inherits the mask and the signals
  // wait for sigwait below instead of killing the process mid-write.
  sigset_t stop_signals;
  sigemptyset(&stop_signals);
  sigaddset(&stop_signals, SIGINT);
  sigaddset(&stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);

  platform::SystemClock clock;
  std::vector<std::unique_ptr<sim::SimulatedModule>> modules;
  for (int i = 0; i < args.modules; ++i) {
    sim::ModuleOptions options;
    options.baud = args.baud;
    options.version_field3 = args.version_field3;
    options.version_field4 = args.version_field4;
    options.silent = args.silent;
    options.dead_firmware = args.dead;
    options.erase_ms = args.erase_ms;
    options.fail_block = args.fail_block;
    options.pace_line_rate = args.pace;
    auto module = std::make_unique<sim::SimulatedModule>(options, clock);
    if (!module->ok()) {
      std::fprintf(stderr, "kx420-sim: cannot create a pseudo-terminal for module %d\n", i);
      return 1;
    }
    modules.push_back(std::move(module));
  }

  std::string ports;
  for (size_t i = 0; i < modules.size(); ++i) {
    std::printf("module %zu: %s\n", i, modules[i]->PortPath().c_str());
    ports += (i ? ":" : "") + modules[i]->PortPath();
  }
  if (args.export_ports) std::printf("FLASHPOST_PORTS=%s\n", ports.c_str());
  std::fflush(stdout);

  for (auto& module : modules) module->Start();
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  for (auto& module : modules) module->Stop();
  return 0;
}
