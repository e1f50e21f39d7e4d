#include "terminal/show_traffic.h"

#include <cstring>
#include <string>

namespace flashpost::terminal {

namespace {
constexpr int kVbiMode = 1;
constexpr int kNmeaMode = 0;
constexpr uint8_t kAckId = 200;
constexpr uint8_t kNackId = 255;
}  // namespace

void ShowTraffic(ui::Memo& memo, workers::FrameState& state, int protocol_mode,
                 ui::MainLoop& loop) {
  if (memo.LineCount() >= kTrafficMemoLineLimit) {
    memo.Clear();
    state.VbiMessageCounter = 0;
  }

  if (protocol_mode == kVbiMode) {
    const uint8_t id = state.VbiFrameBuffer[2];
    const uint8_t sub_id = state.VbiFrameBuffer[3];
    memo.AddLine("VBIMessageCounter:" + std::to_string(state.VbiMessageCounter));
    memo.AddLine("VBIMessageLength:" + std::to_string(state.VbiTotalLength));
    switch (id) {
      case kAckId:
        memo.AddLine("VBI Msg ID 200 :");
        memo.AddLine("ACK for CMD " + std::to_string(sub_id));
        break;
      case kNackId:
        memo.AddLine("VBI Msg ID 255 :");
        memo.AddLine("NCK for CMD " + std::to_string(sub_id));
        break;
      case 141:
      case 100:
      case 121:
        memo.AddLine("VBI Msg ID " + std::to_string(id) + " :");
        break;
      default:
        memo.AddLine("VBI Msg ID :" + std::to_string(id));
        break;
    }
    memo.AddLine("\n");
  } else if (protocol_mode == kNmeaMode) {
    // The reader zeroes the line feed, so the sentence ends at the first NUL; a buffer without
    // one is still read only within its bounds.
    const auto& buffer = state.SentenceBuffer;
    memo.AddLine(std::string(buffer.data(), strnlen(buffer.data(), buffer.size())));
  }

  loop.ProcessPending();
}

}  // namespace flashpost::terminal
