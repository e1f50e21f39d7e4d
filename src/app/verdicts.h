#pragma once

#include <string>

#include "ui/control.h"

namespace flashpost::app {

// When a page's run has ended for a slot, and how: the same judgement for the command line and
// for the window's records.

// The jobs of the multi-port page's "Update Option" group.
enum class McdJob { kFwAp, kFsa, kAllImage, kAllImageCode, kXtal, kAllImageXtal };

// The job's name on the command line and in the records ("fwap", "all-image-xtal", ...).
const char* McdJobName(McdJob job);
bool McdJobCalibrates(McdJob job);

// The status line that ends a slot's run of the job with success.
std::string McdPassText(McdJob job, bool vbi_output);

// Where a slot of a run stands.
enum class SlotOutcome { kRunning, kPassed, kFailed };

// A multi-port slot, from its status line and colour and whether its worker has ended (or never
// started). It passes only on its job's pass text. A download fails once its worker has ended on
// anything else; a calibration fails on its first red line, its worker still reading.
SlotOutcome JudgeMcdSlot(McdJob job, bool vbi_output, const std::string& status, ui::Color color,
                         bool worker_done);

// A C/N0 page slot from its status line: the C/N0 test ends on its verdict ("SV n : Pass!" in
// green passes); the customer ID test passes only on "<the ID sent> - Pass!" in green, so a
// module that reports another ID fails; any red line ends the slot as failed.
SlotOutcome JudgeCnoSlot(bool cno_test, const std::string& id_sent, const std::string& status,
                         ui::Color color);

// The automatic page's run: passed on a green text ending in "(OK)".
bool AutoRunPassed(const std::string& status, ui::Color color);

}  // namespace flashpost::app
