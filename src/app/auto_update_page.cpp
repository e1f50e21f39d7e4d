#include "app/auto_update_page.h"

#include <string>

#include "board/colors.h"
#include "protocol/nmea.h"
#include "serial/serial_port.h"
#include "workers/port_worker.h"

namespace flashpost::app {

namespace {
constexpr ui::Color kSilver = 0xC0C0C0;
}

AutoUpdatePage::AutoUpdatePage(ui::PageControl& pages, Context context)
    : Sheet("AutoUpdatePage", &pages), context_(std::move(context)) {
  Sheet.SetCaption("AutoUpdatePage");
  Sheet.SetGeometry({0, 0, 593, 653});

  Label63.SetCaption("Flashpost");
  Label63.SetFontName("Arial");
  Label63.SetFontColor(kNavy);
  Label63.SetBackgroundColor(kSilver);
  Label63.SetGeometry({8, 8, 289, 22});

  ProgressBar17.SetRange(0, 100);
  ProgressBar17.SetSmooth(true);
  ProgressBar17.SetGeometry({8, 38, 240, 16});
  Label64.SetCaption("0%");
  Label64.SetGeometry({256, 38, 41, 16});

  Label57.SetCaption("COM Port :");
  Label57.SetGeometry({8, 68, 72, 16});
  ComboBox6.SetGeometry({84, 64, 104, 21});
  // Design-time list; the port scan at window creation replaces it.
  for (int n = 1; n <= 40; ++n) ComboBox6.AddItem("COM" + std::to_string(n));

  Label26.SetCaption("Baud Rate :");
  Label26.SetGeometry({8, 98, 72, 16});
  ComboBox9.SetGeometry({84, 94, 104, 21});
  ComboBox9.SetItems({"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"});
  ComboBox9.SetText("115200");

  Button12.SetCaption("Scan ComPort");
  Button12.SetGeometry({196, 62, 101, 25});
  Button13.SetCaption("OK");
  Button13.SetGeometry({196, 92, 101, 25});
  Button12.OnClick = [this] { Button12Click(); };
  Button13.OnClick = [this] { Button13Click(); };
}

void AutoUpdatePage::Button12Click() { serial::ScanPorts(context_.board, {&ComboBox6}); }

void AutoUpdatePage::SendProbeSentence(int slot) {
  protocol::SendProprietarySentence(context_.board, slot, protocol::kProbeBody);
}

void AutoUpdatePage::Button13Click() {
  PortBoard& board = context_.board;
  Button13.SetEnabled(false);
  board.CurrentPortName.Set(ComboBox6.Text());
  board.CurrentBaudText.Set(ComboBox9.Text());
  board.RunBaudText[0].Set(ComboBox9.Text());
  board.OpenRetrying[0].store(0);

  // Every flag of the last run is down before the new worker can look at one: a job left raised
  // would send the update command to a module that has not been probed.
  for (int slot = 0; slot < kSlotCount; ++slot) {
    for (auto* job : {&board.JobAllImageNoCode, &board.JobFsa, &board.JobFwAp,
                      &board.JobAllImageWithCode, &board.JobXtalCal, &board.JobCnoTest,
                      &board.JobCustomerId, &board.JobReUpdate, &board.VersionSeen}) {
      (*job)[slot].store(0);
    }
  }
  given_up_ = false;
  if (!workers::RetireRunningWorkers(context_.loop, board, 1)) {
    board.SetStatus(0, kRed, kStillStoppingText);
    if (context_.refresh_board) context_.refresh_board();
    Button13.SetEnabled(true);
    return;
  }
  auto worker = workers::StartSlotWorker(context_.loop, board, context_.procedures, 0);
  BeginSupervision();

  board.ForgetRun(0);
  board.ProgressPercent[0].store(0);
  board.SetStatus(0, kNavy, "FW Updateing now....");
  board.ProtocolMode[0].store(0);
  board.OverallSuccess.store(0);
  board.AttemptCount.store(0);
  board.WaitTimeoutMs.store(5000);

  // Plain sleeps of the main thread: a worker that already has the module's answer waits in its
  // display call until this handler is done, so both probes reach the wire.
  board.Clock().Sleep(500);
  context_.timer1.SetTimerEnabled(true);
  if (serial::OpenPort(board, board.CurrentPortName.Get(), board.CurrentBaudText.Get(), 0)) {
    SendProbeSentence(0);
    board.Clock().Sleep(200);
    SendProbeSentence(0);
    board.StartTick[0].store(board.Clock().Ticks());
  } else {
    worker->Terminate();
    EndSupervision();
    if (context_.explain_open_failure) context_.explain_open_failure(0);
    Button13.SetEnabled(true);
  }
}

void AutoUpdatePage::CloseSlotZeroUnlessOwned() {
  PortBoard& board = context_.board;
  std::unique_lock free_port(board.ProcedureLock[0], std::try_to_lock);
  if (free_port && board.ReadEnabled[0].load() == 1) serial::ClosePort(board, 0);
}

void AutoUpdatePage::EndGivenUpRun() {
  CloseSlotZeroUnlessOwned();
  context_.timer1.SetTimerEnabled(false);
  Button13.SetEnabled(true);
  EndSupervision();
}

void AutoUpdatePage::SuperviseUpdate() {
  PortBoard& board = context_.board;
  // Once another page has started a run on slot 0, its module is none of this page's business:
  // a fall-back here would send the kernel entry to the port of the terminal page.
  if (!supervising_) return;
  auto worker = board.Worker[0].Get();
  if (worker && worker->Finished()) {
    // The run is over: the module took its firmware (the worker ends itself then), or the run
    // was given up. A job raised now would only wait for the next run's worker.
    if (given_up_) {
      EndGivenUpRun();
    } else {
      EndSupervision();
    }
    return;
  }
  if (given_up_) return;
  if (board.VersionSeen[0].load() != 0) {
    int major = protocol::NmeaFieldToInt(board.VersionField3[0].Get());
    board.ChipIsSecond.store(major == 3 ? 0 : 1);
    board.JobFwAp[0].store(1);
    board.JobReUpdate[0].store(0);
  }
  if (platform::Elapsed(board.Clock().Ticks(), board.StartTick[0].load(), kAnswerWindowMs) &&
      board.VersionSeen[0].load() == 0 && board.OverallSuccess.load() == 0) {
    board.OverallSuccess.store(1);
    board.ChipIsSecond.store(1);
    CloseSlotZeroUnlessOwned();
    board.JobFwAp[0].store(0);
    board.JobReUpdate[0].store(1);
  }
  if (board.AttemptCount.load() >= kAttemptLimit) {
    given_up_ = true;
    // The stop ends the abandoned attempt's waits at once, and it writes nothing more; once it
    // has left, slot 0's port is free and OK can start a new run.
    const bool left = workers::RetireRunningWorkers(context_.loop, board, 1);
    board.SetStatus(0, kRed, "Restart module and Tool!");
    if (context_.refresh_board) context_.refresh_board();
    if (left) EndGivenUpRun();
  }
}

}  // namespace flashpost::app
