#include "app/stop_slot.h"

#include "serial/serial_port.h"

namespace flashpost::app {

void StopSlot(PortBoard& board, ui::MainLoop& loop, ui::Button& start_button, int slot) {
  ui::RunOnMainThread(loop, [&start_button] { start_button.SetEnabled(true); });

  if (IsModuleSlot(slot)) {
    auto worker = board.Worker[slot].Get();
    if (!worker) return;
    worker->Terminate();
    serial::CloseIfOpen(board, slot);
    if (board.XtalAfterDownload.load() != 0) {
      board.JobAllImageNoCode[slot].store(1);
      board.JobFsa[slot].store(0);
      board.JobAllImageWithCode[slot].store(0);
      board.JobXtalCal[slot].store(0);
      board.ProtocolMode[slot].store(1);
    }
  } else if (slot == 8) {
    serial::CloseIfOpen(board, 8);
  } else if (slot == kTerminalSlot) {
    auto reader = board.TerminalReader.Get();
    if (!reader) return;
    reader->Terminate();
    serial::CloseIfOpen(board, kTerminalSlot);
  }
}

}  // namespace flashpost::app
