#pragma once

#include <memory>

#include "app/port_board.h"
#include "ui/thread.h"
#include "workers/framing.h"
#include "workers/procedures.h"

namespace flashpost::workers {

// What both kinds of slot worker share: the read step on the slot's port and the framing that
// hands sentences to the NMEA handler and frames to the module message handler.
class SlotWorker : public ui::Thread {
 public:
  SlotWorker(ui::MainLoop& loop, app::PortBoard& board, const WorkerProcedures& procedures,
             int slot);

  int Slot() const { return slot_; }

 protected:
  // Reads one byte, drops a backlog beyond the stale-input limit, frames what was read.
  void ReadStep();
  // What the worker does before each hand-over, on the main thread.
  virtual void Display() = 0;
  // Closes the slot's port if it is open.
  void CloseIfOpen();
  // A short pause for a pass with nothing to read, so an idle worker does not spin a core.
  void IdlePause();

  app::PortBoard& board_;
  const WorkerProcedures& procedures_;
  const int slot_;
  Framer framer_;
};

// Slot 0's worker (`TUpload`): serves the automatic update page, and is slot 0's reader on the
// multi-port and C/N0 pages. Runs the firmware and re-update jobs on `CurrentPortName` and
// reads its port whenever it is open.
class AutoWorker final : public SlotWorker {
 public:
  AutoWorker(ui::MainLoop& loop, app::PortBoard& board, const WorkerProcedures& procedures);

 protected:
  void Execute() override;
  void Display() override;
};
using TUpload = AutoWorker;

// The worker of slots 1..7, and of slot 0 in a multi-port run: download jobs on
// `SelectedPorts`[slot], after which it ends by itself, and reading during the calibration and
// test jobs.
class PortWorker final : public SlotWorker {
 public:
  PortWorker(ui::MainLoop& loop, app::PortBoard& board, const WorkerProcedures& procedures,
             int slot);

 protected:
  void Execute() override;
  void Display() override;
};

// Which worker slot 0 gets: the automatic page's, or a PortWorker serving every job of a
// multi-port run. Slots 1..7 always get a PortWorker.
enum class WorkerKind { kAutomatic, kMultiPort };

// Starts the worker of the slot and stores it in the slot's `Worker` entry, replacing the slot's
// previous worker. Main thread only.
std::shared_ptr<SlotWorker> StartSlotWorker(ui::MainLoop& loop, app::PortBoard& board,
                                            const WorkerProcedures& procedures, int slot,
                                            WorkerKind kind = WorkerKind::kAutomatic);

// Before a run starts new workers: asks the still running workers of slots 0..slot_count-1 to
// stop and serves the main loop until they have left or limit_ms have passed. Two readers on one
// port would split the module's sentences between them, and a replaced worker would no longer be
// waited for when the program ends. Main thread only.
void RetireRunningWorkers(ui::MainLoop& loop, app::PortBoard& board, int slot_count,
                          uint32_t limit_ms = 1000);

}  // namespace flashpost::workers
