#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "app/main_form.h"
#include "app/run_record.h"
#include "app/verdicts.h"

namespace flashpost::app {

// The window's record of every module: when started with a record file, each slot's verdict on
// the automatic, multi-port and C/N0 pages is appended to it as one JSON line, as the command
// line keeps them. It watches the pages' Start and Stop buttons and looks at the running slots on
// every tick of the page's timer. A record that cannot be written is told on the status bar.
class RunRecorder {
 public:
  RunRecorder(TMainForm& form, const std::string& path);
  RunRecorder(const RunRecorder&) = delete;
  RunRecorder& operator=(const RunRecorder&) = delete;

  // Records the slots whose run has ended since the last look. Main thread.
  void Poll();

  // Why the records are not kept; empty while they are.
  const std::string& Error() const { return writer_.Error(); }

 private:
  enum class Page { kNone, kAuto, kMcd, kCno };
  struct Run {
    Page page = Page::kNone;
    uint32_t start = 0;
    int slot_count = 0;
    std::array<bool, kModuleSlotCount> recorded{};
    McdJob job = McdJob::kFwAp;
    bool vbi_output = false;
    bool cno_test = true;
    std::string id_sent;
    std::string port;  // the automatic page's
  };

  void AutoStarted();
  void McdStarted();
  void CnoStarted();
  // A page's Stop: the slots still running end as they stand, failed unless they passed.
  void Stopped(Page page);
  void Record(const Run& run, int slot, bool passed, const std::string& status,
              const std::string& job, const std::string& port);
  McdJob ChosenMcdJob() const;

  TMainForm& form_;
  RecordWriter writer_;
  bool error_shown_ = false;
  Run auto_run_, mcd_run_, cno_run_;
};

}  // namespace flashpost::app
