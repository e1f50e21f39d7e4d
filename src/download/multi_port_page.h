#pragma once

#include <memory>

#include "app/port_board.h"
#include "download/update_options.h"
#include "download/update_procedures.h"
#include "ui/control.h"

namespace flashpost::download {

// The multi-port download page ("MCD"): one status line, progress bar and percentage per module
// slot 0..7, the page's message line and its Start button. Its tab is hidden in normal use.
class MultiPortPage {
 public:
  MultiPortPage(ui::PageControl& pages, app::PortBoard& board, DownloadServices& services);

  // Gives the page's controls back after a slot's job (the flash eraser's Start, elsewhere, is
  // enabled by the form).
  void RestoreControls(bool keep_start_disabled);

  // Gives back the firmware file chosen for a run, if one is loaded.
  void ReleaseFile() {}

  ui::TabSheet Sheet;
  ui::Label Label18{"Label18", &Sheet};         // message line
  ui::Button Button1{"Button1", &Sheet};        // Start
  ui::GroupBox GroupBox1{"GroupBox1", &Sheet};  // "Com Port List"
  ui::Label Label20{"Label20", &Sheet};         // "Waiting Time :"
  ui::Edit Edit25{"Edit25", &Sheet};            // wait limit in ms
  UpdateOptionsGroup Options;

  // Per slot 0..7: status line, progress bar, percentage.
  ui::Label Label16{"Label16", &Sheet};
  ui::ProgressBar ProgressBar1{"ProgressBar1", &Sheet};
  ui::Label Label19{"Label19", &Sheet};
  ui::Label Label1{"Label1", &Sheet};
  ui::ProgressBar ProgressBar2{"ProgressBar2", &Sheet};
  ui::Label Label2{"Label2", &Sheet};
  ui::Label Label3{"Label3", &Sheet};
  ui::ProgressBar ProgressBar3{"ProgressBar3", &Sheet};
  ui::Label Label4{"Label4", &Sheet};
  ui::Label Label5{"Label5", &Sheet};
  ui::ProgressBar ProgressBar4{"ProgressBar4", &Sheet};
  ui::Label Label6{"Label6", &Sheet};
  ui::Label Label7{"Label7", &Sheet};
  ui::ProgressBar ProgressBar5{"ProgressBar5", &Sheet};
  ui::Label Label8{"Label8", &Sheet};
  ui::Label Label9{"Label9", &Sheet};
  ui::ProgressBar ProgressBar6{"ProgressBar6", &Sheet};
  ui::Label Label10{"Label10", &Sheet};
  ui::Label Label11{"Label11", &Sheet};
  ui::ProgressBar ProgressBar7{"ProgressBar7", &Sheet};
  ui::Label Label12{"Label12", &Sheet};
  ui::Label Label13{"Label13", &Sheet};
  ui::ProgressBar ProgressBar8{"ProgressBar8", &Sheet};
  ui::Label Label14{"Label14", &Sheet};

  // Slot k's status label, progress bar and percentage label, k in 0..7.
  ui::Label& StatusLabel(int slot);
  ui::ProgressBar& SlotProgressBar(int slot);
  ui::Label& PercentLabel(int slot);
};

}  // namespace flashpost::download
