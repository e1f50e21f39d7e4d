#pragma once

#include "board/port_board.h"
#include "download/update_procedures.h"
#include "ui/control.h"

namespace flashpost::download {

// The multi-port page's "Update Option" group: which job every slot runs, the loader for the
// baseband chip, calibration after download, and the port settings handed to a calibrated module.
// Each handler sets the job flags of all ten slots.
class UpdateOptionsGroup {
 public:
  UpdateOptionsGroup(ui::Control& page, app::PortBoard& board, DownloadServices& services,
                     ui::Edit& waiting_time);

  void RadioButton1Click();  // FSA
  void RadioButton2Click();  // All Image(No code)
  void RadioButton3Click();  // All Image(With code)
  void RadioButton4Click();  // XTAL Calibration
  void RadioButton5Click();  // FW(AP)
  void BBChipClick();
  void AutoCalibrationClick();
  // Before a calibration run: keeps the output protocol for the sequencer and packs the three
  // list choices into the option word.
  void BuildOptionWord();

  ui::GroupBox GroupBox18;
  ui::RadioButton RadioButton1{"RadioButton1", &GroupBox18};
  ui::RadioButton RadioButton2{"RadioButton2", &GroupBox18};
  ui::RadioButton RadioButton3{"RadioButton3", &GroupBox18};
  ui::RadioButton RadioButton4{"RadioButton4", &GroupBox18};
  ui::RadioButton RadioButton5{"RadioButton5", &GroupBox18};
  ui::CheckBox BBChip{"BBChip", &GroupBox18};
  ui::CheckBox AutoCalibration{"AutoCalibration", &GroupBox18};
  ui::Label Label30{"Label30", &GroupBox18};  // "Baud Rate :"
  ui::ComboBox ComboBox3{"ComboBox3", &GroupBox18};
  ui::Label Label31{"Label31", &GroupBox18};  // "Command :"
  ui::Label Label32{"Label32", &GroupBox18};  // "(    Input    )"
  ui::ComboBox ComboBox7{"ComboBox7", &GroupBox18};
  ui::Label Label33{"Label33", &GroupBox18};  // "      Data      :"
  ui::Label Label34{"Label34", &GroupBox18};  // "(  Output   )"
  ui::ComboBox ComboBox8{"ComboBox8", &GroupBox18};

 private:
  // Sets the given job for every slot and clears the other six.
  void SelectJob(app::SlotTable<int32_t> app::PortBoard::*job);
  // The framing of every slot but the terminal's.
  void SetModuleFraming(int protocol_mode);
  // The radio handlers other than "All Image(No code)": NMEA or VBI, no calibration after download.
  void SelectPlainJob(app::SlotTable<int32_t> app::PortBoard::*job, int protocol_mode,
                      const char* waiting_ms);

  app::PortBoard& board_;
  DownloadServices& services_;
  ui::Edit& waiting_time_;
};

}  // namespace flashpost::download
