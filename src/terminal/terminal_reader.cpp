#include "terminal/terminal_reader.h"

#include "protocol/nmea.h"
#include "serial/serial_port.h"

namespace flashpost::terminal {

namespace {
constexpr int kSlot = app::kTerminalSlot;
// A pass with the port closed: a short pause, so a reader waiting for its port does not spin a
// core.
constexpr uint32_t kIdlePauseMs = 10;
}  // namespace

TerminalReader::TerminalReader(ui::MainLoop& loop, app::PortBoard& board, Hooks hooks)
    : ui::Thread(loop),
      board_(board),
      hooks_(std::move(hooks)),
      framer_(workers::Framer::Hooks{
          .mode = [this] { return board_.ProtocolMode[kSlot].load(); },
          .display = [this] { Display(); },
          .sentence =
              [this](std::string_view sentence) {
                protocol::HandleTerminalSentence(board_, sentence);
              },
          .frame =
              [this](const uint8_t* frame) {
                if (hooks_.handle_reference_message) hooks_.handle_reference_message(frame);
              },
          .read_byte = [this] { return serial::ReadPortByte(board_, kSlot, &Stop()); },
          .now = [this] { return board_.Clock().Ticks(); },
          .stop_requested = [this] { return Terminated(); },
      }) {}

void TerminalReader::Execute() {
  while (!Terminated()) {
    if (frame_reset_requested_.load()) {
      ResetFrame();
      frame_reset_requested_.store(false);
    }
    if (board_.ReadEnabled[kSlot].load() != 1) {
      Stop().Sleep(board_.Clock(), kIdlePauseMs);
      continue;
    }
    ReadStep();
  }
}

void TerminalReader::ReadStep() {
  auto byte = serial::ReadPortByte(board_, kSlot, &Stop());
  // A backlog is dropped whole rather than shown late.
  if (serial::PortBytesWaiting(board_, kSlot) > serial::kStaleInputLimit) {
    serial::PurgePort(board_, kSlot, true, true);
  }
  // An empty read carries no byte: framing the previous one again would invent traffic.
  if (byte) framer_.Feed(*byte);
}

void TerminalReader::Display() {
  // The mode the byte was just framed in; a switch pressed meanwhile clears the memo anyway.
  const int mode = board_.ProtocolMode[kSlot].load();
  workers::FrameState& state = framer_.State();
  Synchronize([this, &state, mode] {
    if (hooks_.show_traffic) hooks_.show_traffic(state, mode);
  });
}

void TerminalReader::ResetFrame() {
  workers::FrameState& state = framer_.State();
  state.InFrame = 0;
  state.FrameCount = 0;
  state.VbiTotalLength = 0;
  // A shorter frame assembled next must still find zeros behind it.
  state.SentenceBuffer.fill(0);
  state.VbiFrameBuffer.fill(0);
}

}  // namespace flashpost::terminal
