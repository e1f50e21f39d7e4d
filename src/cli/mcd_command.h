#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "app/verdicts.h"
#include "cli/command_line.h"
#include "platform/clock.h"
#include "platform/serial_device.h"

namespace flashpost::cli {

using app::McdJob;
using app::SlotOutcome;

struct McdOptions {
  std::string reference;
  std::string reference_baud = "115200";  // also the speed the modules are opened and updated at
  std::vector<std::string> ports;
  McdJob job = McdJob::kFwAp;
  std::string file;                   // empty: none chosen (the page then refuses a download)
  std::optional<int64_t> waiting_ms;  // the page's Waiting Time; the job's default otherwise
  bool vbi_output = false;            // the calibrated module goes on in VBI (else NMEA)
  uint32_t timeout_s = 30 * 60;       // the whole run's limit
  bool json = false;
  std::string record;
  bool verify = false;
  uint32_t verify_timeout_s = 10;
};

const CommandGrammar& McdCommand();
bool McdOptionsFrom(const ParsedOptions& parsed, McdOptions& options, std::string& error);

// Runs the multi-port page as an operator would: the reference receiver opened on the terminal
// page and switched to VBI, the ports ticked after a scan, the job, the waiting time and the file
// chosen, Start pressed; then every status the page writes printed until each slot has reached
// its end, Stop pressed, and each slot's result printed (and recorded). Returns an ExitStatus.
int RunMcd(const McdOptions& options, platform::Clock& clock, platform::SerialSystem& serial,
           std::FILE* out, std::FILE* err);

}  // namespace flashpost::cli
