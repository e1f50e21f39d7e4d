#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>

#include "board/port_board.h"
#include "download/port_selection.h"
#include "ui/control.h"
#include "ui/main_loop.h"
#include "ui/timer.h"

namespace flashpost::cno {

// The "C/N0" page: tests up to eight modules at once, one checked port per slot 0..7, either for
// the carrier-to-noise density of their strongest satellite (against a keyed-in limit or against
// the reference receiver on the terminal port) or by writing a customer ID into them and waiting
// for the module to report it back. Timer2 judges the slots and refreshes the page. Its tab is
// hidden in normal use.
class CnoPage {
 public:
  struct Context {
    app::PortBoard& board;
    ui::MainLoop& loop;
    ui::Timer& timer2;          // the page sets its OnTimer
    ui::StatusBar& status_bar;  // the second panel names the selected ports
    // The multi-port page's "& XTAL Calibration" box, unchecked when a test option is chosen.
    ui::CheckBox& auto_calibration;
    // Creates and starts the slot's worker.
    std::function<void(int slot)> start_worker;
    // The form's StopSlot.
    std::function<void(int slot)> stop_slot;
    // "Scan ComPort": every page's port list.
    std::function<void()> scan_ports;
  };

  static constexpr int kSatellites = app::PortBoard::kGsvSatellites;
  using SatelliteTable = std::array<std::array<int32_t, kSatellites>, app::kSlotCount>;

  CnoPage(ui::PageControl& pages, Context context);

  void Button8Click();       // Scan ComPort
  void Button9Click();       // Start
  void Button10Click();      // Stop
  void RadioButton6Click();  // C/N0 test
  void RadioButton7Click();  // customer ID setting
  void CheckBox1Click();     // both reference check boxes
  void Timer2Timer();

  // Steps of the handlers above.
  void SortSatellites(int slot);
  void ResetTestPage();
  void RefreshTestPage();

  // Settings taken at Start.
  int32_t TestTimeoutMs = 0;
  int32_t CnoLimit = 0;
  int32_t CnoBias = 0;
  std::string TestBaudText;
  int32_t PortConflict = 0;

  // Each slot's satellites by falling C/N0 (entry 0 the strongest); main thread only.
  SatelliteTable SortedSatPrn{};
  SatelliteTable SortedSatSnr{};

  ui::TabSheet Sheet;

  ui::GroupBox GroupBox24{"GroupBox24", &Sheet};  // "C/N0 Status"
  ui::GroupBox GroupBox25{"GroupBox25", &GroupBox24};
  ui::Label Label15{"Label15", &GroupBox25};
  ui::Label Label38{"Label38", &GroupBox25};
  ui::ProgressBar ProgressBar9{"ProgressBar9", &GroupBox25};
  ui::GroupBox GroupBox26{"GroupBox26", &GroupBox24};
  ui::Label Label39{"Label39", &GroupBox26};
  ui::Label Label40{"Label40", &GroupBox26};
  ui::ProgressBar ProgressBar10{"ProgressBar10", &GroupBox26};
  ui::GroupBox GroupBox27{"GroupBox27", &GroupBox24};
  ui::Label Label41{"Label41", &GroupBox27};
  ui::Label Label42{"Label42", &GroupBox27};
  ui::ProgressBar ProgressBar11{"ProgressBar11", &GroupBox27};
  ui::GroupBox GroupBox28{"GroupBox28", &GroupBox24};
  ui::Label Label43{"Label43", &GroupBox28};
  ui::Label Label44{"Label44", &GroupBox28};
  ui::ProgressBar ProgressBar12{"ProgressBar12", &GroupBox28};
  ui::GroupBox GroupBox29{"GroupBox29", &GroupBox24};
  ui::Label Label45{"Label45", &GroupBox29};
  ui::Label Label46{"Label46", &GroupBox29};
  ui::ProgressBar ProgressBar13{"ProgressBar13", &GroupBox29};
  ui::GroupBox GroupBox30{"GroupBox30", &GroupBox24};
  ui::Label Label47{"Label47", &GroupBox30};
  ui::Label Label48{"Label48", &GroupBox30};
  ui::ProgressBar ProgressBar14{"ProgressBar14", &GroupBox30};
  ui::GroupBox GroupBox31{"GroupBox31", &GroupBox24};
  ui::Label Label49{"Label49", &GroupBox31};
  ui::Label Label50{"Label50", &GroupBox31};
  ui::ProgressBar ProgressBar15{"ProgressBar15", &GroupBox31};
  ui::GroupBox GroupBox32{"GroupBox32", &GroupBox24};
  ui::Label Label51{"Label51", &GroupBox32};
  ui::Label Label52{"Label52", &GroupBox32};
  ui::ProgressBar ProgressBar16{"ProgressBar16", &GroupBox32};

