#pragma once

#include "ui/control.h"
#include "ui/main_loop.h"
#include "workers/framing.h"

namespace flashpost::terminal {

// A traffic memo is emptied once it holds this many lines, so it never grows without bound.
inline constexpr int kTrafficMemoLineLimit = 500;

// Shows one hand-over of a reader in its memo, on the main thread while the reader waits: a VBI
// frame (protocol_mode 1) as its counter, length and identifier lines and a line-feed separator,
// an NMEA sentence (protocol_mode 0) as one line. A full memo is cleared first and the reader's
// frame counter starts again from 0.
void ShowTraffic(ui::Memo& memo, workers::FrameState& state, int protocol_mode, ui::MainLoop& loop);

}  // namespace flashpost::terminal
