#include "app/stop_slot.h"

#include "serial/serial_port.h"

namespace flashpost::app {

void StopSlot(PortBoard& board, ui::MainLoop& loop, ui::Button& start_button, int slot) {
  ui::RunOnMainThread(loop, [&start_button] { start_button.SetEnabled(true); });

  if (IsModuleSlot(slot)) {
    auto worker = board.Worker[slot].Get();
    if (!worker) return;
    worker->Terminate();
    if (board.ReadEnabled[slot].load() == 1) serial::ClosePort(board, slot);
    if (board.XtalAfterDownload.load() != 0) {
      board.JobAllImageNoCode[slot].store(1);
      board.JobFsa[slot].store(0);
      board.JobAllImageWithCode[slot].store(0);
      board.JobXtalCal[slot].store(0);
      board.ProtocolMode[slot].store(1);
    }
  } else if (slot == 8) {
    if (board.ReadEnabled[8].load() == 1) serial::ClosePort(board, 8);
  } else if (slot == kTerminalSlot) {
    auto reader = board.TerminalReader.Get();
    if (!reader) return;
    reader->Terminate();
    if (board.ReadEnabled[kTerminalSlot].load() == 1) serial::ClosePort(board, kTerminalSlot);
  }
}

}  // namespace flashpost::app
