#include "download/port_selection.h"

#include "board/colors.h"
#include "serial/serial_port.h"

namespace flashpost::download {

bool CollectSelectedPorts(app::PortBoard& board, const ui::CheckListBox& list,
                          const SlotBoxes& boxes, size_t entries_considered) {
  for (ui::GroupBox* box : boxes) box->SetCaption(" ");
  for (auto& entry : board.SelectedPorts) entry.Set(" ");

  const auto& items = list.Items();
  const size_t entries = std::min(entries_considered, items.size());
  int32_t checked = 0;
  for (size_t i = 0; i < entries; ++i) {
    if (!list.Checked(static_cast<int>(i))) continue;
    if (checked < app::kModuleSlotCount) board.SelectedPorts[checked].Set(items[i]);
    ++checked;
  }
  board.SelectedPortCount.store(checked);

  bool conflict = false;
  const bool terminal_open = board.ReadEnabled[app::kTerminalSlot].load() == 1;
  const std::string terminal_port = board.OpenPortName[app::kTerminalSlot].Get();
  for (int slot = 0; slot < app::kModuleSlotCount; ++slot) {
    const std::string name = board.SelectedPorts[slot].Get();
    if (terminal_open && name == terminal_port) conflict = true;
    if (checked > 0) boxes[slot]->SetCaption(name);
  }
  return conflict;
}

void ShowSelectedPorts(const app::PortBoard& board, ui::StatusBar& status_bar) {
  std::string names;
  for (int slot = 0; slot < app::kModuleSlotCount; ++slot) {
    const std::string name = board.SelectedPorts[slot].Get();
    if (name != " ") names += name;
  }
  status_bar.SetPanelText(1, "Selected Com Port : " + names);
}

bool OpenSlotPort(app::PortBoard& board, const std::string& port_name, int slot,
                  const std::string& baud_text) {
  // A calibration is held in VBI, as the option group set the slot's framing for it: read as
  // NMEA, the module's frames would never reach the calibration.
  const bool calibrating =
      board.JobXtalCal[slot].load() != 0 || board.XtalAfterDownload.load() != 0;
  if (!calibrating) board.ProtocolMode[slot].store(0);
  if (serial::OpenPort(board, port_name, baud_text, slot) == 1) return true;
  if (board.JobCnoTest[slot].load() != 0 || board.JobCustomerId[slot].load() != 0) {
    board.TestStatusColor[slot].store(app::kRed);
    board.TestStatusText[slot].Set("Open Com Port Failed!");
  } else {
    board.SetStatus(slot, app::kRed, "Open Com Port Failed!");
  }
  return false;
}

}  // namespace flashpost::download
