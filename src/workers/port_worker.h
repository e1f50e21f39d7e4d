#pragma once

#include <memory>

#include "board/port_board.h"
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
  // Closes the slot's port if it is open, unless the worker has been stopped: the port then
  // belongs to whoever stopped it.
  void CloseIfOpen();
  // A pause that a stop cuts short; false when it did.
  bool Pause(uint32_t ms);
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

 private:
  // After a download that a calibration follows: the port again at the module's own speed.
  bool ReturnToModuleSpeed();
};

// How long a new run waits for the workers of the last one to leave.
inline constexpr uint32_t kRetireLimitMs = 2000;

// Which worker slot 0 gets: the automatic page's, or a PortWorker serving every job of a
// multi-port run. Slots 1..7 always get a PortWorker.
enum class WorkerKind { kAutomatic, kMultiPort };

// Starts the worker of the slot and stores it in the slot's `Worker` entry, replacing the slot's
// previous worker. Main thread only.
std::shared_ptr<SlotWorker> StartSlotWorker(ui::MainLoop& loop, app::PortBoard& board,
                                            const WorkerProcedures& procedures, int slot,
                                            WorkerKind kind = WorkerKind::kAutomatic);

// Before a run starts new workers: asks the still running workers of slots 0..slot_count-1 to
// stop, serves the main loop until they have left (a stop ends every wait of theirs at once) or
// limit_ms have passed, and closes the ports they leave behind. Two workers on one slot would
// split the module's bytes between them and close each other's ports, so a run must not start on
// a slot whose old worker is still there: false when one has not left in time. Main thread only.
bool RetireRunningWorkers(ui::MainLoop& loop, app::PortBoard& board, int slot_count,
                          uint32_t limit_ms = kRetireLimitMs);

}  // namespace flashpost::workers
