#pragma once

#include <functional>

#include "board/port_board.h"
#include "calib/sequencer.h"

namespace flashpost::app {

// The calibration sequencer's actions on this board: the VBI senders, the slot's aiding state
// (ephemeris mode and count, the aiding message waiting for its acknowledgement) and the slot
// stop the form provides.
calib::SequencerActions BoardAidingActions(PortBoard& board, std::function<void(int)> stop_slot);

}  // namespace flashpost::app
