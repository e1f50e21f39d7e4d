#include "calib/sequencer.h"

#include <algorithm>
#include <string>
#include <utility>

#include "board/colors.h"
#include "protocol/vbi.h"
#include "serial/serial_port.h"

namespace flashpost::calib {

namespace {

// The fields each report must carry; a shorter report is cut off and says nothing reliable.
constexpr size_t kVersionFieldsLength = 6;  // minor in byte 3, version number in bytes 4..5
constexpr size_t kStatusWordLength = 4;
constexpr size_t kCalibrationDataLength = kCalibrationWords * 4;

// Steps of the sequence; step 4 is a finished calibration.
constexpr int32_t kStepDone = 4;

// The module's calibration phase sits in bits 19..21 of the status word.
constexpr int kPhaseShift = 19;
constexpr uint32_t kPhaseMask = 7;
constexpr uint32_t kPhaseCalibrated = 0;  // also: the calibration has passed
constexpr uint32_t kPhaseAwaitingAiding = 6;
constexpr uint32_t kPhaseCalibrating = 4;

// The output protocol the operator chose for the module after the calibration.
constexpr int32_t kOutputVbi = 1;
constexpr int32_t kOutputNmea = 2;

uint32_t ReadLe32(std::span<const uint8_t> bytes, size_t offset) {
  return static_cast<uint32_t>(bytes[offset]) | static_cast<uint32_t>(bytes[offset + 1]) << 8 |
         static_cast<uint32_t>(bytes[offset + 2]) << 16 |
         static_cast<uint32_t>(bytes[offset + 3]) << 24;
}

template <class F, class... Args>
void Run(const F& action, Args... args) {
  if (action) action(args...);
}

}  // namespace

Sequencer::Sequencer(app::PortBoard& board, SequencerActions actions)
    : board_(board), clock_(board.Clock()), actions_(std::move(actions)) {}

void Sequencer::HandleModuleMessage(const uint8_t* frame, int slot) {
  if (frame == nullptr) return;
  HandleModuleMessage(std::span<const uint8_t>(frame, kModuleFrameBufferSize), slot);
}

void Sequencer::HandleModuleMessage(std::span<const uint8_t> frame, int slot) {
  if (!app::IsSlot(slot) || frame.size() < protocol::kVbiHeaderSize) return;
  const size_t declared = static_cast<size_t>(frame[4]) | static_cast<size_t>(frame[5]) << 8;
  const auto payload = frame.subspan(protocol::kVbiHeaderSize,
                                     std::min(declared, frame.size() - protocol::kVbiHeaderSize));

  switch (frame[2]) {
    case protocol::kVbiVersionReport:
      if (slots_[slot].active.load() == 0) VersionStep(payload, slot);
      break;
    case protocol::kVbiTestStepReport:
      StatusStep(payload, slot);
      break;
    case protocol::kVbiCalibrationData:
      if (slots_[slot].await_data.load() != 0) DataStep(payload, slot);
      break;
    case protocol::kVbiNavigationReport:
      TickStep(slot);
      break;
    case protocol::kVbiAcknowledge:
      AcknowledgementStep(frame[3], slot);
      break;
    default:
      break;
  }
}

void Sequencer::VersionStep(std::span<const uint8_t> payload, int slot) {
  if (payload.size() < kVersionFieldsLength) return;
  const int major = (payload[5] * 256 + payload[4]) / 100;
  const int minor = static_cast<int8_t>(payload[3]);
  board_.StatusText[slot].Set("[ F/W Ver: " + std::to_string(major) + "." + std::to_string(minor) +
                              " ] - 1 ");
  // The time-out runs from here until the first status report restarts it: a tick left over
  // from an earlier wait on the slot would time the module out before it has had its time.
  board_.StartTick[slot].store(clock_.Ticks());
  slots_[slot].active.store(1);
  if (slot == 0) ShowMessage(app::kNavy, "Send CMD1");
}

void Sequencer::StatusStep(std::span<const uint8_t> payload, int slot) {
  if (payload.size() < kStatusWordLength) return;
  const uint32_t phase = (ReadLe32(payload, 0) >> kPhaseShift) & kPhaseMask;
  SlotState& state = slots_[slot];

  switch (state.step.load()) {
    case 0:
      // The first report only tells whether the module holds a calibration; either way it goes on.
      board_.StatusColor[slot].store(app::kNavy);
      board_.StatusText[slot].Set(phase == kPhaseCalibrated ? " F3 Success - 1(Calibrated) "
                                                            : " F3 Failure - 1(No Calibration) ");
      board_.StartTick[slot].store(clock_.Ticks());
      state.step.store(1);
      break;
    case 1:
      if (phase != kPhaseAwaitingAiding) {
        Fail(slot, " F1 Failure - 2(Test Fail!)");
        break;
      }
      board_.StatusText[slot].Set(" F1 Success - 2 ");
      Run(actions_.send_pvt_aiding, slot);
      if (slot == 0) ShowMessage(app::kNavy, "Send PVT");
      state.step.store(2);
      break;
    case 2:
      if (phase != kPhaseCalibrating) {
        state.await_data.store(0);
        Fail(slot, " F2 Failure - 3(Test Fail!) ");
        break;
      }
      board_.StatusColor[slot].store(app::kNavy);
      board_.StatusText[slot].Set(" F2 Success - 3 ");
      state.await_data.store(1);
      state.step.store(3);
      break;
    case 3:
      if (phase != kPhaseCalibrated) {
        Fail(slot, " F3 Failure - 4(Test Fail!) ");
        break;
      }
      board_.StatusColor[slot].store(app::kNavy);
      board_.StatusText[slot].Set(" F3 Success - 4(Test OK!)");
      state.step.store(kStepDone);
      break;
    default:
      break;
  }
}

void Sequencer::DataStep(std::span<const uint8_t> payload, int slot) {
  if (payload.size() < kCalibrationDataLength) return;
  SlotState& state = slots_[slot];
  for (int i = 0; i < kCalibrationWords; ++i) {
    state.record[i].store(ReadLe32(payload, static_cast<size_t>(i) * 4));
  }
  state.await_data.store(0);

  board_.StatusColor[slot].store(app::kBlue);
  const int32_t output = board_.OutputProtocolIndex.load();
  if (output == kOutputNmea) {
    // The module goes on in NMEA: nothing more of the run arrives on this port.
    board_.ProtocolMode[slot].store(0);
    serial::ClosePort(board_, slot);
    board_.StatusText[slot].Set("Close ComPort for NMEA mode!");
  } else if (output == kOutputVbi) {
    board_.StatusText[slot].Set("VBI mode!");
  }
}

void Sequencer::TickStep(int slot) {
  const uint32_t now = clock_.Ticks();

  CheckTimeOut(slot, now);

  if (!actions_.pending_resend) return;
  const auto pending = actions_.pending_resend(slot);
  if (pending && pending->message_id == protocol::kVbiPvtAiding &&
      platform::Elapsed(now, pending->sent_tick, kPvtResendMs)) {
    Run(actions_.send_pvt_aiding, slot);
    ShowMessage(app::kRed, "Resend ID 21!");
  }
}

void Sequencer::CheckTimeOut(int slot, uint32_t now) {
  SlotState& state = slots_[slot];
  // A finished calibration keeps its verdict: the module goes on reporting its position, and
  // a time-out then would turn a passed run into a failed one.
  const int32_t wait_ms = std::max<int32_t>(0, board_.WaitTimeoutMs.load());
  const bool timing = state.active.load() != 0 || state.watched.load() != 0;
  if (timing && state.step.load() != kStepDone &&
      platform::Elapsed(now, board_.StartTick[slot].load(), static_cast<uint32_t>(wait_ms))) {
    Fail(slot, "Time out : " + std::to_string(wait_ms / 1000) + "S");
  }
}

void Sequencer::WatchCalibration(int slot) {
  if (!app::IsSlot(slot)) return;
  SlotState& state = slots_[slot];
  const uint32_t now = clock_.Ticks();
  if (state.watched.exchange(1) == 0) {
    // A version report that came first has started the clock already.
    if (state.active.load() == 0) board_.StartTick[slot].store(now);
    return;
  }
  CheckTimeOut(slot, now);
}

void Sequencer::AcknowledgementStep(uint8_t acknowledged_id, int slot) {
  switch (acknowledged_id) {
    case 1:
    case 9:
      ClearPending(slot);
      break;
    case 11:
      if (slot == 0) ShowMessage(app::kNavy, "Get ACK command(VBI->NMEA)!");
      ClearPending(slot);
      break;
    case protocol::kVbiPvtAiding:
      // The PVT is in: the ephemerides follow, one per acknowledgement.
      Run(actions_.set_ephemeris_mode, slot, 0);
      Run(actions_.send_next_ephemeris, slot);
      if (slot == 0) ShowMessage(app::kNavy, "Send EPH");
      ClearPending(slot);
      break;
    case protocol::kVbiEphemeris:
      // Clearing after the send disarms the record just sent: ephemerides are not resent.
      Run(actions_.set_ephemeris_mode, slot, 1);
      Run(actions_.send_next_ephemeris, slot);
      ClearPending(slot);
      break;
    default:
      break;
  }
}

void Sequencer::Fail(int slot, std::string text) {
  board_.StatusColor[slot].store(app::kRed);
  board_.StatusText[slot].Set(std::move(text));
  ResetSequence(slot);
  Run(actions_.stop_slot, slot);
}

void Sequencer::ShowMessage(uint32_t color, std::string text) {
  board_.MessageColor.store(color);
  board_.MessageText.Set(std::move(text));
}

void Sequencer::ClearPending(int slot) { Run(actions_.clear_pending_resend, slot); }

void Sequencer::ResetSequence(int slot) {
  if (!app::IsSlot(slot)) return;
  SlotState& state = slots_[slot];
  state.step.store(0);
  state.active.store(0);
  state.await_data.store(0);
  state.watched.store(0);
  Run(actions_.reset_aiding_state, slot);
  board_.VersionSeen[slot].store(0);
}

void Sequencer::ResetSlotTables() {
  for (int slot = 0; slot < app::kSlotCount; ++slot) {
    board_.VersionSeen[slot].store(0);
    board_.StatusColor[slot].store(app::kNavy);
    ResetSequence(slot);
  }
}

int32_t Sequencer::SequenceStep(int slot) const {
  return app::IsSlot(slot) ? slots_[slot].step.load() : 0;
}

bool Sequencer::SequenceActive(int slot) const {
  return app::IsSlot(slot) && slots_[slot].active.load() != 0;
}

bool Sequencer::AwaitCalibrationData(int slot) const {
  return app::IsSlot(slot) && slots_[slot].await_data.load() != 0;
}

CalibrationWords Sequencer::CalibrationRecord(int slot) const {
  CalibrationWords words{};
  if (!app::IsSlot(slot)) return words;
  for (int i = 0; i < kCalibrationWords; ++i) words[i] = slots_[slot].record[i].load();
  return words;
}

}  // namespace flashpost::calib
