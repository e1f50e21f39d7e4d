#include "download/update_options.h"

#include <array>

namespace flashpost::download {

namespace {
using Job = app::SlotTable<int32_t> app::PortBoard::*;
constexpr std::array<Job, 7> kJobs{
    &app::PortBoard::JobAllImageNoCode,   &app::PortBoard::JobFsa,     &app::PortBoard::JobFwAp,
    &app::PortBoard::JobAllImageWithCode, &app::PortBoard::JobXtalCal, &app::PortBoard::JobCnoTest,
    &app::PortBoard::JobCustomerId};

const std::vector<std::string> kProtocols{"reserved",
                                          "VBI protocol",
                                          "NMEA protocol",
                                          "RTCM protocol",
                                          "RAW protocol",
                                          "DEBUG protocol",
                                          "Xmodem protocol (for firmware upgrade)",
                                          "reserved"};

// A list without a selection counts as its third entry.
int IndexOrDefault(const ui::ComboBox& box) { return box.ItemIndex() < 0 ? 2 : box.ItemIndex(); }
}  // namespace

UpdateOptionsGroup::UpdateOptionsGroup(ui::Control& page, app::PortBoard& board,
                                       DownloadServices& services, ui::Edit& waiting_time)
    : GroupBox18("GroupBox18", &page),
      board_(board),
      services_(services),
      waiting_time_(waiting_time) {
  GroupBox18.SetCaption("Update Option");
  GroupBox18.SetGeometry({16, 360, 560, 150});
  struct Radio {
    ui::RadioButton& button;
    const char* caption;
    void (UpdateOptionsGroup::*click)();
  };
  int top = 18;
  for (const Radio& r :
       {Radio{RadioButton1, "FSA", &UpdateOptionsGroup::RadioButton1Click},
        Radio{RadioButton2, "All Image(No code)", &UpdateOptionsGroup::RadioButton2Click},
        Radio{RadioButton3, "All Image(With code)", &UpdateOptionsGroup::RadioButton3Click},
        Radio{RadioButton4, "XTAL Calibration", &UpdateOptionsGroup::RadioButton4Click},
        Radio{RadioButton5, "FW(AP)", &UpdateOptionsGroup::RadioButton5Click}}) {
    r.button.SetCaption(r.caption);
    r.button.SetGeometry({10, top, 150, 18});
    r.button.OnClick = [this, click = r.click] { (this->*click)(); };
    top += 22;
  }
  // Shown selected, but its job flag is only set by a click.
  RadioButton2.SetChecked(true);

  BBChip.SetCaption("BBChip");
  BBChip.SetGeometry({170, 18, 130, 18});
  BBChip.OnClick = [this] { BBChipClick(); };
  // One ampersand shows: a lone one would mark the next letter as the access key.
  AutoCalibration.SetCaption("&& XTAL Calibration");
  AutoCalibration.SetGeometry({170, 40, 150, 18});
  AutoCalibration.OnClick = [this] { AutoCalibrationClick(); };

  Label30.SetCaption("Baud Rate :");
  Label30.SetGeometry({330, 20, 80, 16});
  ComboBox3.SetItems(
      {"2400", "4800", "9600", "14400", "19200", "28800", "38400", "57600", "115200"});
  ComboBox3.SetText("9600");
  ComboBox3.SetGeometry({420, 16, 120, 21});
  Label31.SetCaption("Command :");
  Label31.SetGeometry({330, 50, 80, 16});
  Label32.SetCaption("(    Input    )");
  Label32.SetGeometry({330, 66, 80, 16});
  ComboBox7.SetItems(kProtocols);
  ComboBox7.SetItemIndex(2);
  ComboBox7.SetGeometry({420, 50, 130, 21});
  Label33.SetCaption("      Data      :");
  Label33.SetGeometry({330, 90, 80, 16});
  Label34.SetCaption("(  Output   )");
  Label34.SetGeometry({330, 106, 80, 16});
  ComboBox8.SetItems(kProtocols);
  ComboBox8.SetItemIndex(2);
  ComboBox8.SetGeometry({420, 90, 130, 21});
}

void UpdateOptionsGroup::SelectJob(Job job) {
  for (int slot = 0; slot < app::kSlotCount; ++slot) {
    for (Job j : kJobs) (board_.*j)[slot].store(j == job ? 1 : 0);
  }
}

void UpdateOptionsGroup::SetModuleFraming(int protocol_mode) {
  // The terminal slot keeps the mode its page switched the reference receiver to: the Start
  // checks that mode, and the terminal reader frames the receiver's bytes by it.
  for (int slot = 0; slot < app::kSlotCount; ++slot) {
    if (slot != app::kTerminalSlot) board_.ProtocolMode[slot].store(protocol_mode);
  }
}

void UpdateOptionsGroup::SelectPlainJob(Job job, int protocol_mode, const char* waiting_ms) {
  SelectJob(job);
  SetModuleFraming(protocol_mode);
  AutoCalibration.SetChecked(false);
  board_.XtalAfterDownload.store(0);
  waiting_time_.SetText(waiting_ms);
}

void UpdateOptionsGroup::RadioButton1Click() {
  SelectPlainJob(&app::PortBoard::JobFsa, 0, "10000");
}

void UpdateOptionsGroup::RadioButton2Click() {
  SelectJob(&app::PortBoard::JobAllImageNoCode);
  waiting_time_.SetText("10000");
}

void UpdateOptionsGroup::RadioButton3Click() {
  SelectPlainJob(&app::PortBoard::JobAllImageWithCode, 0, "10000");
}

void UpdateOptionsGroup::RadioButton4Click() {
  SelectPlainJob(&app::PortBoard::JobXtalCal, 1, "35000");
}

void UpdateOptionsGroup::RadioButton5Click() {
  SelectPlainJob(&app::PortBoard::JobFwAp, 0, "10000");
}

void UpdateOptionsGroup::BBChipClick() {
  const bool checked = BBChip.Checked();
  services_.bbchip_checked.store(checked);
  BBChip.SetCaption(checked ? "(Vorlan1 Chip)" : "(Vorlan2 Chip)");
  // This chip has no calibration.
  RadioButton4.SetEnabled(!checked);
  AutoCalibration.SetEnabled(!checked);
}

void UpdateOptionsGroup::AutoCalibrationClick() {
  if (!AutoCalibration.Checked()) {
    board_.XtalAfterDownload.store(0);
    return;
  }
  RadioButton2.SetChecked(true);
  RadioButton2Click();
  board_.XtalAfterDownload.store(1);
  SelectJob(&app::PortBoard::JobAllImageNoCode);
  SetModuleFraming(1);
  waiting_time_.SetText("35000");
}

void UpdateOptionsGroup::BuildOptionWord() {
  board_.OutputProtocolIndex.store(ComboBox8.ItemIndex());
  const int baud = IndexOrDefault(ComboBox3);
  const int input = IndexOrDefault(ComboBox7);
  const int output = IndexOrDefault(ComboBox8);
  board_.OptionWord.store((baud & 0xF) | ((input & 0x7) << 4) | ((output & 0x7) << 7));
  board_.BaudIndexDigit.store(static_cast<char>('0' + (baud % 10)));
}

}  // namespace flashpost::download
