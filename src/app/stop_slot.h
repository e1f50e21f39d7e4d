#pragma once

#include "board/port_board.h"
#include "ui/control.h"
#include "ui/main_loop.h"

namespace flashpost::app {

// Ends whatever runs on a slot: asks its worker (slot 9: the terminal reader) to stop and closes
// its port. While the multi-port page is set for download-then-calibration, the slot's jobs are
// put back to that set-up so the next Start repeats the whole run. Gives the multi-port page's
// Start button back; from a worker thread that is done by the main thread.
void StopSlot(PortBoard& board, ui::MainLoop& loop, ui::Button& start_button, int slot);

}  // namespace flashpost::app
