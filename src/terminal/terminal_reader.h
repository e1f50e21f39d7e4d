#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

#include "board/port_board.h"
#include "ui/thread.h"
#include "workers/framing.h"

namespace flashpost::terminal {

// The terminal port's reader (`TRead`): reads slot 9 one byte at a time while its port is open,
// frames NMEA sentences or VBI frames by the slot's protocol mode with a framing state of its
// own, shows each one on the main thread and hands sentences to the terminal sentence handler
// and frames to the reference receiver's message handler.
class TerminalReader final : public ui::Thread {
 public:
  struct Hooks {
    // The display of one hand-over, run on the main thread while the reader waits. It may read
    // the framing state and reset its message counter.
    std::function<void(workers::FrameState& state, int protocol_mode)> show_traffic;
    // A complete VBI frame from the reference receiver (the 1200-byte buffer).
    std::function<void(const uint8_t* frame)> handle_reference_message;
  };

  TerminalReader(ui::MainLoop& loop, app::PortBoard& board, Hooks hooks);

  // Drops the sentence or frame being assembled; the reader does it before it frames its next
  // byte. Any thread.
  void RequestFrameReset() { frame_reset_requested_.store(true); }
  // True until the reader has dropped the frame after a request.
  bool FrameResetPending() const { return frame_reset_requested_.load(); }

 protected:
  void Execute() override;

 private:
  void ReadStep();
  void Display();
  void ResetFrame();

  app::PortBoard& board_;
  const Hooks hooks_;
  std::atomic<bool> frame_reset_requested_{false};
  workers::Framer framer_;
};
using TRead = TerminalReader;

}  // namespace flashpost::terminal
