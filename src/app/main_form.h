#pragma once

#include <functional>
#include <vector>

#include "app/auto_update_page.h"
#include "board/port_board.h"
#include "calib/sequencer.h"
#include "cno/cno_page.h"
#include "download/multi_port_page.h"
#include "download/update_procedures.h"
#include "terminal/flash_eraser.h"
#include "terminal/terminal_page.h"
#include "ui/control.h"
#include "ui/main_loop.h"
#include "ui/timer.h"
#include "workers/procedures.h"

namespace flashpost::app {

// The main window: the status bar, the page control with its four pages, the three timers and
// the file dialog. It copies the board into the pages' controls every Timer1 tick.
class TMainForm : public ui::Form {
  // First, so that every page below can be given them.
  PortBoard& board_;
  ui::MainLoop& loop_;

 public:
  TMainForm(PortBoard& board, ui::MainLoop& loop);
  // Stops the loop and every worker first: they hold references into the form.
  ~TMainForm() override;

  // Window created: the automatic page's port list is filled by a port scan.
  void FormCreate();
  // Every 500 ms while Timer1 runs: supervision of an automatic update, then the refresh.
  void Timer1Timer();
  // Copies progress, status lines and the message line from the board into the controls.
  void RefreshBoard();
  // Window closing: timers off, every slot stopped, at most a second for the workers to leave.
  void FormClose();
  static constexpr uint32_t kCloseWaitMs = 1000;
  // Ends whatever runs on the slot and gives the multi-port Start button back.
  void StopSlot(int slot);

  // The one-shot request for ephemeris to the reference receiver on the terminal port, made by
  // RefreshBoard once that receiver has a 3D fix.
  std::function<void()> RequestReferenceEphemeris;

  PortBoard& Board() { return board_; }
  ui::MainLoop& Loop() { return loop_; }

  ui::Timer Timer1{"Timer1", this, loop_};
  ui::Timer Timer2{"Timer2", this, loop_};
  ui::Timer Timer3{"Timer3", this, loop_};
  // What the slot workers run, and what the download procedures need of the window.
  workers::WorkerProcedures Procedures;
  download::DownloadServices Download{board_, loop_, {}, {}};
  // Takes VBI modules through their calibration on the frames the slot workers hand over.
  calib::Sequencer Calibration;

  ui::StatusBar StatusBar1{"StatusBar1", this};
  ui::PageControl PageControl1{"PageControl1", this};
  terminal::TerminalPage TerminalPage{
      PageControl1, {board_, loop_, Timer1, StatusBar1, [this] { return OtherPortLists(); }}};
  ui::OpenDialog OpenDialog1{"OpenDialog1", this};
  download::MultiPortPage McdPage{
      PageControl1,
      {board_, Download, Timer1, Timer2, StatusBar1, OpenDialog1, TerminalPage.SpeedButton3,
       [this](int slot) { StartMultiPortWorker(slot); }, [this] { Calibration.ResetSlotTables(); },
       [this] { ScanAllPortLists(); }, [this] { TerminalPage.Button11Click(); }}};
  terminal::FlashEraser Eraser{{board_, loop_, Timer3, StatusBar1, TerminalPage.SpeedButton3,
                                TerminalPage.Button4, TerminalPage.Label21, TerminalPage.Memo2,
                                TerminalPage.ComboBox1, McdPage.Button1, McdPage.Button7}};
  cno::CnoPage CnoPage{PageControl1,
                       {board_, loop_, Timer2, StatusBar1, McdPage.Options.AutoCalibration,
                        [this](int slot) { StartTestWorker(slot); },
                        [this](int slot) { StopSlot(slot); }, [this] { ScanAllPortLists(); }}};
  AutoUpdatePage AutoPage{PageControl1,
                          {board_, loop_, Procedures, Timer1, [this] { RefreshBoard(); },
                           [this](int slot) { ExplainOpenFailure(slot); }}};

 private:
  // A worker of a multi-port run: slot 0 serves the run's jobs like the other slots.
  void StartMultiPortWorker(int slot);
  // A worker of a C/N0 or customer ID run.
  void StartTestWorker(int slot);
  // The slot's failed open, with the OS's reason, on the status bar's first panel.
  void ExplainOpenFailure(int slot);
  // "Scan ComPort" of the multi-port, C/N0 and terminal pages.
  void ScanAllPortLists();
  // The port lists of the multi-port and C/N0 pages that the terminal page's scan fills too.
  std::vector<ui::ItemsControl*> OtherPortLists();
};

}  // namespace flashpost::app
