#pragma once

#include "ui/control.h"

namespace flashpost::app {

// The automatic update page, the only page an operator normally sees: port and baud choice,
// the OK button, and the status line and progress of slot 0.
class AutoUpdatePage {
 public:
  explicit AutoUpdatePage(ui::PageControl& pages);

  // Timer1's supervision of a running automatic update; runs before each board refresh.
  void SuperviseUpdate() {}

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
};

}  // namespace flashpost::app
