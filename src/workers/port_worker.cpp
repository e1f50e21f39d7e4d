#include "workers/port_worker.h"

#include <algorithm>
#include <vector>

#include "protocol/nmea.h"
#include "serial/serial_port.h"
#include "serial/slot_job.h"

namespace flashpost::workers {

namespace {
// Between two passes that found both jobs set, as the module needs time after an update.
constexpr uint32_t kBusyJobPauseMs = 250;
// A port worker waiting for a test or calibration job.
constexpr uint32_t kNoJobPauseMs = 250;
// A pass with the port closed and nothing to do.
constexpr uint32_t kIdlePauseMs = 10;
// From the end of a download to the start of the calibration that follows it.
constexpr uint32_t kCalibrationDelayMs = 2500;
}  // namespace

SlotWorker::SlotWorker(ui::MainLoop& loop, app::PortBoard& board,
                       const WorkerProcedures& procedures, int slot)
    : ui::Thread(loop),
      board_(board),
      procedures_(procedures),
      slot_(slot),
      framer_(Framer::Hooks{
          .mode = [this] { return board_.ProtocolMode[slot_].load(); },
          .display = [this] { Display(); },
          // A stopped worker hands nothing more over: the slot belongs to whoever stopped it.
          .sentence =
              [this](std::string_view sentence) {
                Stop().UnlessStopped(
                    [&] { protocol::HandleSlotSentence(board_, sentence, slot_); });
              },
          .frame =
              [this](const uint8_t* frame) {
                if (!procedures_.HandleModuleMessage) return;
                Stop().UnlessStopped([&] { procedures_.HandleModuleMessage(frame, slot_); });
              },
          .read_byte = [this] { return serial::ReadPortByte(board_, slot_, &Stop()); },
          .now = [this] { return board_.Clock().Ticks(); },
          .stop_requested = [this] { return Terminated(); },
      }) {}

void SlotWorker::ReadStep() {
  auto byte = serial::ReadPortByte(board_, slot_, &Stop());
  if (serial::PortBytesWaiting(board_, slot_) > serial::kStaleInputLimit) {
    serial::PurgePort(board_, slot_, true, true);
  }
  if (byte) framer_.Feed(*byte);
}

void SlotWorker::CloseIfOpen() {
  Stop().UnlessStopped([this] { serial::CloseIfOpen(board_, slot_); });
}

bool SlotWorker::Pause(uint32_t ms) { return Stop().Sleep(board_.Clock(), ms); }

void SlotWorker::IdlePause() { Pause(kIdlePauseMs); }

AutoWorker::AutoWorker(ui::MainLoop& loop, app::PortBoard& board,
                       const WorkerProcedures& procedures)
    : SlotWorker(loop, board, procedures, 0) {}

void AutoWorker::Execute() {
  // After each job the port is closed, unless the worker was stopped: then whoever stopped it
  // owns the port. A job that brought the firmware in ends the worker.
  while (!Terminated()) {
    if (board_.JobFwAp[0].load() != 0) {
      std::lock_guard owning_port(board_.ProcedureLock[0]);
      const bool done = procedures_.UpdateFirmware &&
                        procedures_.UpdateFirmware(board_.CurrentPortName.Get(), 0, Stop());
      CloseIfOpen();
      if (done) return;
    }
    if (board_.JobReUpdate[0].load() != 0) {
      std::lock_guard owning_port(board_.ProcedureLock[0]);
      const bool done =
          procedures_.ReUpdate && procedures_.ReUpdate(board_.CurrentPortName.Get(), 0, Stop());
      CloseIfOpen();
      if (done) return;
    }
    if (board_.JobReUpdate[0].load() != 0 && board_.JobFwAp[0].load() != 0) {
      Pause(kBusyJobPauseMs);
      continue;
    }
    if (board_.ReadEnabled[0].load() != 1) {
      IdlePause();
      continue;
    }
    ReadStep();
  }
}

void AutoWorker::Display() {
  // Always a synchronous call, shown or not: a handler on the main thread that is still talking
  // to the module (the second probe at OK) finishes before the answer is acted on.
  FrameState& state = framer_.State();
  Synchronize([this, &state] {
    if (procedures_.ShowTraffic) procedures_.ShowTraffic(state);
  });
}

PortWorker::PortWorker(ui::MainLoop& loop, app::PortBoard& board,
                       const WorkerProcedures& procedures, int slot)
    : SlotWorker(loop, board, procedures, slot) {}

void PortWorker::Execute() {
  const int k = slot_;
  while (!Terminated()) {
    if (!(board_.JobCnoTest[k].load() != 0 && board_.JobCustomerId[k].load() != 0)) {
      if (board_.JobAllImageNoCode[k].load() != 0) {
        std::unique_lock owning_port(board_.ProcedureLock[k]);
        const bool downloaded =
            procedures_.AllImageDownload &&
            procedures_.AllImageDownload(board_.SelectedPorts[k].Get(), k, Stop());
        // A module without firmware cannot calibrate: its failure text stays, rather than a
        // calibration time-out that would hide it.
        if (board_.XtalAfterDownload.load() == 0 || !downloaded) {
          CloseIfOpen();
          return;
        }
        owning_port.unlock();
        if (!ReturnToModuleSpeed() || !Pause(kCalibrationDelayMs)) return;
        board_.JobXtalCal[k].store(1);
        board_.JobAllImageNoCode[k].store(0);
      }
      if (board_.JobFsa[k].load() != 0 || board_.JobFwAp[k].load() != 0 ||
          board_.JobAllImageWithCode[k].load() != 0) {
        std::lock_guard owning_port(board_.ProcedureLock[k]);
        if (procedures_.UpdateFirmware) {
          procedures_.UpdateFirmware(board_.SelectedPorts[k].Get(), k, Stop());
        }
        CloseIfOpen();
        return;
      }
    }
    if (board_.JobXtalCal[k].load() != 1 && board_.JobCnoTest[k].load() != 1 &&
        board_.JobCustomerId[k].load() != 1) {
      Pause(kNoJobPauseMs);
      continue;
    }
    if (board_.ReadEnabled[k].load() != 1) {
      IdlePause();
      continue;
    }
    if (board_.JobXtalCal[k].load() == 1 && procedures_.WatchCalibration) {
      Stop().UnlessStopped([&] { procedures_.WatchCalibration(k); });
    }
    ReadStep();
  }
}

bool PortWorker::ReturnToModuleSpeed() {
  // The download left the port at the kernel's speed. The new firmware starts at once and
  // reports at the module's own speed, at which the run opened the port: the line goes back to it
  // without a close, so that its first reports wait in the port for the calibration.
  const serial::SlotJob job(board_, slot_, Stop());
  return job.SetSpeed(board_.RunBaudText[slot_].Get());
}

void PortWorker::Display() {
  // Only lets the main thread catch up with its pending work before the hand-over.
  Synchronize([] {});
}

bool RetireRunningWorkers(ui::MainLoop& loop, app::PortBoard& board, int slot_count,
                          uint32_t limit_ms) {
  const int slots = std::clamp(slot_count, 0, app::kModuleSlotCount);
  std::vector<std::shared_ptr<ui::Thread>> running;
  for (int slot = 0; slot < slots; ++slot) {
    auto worker = board.Worker[slot].Get();
    if (!worker || worker->Finished()) continue;
    worker->Terminate();
    running.push_back(std::move(worker));
  }
  auto all_finished = [&running] {
    return std::all_of(running.begin(), running.end(), [](auto& w) { return w->Finished(); });
  };
  // Served, not blocked: a worker may be waiting for the main thread to show its traffic.
  const uint32_t start = board.Clock().Ticks();
  while (!all_finished() && !platform::Elapsed(board.Clock().Ticks(), start, limit_ms)) {
    loop.ProcessFor(10);
  }
  // A stopped worker leaves its port to the one who stopped it; one still inside a procedure
  // keeps it until it has left.
  for (int slot = 0; slot < slots; ++slot) {
    std::unique_lock free_port(board.ProcedureLock[slot], std::try_to_lock);
    if (free_port) serial::CloseIfOpen(board, slot);
  }
  return all_finished();
}

std::shared_ptr<SlotWorker> StartSlotWorker(ui::MainLoop& loop, app::PortBoard& board,
                                            const WorkerProcedures& procedures, int slot,
                                            WorkerKind kind) {
  std::shared_ptr<SlotWorker> worker;
  if (slot == 0 && kind == WorkerKind::kAutomatic) {
    worker = ui::StartThread<AutoWorker>(loop, board, procedures);
  } else if (app::IsModuleSlot(slot)) {
    // On the multi-port page slot 0 carries a module of the run like the other seven.
    worker = ui::StartThread<PortWorker>(loop, board, procedures, slot);
  } else {
    return nullptr;
  }
  board.Worker[slot].Set(worker);
  return worker;
}

}  // namespace flashpost::workers