  ui::GroupBox GroupBox23{"GroupBox23", &Sheet};  // "Com Port List"
  ui::CheckListBox CheckListBox1{"CheckListBox1", &GroupBox23};
  ui::Button Button8{"Button8", &GroupBox23};  // Scan ComPort

  ui::Button Button9{"Button9", &Sheet};    // Start
  ui::Button Button10{"Button10", &Sheet};  // Stop

  ui::GroupBox GroupBox33{"GroupBox33", &Sheet};  // "Limitation Setting"
  ui::Label Label53{"Label53", &GroupBox33};
  ui::Edit Edit6{"Edit6", &GroupBox33};  // test duration, ms
  ui::Label Label54{"Label54", &GroupBox33};
  ui::Edit Edit7{"Edit7", &GroupBox33};  // keyed-in C/N0 limit, dB-Hz
  ui::Label Label62{"Label62", &GroupBox33};
  ui::Edit Edit8{"Edit8", &GroupBox33};              // bias, dB
  ui::CheckBox CheckBox1{"CheckBox1", &GroupBox33};  // Refer GPS / Refer Key-in
  ui::CheckBox CheckBox2{"CheckBox2", &GroupBox33};  // Add C/No Bias

  ui::GroupBox GroupBox34{"GroupBox34", &Sheet};  // "Message"
  ui::Label Label55{"Label55", &GroupBox34};

  ui::GroupBox GroupBox36{"GroupBox36", &Sheet};  // "Baud Rate Setting"
  ui::Label Label56{"Label56", &GroupBox36};
  ui::ComboBox ComboBox5{"ComboBox5", &GroupBox36};

  ui::GroupBox GroupBox37{"GroupBox37", &Sheet};  // "Test Option"
  ui::RadioButton RadioButton6{"RadioButton6", &GroupBox37};
  ui::RadioButton RadioButton7{"RadioButton7", &GroupBox37};

  ui::GroupBox GroupBox38{"GroupBox38", &Sheet};  // "Customer ID Setting"
  ui::Edit Edit9{"Edit9", &GroupBox38};

  // Slot k's box, status label, C/N0 label and progress bar, k in 0..7.
  ui::GroupBox& SlotBox(int slot);
  ui::Label& StatusLabel(int slot);
  ui::Label& CnoLabel(int slot);
  ui::ProgressBar& SlotProgressBar(int slot);

  static constexpr int kCustomerIdMaxLength = 32;
  // C/N0 verdicts without a measurement to compare: against a reference that has reported no
  // satellite since Start, and for a module from which no NMEA sentence has come.
  static constexpr const char* kNoReferenceText = "No SV from Ref. GPS : Fail!";
  static constexpr const char* kNoNmeaText = "No NMEA from module : Fail!";

 private:
  void LayOut();
  void LayOutSlotBoxes();
  void WireHandlers();

  // The settings controls locked while a Start runs, and given back by a refusal, a verdict
  // and Stop.
  void LockControls();
  void GiveControlsBack();
  // Ends a refused Start: the reason in red on the message line and the controls back.
  void Refuse(const std::string& text);
  // Start's checks of the operator's choices; the refusal text, or empty when Start may go on.
  std::string FirstRefusal() const;
  // Sets the job of one test option on every slot.
  void SelectTestOption(bool cno_test, const char* cno_caption, const char* status_caption,
                        const char* timeout_ms);
  // Asks the slot's earlier worker, if it still runs, to end, and lets it.
  void StartSlot(int slot, const std::string& customer_id);
  // One tick's judging of a slot in each test.
  void JudgeCno(int slot);
  void JudgeCustomerId(int slot);
  int SlotsToJudge() const;

  download::SlotBoxes Boxes();

  Context context_;
  // Slots whose port this Start opened; a slot whose port failed keeps its failure line.
  std::array<bool, app::kModuleSlotCount> running_{};
  // Slots whose verdict has been shown: it stands until the next Start.
  std::array<bool, app::kModuleSlotCount> judged_{};
  // Customer ID slots whose time-out line has been shown.
  std::array<bool, app::kModuleSlotCount> timed_out_{};
  // The customer ID the last Start sent, which each module must report back.
  std::string sent_customer_id_;
};

}  // namespace flashpost::cno
