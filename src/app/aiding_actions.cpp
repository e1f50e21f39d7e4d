#include "app/aiding_actions.h"

#include <utility>

#include "protocol/vbi.h"

namespace flashpost::app {

calib::SequencerActions BoardAidingActions(PortBoard& board, std::function<void(int)> stop_slot) {
  calib::SequencerActions actions;
  actions.send_pvt_aiding = [&board](int slot) { protocol::SendPvtAiding(board, slot); };
  actions.send_next_ephemeris = [&board](int slot) { protocol::SendNextEphemeris(board, slot); };
  actions.set_ephemeris_mode = [&board](int slot, int mode) {
    board.EphemerisMode[slot].store(mode);
  };
  actions.reset_aiding_state = [&board](int slot) {
    board.EphemerisMode[slot].store(0);
    board.EphemerisSentCount[slot].store(0);
    board.PendingResend[slot].Clear();
  };
  actions.pending_resend = [&board](int slot) -> std::optional<calib::PendingRecord> {
    const PendingResendRecord& pending = board.PendingResend[slot];
    if (pending.Armed.load() == 0) return std::nullopt;
    return calib::PendingRecord{static_cast<uint32_t>(pending.MessageId.load()),
                                pending.SentTick.load()};
  };
  actions.clear_pending_resend = [&board](int slot) { board.PendingResend[slot].Clear(); };
  actions.stop_slot = std::move(stop_slot);
  return actions;
}

}  // namespace flashpost::app
