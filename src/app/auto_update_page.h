#pragma once

#include <functional>

#include "board/port_board.h"
#include "ui/control.h"
#include "ui/main_loop.h"
#include "ui/timer.h"
#include "workers/procedures.h"

namespace flashpost::app {

// The automatic update page, the only page an operator normally sees: port and baud choice,
// the OK button, and the status line and progress of slot 0. OK probes the module for its
// version; Timer1's supervision then starts the commanded update, or the fall-back through the
// boot kernel when the module stays silent, and gives up at the third fall-back attempt.
class AutoUpdatePage {
 public:
  struct Context {
    PortBoard& board;
    ui::MainLoop& loop;
    const workers::WorkerProcedures& procedures;
    ui::Timer& timer1;
    std::function<void()> refresh_board;
    // Tells the operator why the slot's port did not open (the status line has room only for
    // the page's own text).
    std::function<void(int slot)> explain_open_failure;
  };

  AutoUpdatePage(ui::PageControl& pages, Context context);

  void Button12Click();  // Scan ComPort
  void Button13Click();  // OK
  void SendProbeSentence(int slot);
  // Timer1's supervision of a running automatic update; runs before each board refresh.
  void SuperviseUpdate();
  // OK has started a run: Timer1 supervises it from now on.
  void BeginSupervision() { supervising_ = true; }
  // Another page starts a run of its own on the slots: the supervision rests until the next OK.
  void EndSupervision() { supervising_ = false; }
  bool Supervising() const { return supervising_; }

  // Answer window after the probe, and the fall-back attempt at which the run is given up.
  static constexpr uint32_t kAnswerWindowMs = 2000;
  static constexpr int32_t kAttemptLimit = 3;
  // OK while the last run's worker has not yet left slot 0: nothing is started.
  static constexpr const char* kStillStoppingText = "Last run still stopping: press OK again!";

  ui::TabSheet Sheet;
  ui::Label Label63{"Label63", &Sheet};  // status line
  ui::ProgressBar ProgressBar17{"ProgressBar17", &Sheet};
  ui::Label Label64{"Label64", &Sheet};  // percentage
  ui::Label Label57{"Label57", &Sheet};
  ui::ComboBox ComboBox6{"ComboBox6", &Sheet};  // port
  ui::Label Label26{"Label26", &Sheet};
  ui::ComboBox ComboBox9{"ComboBox9", &Sheet};  // baud
  ui::Button Button12{"Button12", &Sheet};      // Scan ComPort
  ui::Button Button13{"Button13", &Sheet};      // OK

 private:
  // Closes slot 0's port unless a procedure on the worker owns it (the worker closes it after
  // every job anyway).
  void CloseSlotZeroUnlessOwned();
  // After the give-up, once the abandoned attempt has left: the timer off, OK back.
  void EndGivenUpRun();

  Context context_;
  // Timer1 also runs for the terminal and multi-port pages; without a run of this page's there
  // is nothing to supervise, and a fall-back would act on another page's port.
  bool supervising_ = false;
  bool given_up_ = false;
};

}  // namespace flashpost::app
