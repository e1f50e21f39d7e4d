#include "app/main_form.h"

#include <string>

#include "app/aiding_actions.h"
#include "app/stop_slot.h"
#include "protocol/vbi.h"
#include "serial/serial_port.h"
#include "workers/port_worker.h"

namespace flashpost::app {

TMainForm::TMainForm(PortBoard& board, ui::MainLoop& loop)
    : ui::Form("MainForm"),
      board_(board),
      loop_(loop),
      Calibration(board, BoardAidingActions(board, [this](int slot) { StopSlot(slot); })) {
  Procedures.UpdateFirmware = [this](const std::string& port, int slot,
                                     const ui::StopSignal& stop) {
    return download::UpdateFirmware(Download, port, slot, stop);
  };
  Procedures.ReUpdate = [this](const std::string& port, int slot, const ui::StopSignal& stop) {
    return download::ReUpdate(Download, port, slot, stop);
  };
  Procedures.AllImageDownload = [this](const std::string& port, int slot,
                                       const ui::StopSignal& stop) {
    return download::AllImageDownload(Download, port, slot, stop);
  };
  Procedures.WatchCalibration = [this](int slot) { Calibration.WatchCalibration(slot); };
  Procedures.ShowTraffic = [this](workers::FrameState& state) {
    TerminalPage.ShowSlotZeroTraffic(state);
  };
  Procedures.HandleModuleMessage = [this](const uint8_t* frame, int slot) {
    Calibration.HandleModuleMessage(frame, slot);
  };
  TerminalPage.handle_reference_message = [this](const uint8_t* frame) {
    protocol::HandleReferenceMessage(board_, {frame, workers::kVbiFrameBufferSize});
  };
  RequestReferenceEphemeris = [this] { protocol::RequestReferenceEphemeris(board_); };
  Download.restore_controls = [this](bool keep_start_disabled) {
    McdPage.RestoreControls(keep_start_disabled);
    TerminalPage.SpeedButton3.SetEnabled(true);
  };
  Download.enable_ok = [this] { AutoPage.Button13.SetEnabled(true); };

  SetCaption("FlashpostV103_KX420");
  SetClientSize(305, 165);
  SetBorder(/*fixed=*/true, /*minimize_only=*/true);

  StatusBar1.AddPanel(186);
  StatusBar1.AddPanel(200);
  StatusBar1.SetGeometry({0, 146, 305, 19});

  // Larger than the window: only the top-left corner of the active page shows.
  PageControl1.SetGeometry({0, 0, 601, 681});
  for (ui::TabSheet* page : {&TerminalPage.Sheet, &McdPage.Sheet, &CnoPage.Sheet}) {
    page->SetGeometry({0, 0, 593, 653});
    page->SetTabVisible(false);
  }
  PageControl1.SetActivePage(&AutoPage.Sheet);

  Timer1.SetInterval(500);
  Timer2.SetInterval(500);
  Timer3.SetInterval(100);
  Timer1.OnTimer = [this] { Timer1Timer(); };

  OpenDialog1.SetFilter("Binary File (*.bin)|*.bin|All Files (*.*)|*.*");
}

TMainForm::~TMainForm() {
  loop_.Shutdown();
  board_.StopAllThreads();
}

std::vector<ui::ItemsControl*> TMainForm::OtherPortLists() {
  std::vector<ui::ItemsControl*> lists;
  return {&McdPage.ComPortList, &CnoPage.CheckListBox1};
}

void TMainForm::StartMultiPortWorker(int slot) {
  AutoPage.EndSupervision();
  workers::StartSlotWorker(loop_, board_, Procedures, slot, workers::WorkerKind::kMultiPort);
}

void TMainForm::StartTestWorker(int slot) {
  AutoPage.EndSupervision();
  // Slot 0's worker also serves the automatic page's jobs, on the terminal page's port: a job an
  // abandoned automatic run left raised would drive the reference receiver into its kernel.
  if (slot == 0) {
    board_.JobFwAp[0].store(0);
    board_.JobReUpdate[0].store(0);
  }
  workers::StartSlotWorker(loop_, board_, Procedures, slot);
}

void TMainForm::ScanAllPortLists() { TerminalPage.Button5Click(); }

void TMainForm::ExplainOpenFailure(int slot) {
  std::string hint = board_.StatusText[slot].Get();
  if (std::string cause = board_.OpenFailureText[slot].Get(); !cause.empty()) {
    hint += " " + cause;
  }
  StatusBar1.SetPanelText(0, hint);
}

void TMainForm::FormCreate() { serial::ScanPorts(board_, {&AutoPage.ComboBox6}); }

void TMainForm::Timer1Timer() {
  AutoPage.SuperviseUpdate();
  RefreshBoard();
}

void TMainForm::RefreshBoard() {
  std::string message = board_.MessageText.Get();
  if (message != " ") {
    McdPage.Label18.SetFontColor(board_.MessageColor.load());
    McdPage.Label18.SetCaption(std::move(message));
  }

  auto show_progress = [](ui::ProgressBar& bar, ui::Label& label, int percent) {
    bar.SetPosition(percent);
    label.SetCaption(std::to_string(percent) + "%");
  };
  show_progress(AutoPage.ProgressBar17, AutoPage.Label64, board_.ProgressPercent[0].load());
  for (int slot = 0; slot < kModuleSlotCount; ++slot) {
    show_progress(McdPage.SlotProgressBar(slot), McdPage.PercentLabel(slot),
                  board_.ProgressPercent[slot].load());
  }

  auto show_status = [this](ui::Label& label, int slot) {
    PortBoard::StatusLine line = board_.ReadStatus(slot);
    if (line.text == " ") return;  // a blank leaves the last message up
    label.SetFontColor(line.color);
    label.SetCaption(std::move(line.text));
  };
  show_status(AutoPage.Label63, 0);
  for (int slot = 0; slot < kModuleSlotCount; ++slot) show_status(McdPage.StatusLabel(slot), slot);

  if (board_.FixType[kTerminalSlot].load() == 3 && board_.Worker[0].Get() &&
      board_.ReferenceRequestSent.load() == 0) {
    if (RequestReferenceEphemeris) RequestReferenceEphemeris();
    board_.ReferenceRequestSent.store(1);
  }
}

void TMainForm::StopSlot(int slot) { app::StopSlot(board_, loop_, McdPage.Button1, slot); }

void TMainForm::FormClose() {
  McdPage.ReleaseFile();
  Timer1.SetTimerEnabled(false);
  Timer2.SetTimerEnabled(false);
  Timer3.SetTimerEnabled(false);
  for (int slot = 0; slot < kSlotCount; ++slot) StopSlot(slot);
  // Workers may be inside a synchronous call to the main thread; keep serving it while they
  // leave their loops. A stop ends their waits at once, so this is seldom the whole second.
  const uint32_t start = board_.Clock().Ticks();
  while (!board_.AllThreadsFinished() &&
         !platform::Elapsed(board_.Clock().Ticks(), start, kCloseWaitMs)) {
    loop_.ProcessFor(10);
  }
}

}  // namespace flashpost::app
