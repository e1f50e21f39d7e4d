#include "app/verdicts.h"

#include "board/colors.h"

namespace flashpost::app {

namespace {

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

}  // namespace

const char* McdJobName(McdJob job) {
  switch (job) {
    case McdJob::kFwAp:
      return "fwap";
    case McdJob::kFsa:
      return "fsa";
    case McdJob::kAllImage:
      return "all-image";
    case McdJob::kAllImageCode:
      return "all-image-code";
    case McdJob::kXtal:
      return "xtal";
    case McdJob::kAllImageXtal:
      return "all-image-xtal";
  }
  return "";
}

bool McdJobCalibrates(McdJob job) { return job == McdJob::kXtal || job == McdJob::kAllImageXtal; }

std::string McdPassText(McdJob job, bool vbi_output) {
  switch (job) {
    case McdJob::kFwAp:
      return " FW(AP) update OK!(OK)";
    case McdJob::kFsa:
      return " FSA update OK!(OK)";
    case McdJob::kAllImage:
      return "All Image Download OK!";
    case McdJob::kAllImageCode:
      return " All Image update OK!(OK)";
    case McdJob::kXtal:
    case McdJob::kAllImageXtal:
      // Handed back in NMEA, the module's port is closed once its calibration data came: the
      // last status report is never read.
      return vbi_output ? " F3 Success - 4(Test OK!)" : "Close ComPort for NMEA mode!";
  }
  return {};
}

SlotOutcome JudgeMcdSlot(McdJob job, bool vbi_output, const std::string& status, ui::Color color,
                         bool worker_done) {
  if (status == McdPassText(job, vbi_output)) return SlotOutcome::kPassed;
  if (worker_done) return SlotOutcome::kFailed;
  if (McdJobCalibrates(job) && color == kRed) return SlotOutcome::kFailed;
  return SlotOutcome::kRunning;
}

SlotOutcome JudgeCnoSlot(bool cno_test, const std::string& id_sent, const std::string& status,
                         ui::Color color) {
  if (color == kRed) return SlotOutcome::kFailed;
  if (color != kGreen) return SlotOutcome::kRunning;
  if (cno_test) return EndsWith(status, " : Pass!") ? SlotOutcome::kPassed : SlotOutcome::kFailed;
  // The page passes whatever ID the module reported back; only the one sent counts here.
  return status == id_sent + " - Pass!" ? SlotOutcome::kPassed : SlotOutcome::kFailed;
}

bool AutoRunPassed(const std::string& status, ui::Color color) {
  return color == kGreen && EndsWith(status, "(OK)");
}

}  // namespace flashpost::app
