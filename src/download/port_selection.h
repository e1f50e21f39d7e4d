#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "board/port_board.h"
#include "ui/control.h"

namespace flashpost::download {

// The eight slot boxes of a multi-port page, slot 0 first.
using SlotBoxes = std::array<ui::GroupBox*, app::kModuleSlotCount>;

// Takes the checked ports of the list, in list order, into `SelectedPorts` (slot k gets the k-th
// checked port; unused entries hold a single blank) and counts them into `SelectedPortCount`,
// ports beyond the eighth counted but not stored. Only the first `entries_considered` entries of
// the list are looked at. The boxes' captions become the stored names when at least one port is
// checked, a single blank otherwise. True when a stored name is the terminal port while that port
// is open: the reference receiver would be taken for a module.
bool CollectSelectedPorts(app::PortBoard& board, const ui::CheckListBox& list,
                          const SlotBoxes& boxes, size_t entries_considered);

// The status bar's second panel: "Selected Com Port : " and the stored names run together.
void ShowSelectedPorts(const app::PortBoard& board, ui::StatusBar& status_bar);

// Opens a module's port for a test or calibration job at the given speed, in NMEA framing except
// for a calibration, which keeps the VBI framing the option group gave the slot. On
// failure the slot's line says "Open Com Port Failed!" in red: the C/N0 page's line when the slot
// runs a C/N0 or customer ID job, the download line otherwise.
bool OpenSlotPort(app::PortBoard& board, const std::string& port_name, int slot,
                  const std::string& baud_text);

}  // namespace flashpost::download
