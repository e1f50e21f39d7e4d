#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "cli/slot_reporter.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "ui/control.h"

namespace flashpost::cli {

// The jobs of the multi-port page's "Update Option" group.
enum class McdJob { kFwAp, kFsa, kAllImage, kAllImageCode, kXtal, kAllImageXtal };

struct McdOptions {
  std::string reference;
  std::string reference_baud = "115200";  // also the speed the modules are opened and updated at
  std::vector<std::string> ports;
  McdJob job = McdJob::kFwAp;
  std::string file;                   // empty: none chosen (the page then refuses Start)
  std::optional<int64_t> waiting_ms;  // the page's Waiting Time; the job's default otherwise
  bool vbi_output = false;            // the calibrated module goes on in VBI (else NMEA)
  uint32_t timeout_s = 30 * 60;       // the whole run's limit
  bool json = false;
};

// Parses the arguments after "mcd"; false with a message in error on bad usage.
bool ParseMcdOptions(const std::vector<std::string>& args, McdOptions& options, std::string& error);

// The status line that ends a slot's run of the job with success.
std::string McdPassText(McdJob job, bool vbi_output);

// Judges one slot from its status line and colour and whether its worker has ended (or never
// started). A slot passes only on its job's pass text. A download fails once its worker has ended
// on anything else; a calibration fails on its first red line, its worker still reading.
SlotOutcome JudgeMcdSlot(McdJob job, bool vbi_output, const std::string& status, ui::Color color,
                         bool worker_done);

// Runs the multi-port page as an operator would: the reference receiver opened on the terminal
// page and switched to VBI, the ports ticked after a scan, the job, the waiting time and the file
// chosen, Start pressed; then every slot's status and progress printed as they change until each
// has reached its end, Stop pressed. Returns 0 when every slot passed, 1 otherwise, 2 when a
// named port is not among the ports found.
int RunMcd(const McdOptions& options, platform::Clock& clock, platform::SerialSystem& serial,
           std::FILE* out, std::FILE* err);

}  // namespace flashpost::cli
