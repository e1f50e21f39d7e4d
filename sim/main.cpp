// kx420-sim: simulated KX420 modules, and a reference receiver if asked, on pseudo-terminals,
// for running the program without hardware. Prints the port of each and runs until SIGINT or
// SIGTERM.

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/reference_receiver.h"
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

  sim::ReferenceOptions reference_options;
  reference_options.baud = args.reference_baud ? args.reference_baud : args.baud;
  reference_options.start_in_vbi = args.reference_vbi;
  reference_options.pace_line_rate = args.pace;
  if (args.reference_cn0 >= 0) {
    reference_options.satellites =
        sim::WithStrongestCn0(reference_options.satellites, args.reference_cn0);
  }
  if (!args.replay.empty() &&
      !sim::LoadReplayLog(args.replay, reference_options.replay_log, error)) {
    std::fprintf(stderr, "kx420-sim: %s\n", error.c_str());
    return 1;
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
    auto module = std::make_unique<sim::SimulatedModule>(sim::ModuleOptionsFor(args, i), clock);
    if (!module->ok()) {
      std::fprintf(stderr, "kx420-sim: cannot create a pseudo-terminal for module %d\n", i);
      return 1;
    }
    modules.push_back(std::move(module));
  }
  std::unique_ptr<sim::SimulatedReference> reference;
  if (args.reference) {
    reference = std::make_unique<sim::SimulatedReference>(reference_options, clock);
    if (!reference->ok()) {
      std::fprintf(stderr, "kx420-sim: cannot create a pseudo-terminal for the reference\n");
      return 1;
    }
  }

  std::string ports;
  for (size_t i = 0; i < modules.size(); ++i) {
    std::printf("module %zu: %s\n", i, modules[i]->PortPath().c_str());
    ports += (i ? ":" : "") + modules[i]->PortPath();
  }
  if (reference) {
    std::printf("reference: %s\n", reference->PortPath().c_str());
    ports += ":" + reference->PortPath();
  }
  if (args.export_ports) std::printf("FLASHPOST_PORTS=%s\n", ports.c_str());
  std::fflush(stdout);

  for (auto& module : modules) module->Start();
  if (reference) reference->Start();
  int signal_number = 0;
  sigwait(&stop_signals, &signal_number);
  for (auto& module : modules) module->Stop();
  if (reference) reference->Stop();
  return 0;
}
