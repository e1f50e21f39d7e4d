#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>

#include "board/port_board.h"

namespace flashpost::calib {

// The receive buffer a slot worker hands over: the frame from offset 0, zeros behind it.
inline constexpr size_t kModuleFrameBufferSize = 1200;

// The calibration result the module reports in its data message.
inline constexpr int kCalibrationWords = 64;
using CalibrationWords = std::array<uint32_t, kCalibrationWords>;

// A PVT aiding message that the module has not acknowledged is sent again after this long.
inline constexpr uint32_t kPvtResendMs = 2000;

// The aiding message of a slot that still waits for its acknowledgement.
struct PendingRecord {
  uint32_t message_id = 0;
  uint32_t sent_tick = 0;
};

// What the sequencer asks of the VBI senders, the aiding state they keep and the slot stop. All
// run on the calling slot's worker thread, except reset_aiding_state, which ResetSlotTables also
// runs on the main thread before a run's workers start. An empty entry does nothing
// (pending_resend: nothing is pending).
struct SequencerActions {
  // Builds and writes the PVT aiding message (21) and arms the pending record with it; on a slot
  // that is not in VBI mode it sends nothing and leaves the record as it was.
  std::function<void(int slot)> send_pvt_aiding;
  // Sends the next stored ephemeris record (41) by the slot's ephemeris mode, if any is left.
  std::function<void(int slot)> send_next_ephemeris;
  // 0: the first stored record, 1: the next one.
  std::function<void(int slot, int mode)> set_ephemeris_mode;
  // Ephemeris mode, ephemeris sent count and the pending record all back to 0.
  std::function<void(int slot)> reset_aiding_state;
  // The armed pending record; nothing when the record is not armed.
  std::function<std::optional<PendingRecord>(int slot)> pending_resend;
  // Disarms the pending record (armed flag, message identifier and sent tick to 0).
  std::function<void(int slot)> clear_pending_resend;
  // Ends the slot's worker and closes its port (called from that worker).
  std::function<void(int slot)> stop_slot;
};

// Takes a VBI module through its crystal calibration on the reports it sends by itself: the
// version report opens the sequence, the calibration-status reports move it on step by step, the
// calibration-data report settles the protocol the module goes on in, and the navigation reports
// pace the time-out and the resend of the PVT aiding. Every step shows in the slot's status line
// on the board; a few also in the message line.
//
// The per-slot state is written by the slot's worker and, before a run, by ResetSlotTables on the
// main thread; every field is atomic, so the main thread's timers may read it at any time.
class Sequencer {
 public:
  Sequencer(app::PortBoard& board, SequencerActions actions);
  Sequencer(const Sequencer&) = delete;
  Sequencer& operator=(const Sequencer&) = delete;

  // One complete frame of the slot's module, in the worker's kModuleFrameBufferSize-byte receive
  // buffer. Runs on the slot's worker thread.
  void HandleModuleMessage(const uint8_t* frame, int slot);
  // The same for a frame held in a buffer of any size; fields beyond the buffer or beyond the
  // frame's payload length are never read, and a message too short for its fields is ignored.
  void HandleModuleMessage(std::span<const uint8_t> frame, int slot);

  // Called by the slot's worker on every pass while it reads a calibrating module (at least every
  // read time-out). The first call of a run starts its clock; from then on the run times out
  // after `WaitTimeoutMs` without a verdict, also for a module that never reports its version or
  // falls silent. Runs on the slot's worker thread.
  void WatchCalibration(int slot);

  // Before a calibration run, on the main thread, while no worker of the run exists yet: every
  // slot back to Idle at step 0 with a navy status colour and VersionSeen cleared. The last
  // calibration records are kept.
  void ResetSlotTables();
  // The slot back to Idle at step 0, its aiding state and VersionSeen cleared.
  void ResetSequence(int slot);

  // The slot's state, for the pages and tests; 0 / false / zeros for a slot out of range.
  int32_t SequenceStep(int slot) const;
  bool SequenceActive(int slot) const;
  bool AwaitCalibrationData(int slot) const;
  CalibrationWords CalibrationRecord(int slot) const;

 private:
  struct SlotState {
    std::atomic<int32_t> step{0};
    std::atomic<int32_t> active{0};
    std::atomic<int32_t> await_data{0};
    std::atomic<int32_t> watched{0};  // the worker's clock runs for this run
    std::array<std::atomic<uint32_t>, kCalibrationWords> record{};
  };

  void VersionStep(std::span<const uint8_t> payload, int slot);
  void StatusStep(std::span<const uint8_t> payload, int slot);
  void DataStep(std::span<const uint8_t> payload, int slot);
  void TickStep(int slot);
  void AcknowledgementStep(uint8_t acknowledged_id, int slot);
  // The red time-out line once the run has waited `WaitTimeoutMs` without a verdict.
  void CheckTimeOut(int slot, uint32_t now);

  // Red text, then the slot reset and stopped: the run of the slot ends here.
  void Fail(int slot, std::string text);
  void ShowMessage(uint32_t color, std::string text);
  void ClearPending(int slot);

  app::PortBoard& board_;
  platform::Clock& clock_;
  const SequencerActions actions_;
  std::array<SlotState, app::kSlotCount> slots_;
};

}  // namespace flashpost::calib
