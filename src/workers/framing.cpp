#include "workers/framing.h"

#include <cstring>

#include "platform/clock.h"

namespace flashpost::workers {

namespace {
constexpr int kNmeaMode = 0;
constexpr int kVbiMode = 1;
// Header bytes are stored one at a time; more than this means the frame never found its end.
constexpr int kVbiAccumulatorLimit = 1016;

bool HasAcceptedPrefix(const std::array<char, kSentenceBufferSize>& s) {
  return s[0] == '$' && ((s[1] == 'G' && s[2] == 'P') || (s[1] == 'P' && s[2] == 'Q'));
}
}  // namespace

void Framer::Feed(uint8_t byte) {
  state_.RxByte = byte;

  // The two accumulators share the byte count: a frame begun in one protocol and continued in
  // the other would be handed over as a mix of both.
  if (state_.InFrame == 1 && hooks_.mode() != frame_mode_) DropFrame();

  if ((byte == kNmeaStart && hooks_.mode() == kNmeaMode) ||
      (byte == kVbiStart && hooks_.mode() == kVbiMode)) {
    state_.InFrame = 1;
    state_.FrameCount = 0;
    frame_mode_ = hooks_.mode();
  }

  if (state_.InFrame == 1 && hooks_.mode() == kVbiMode && state_.VbiFrameComplete == 0) {
    AccumulateVbi(byte);
  }

  if (state_.InFrame == 1 && hooks_.mode() == kNmeaMode) AccumulateNmea(byte);

  if (byte == '\n' && state_.InFrame == 1 && state_.SentenceAccepted == 1 &&
      hooks_.mode() == kNmeaMode) {
    HandOverSentence();
  }

  if (hooks_.mode() == kVbiMode && state_.VbiFrameComplete == 1) HandOverFrame();
}

void Framer::AccumulateVbi(uint8_t byte) {
  if (state_.FrameCount >= kVbiAccumulatorLimit) {
    DropFrame();
    return;
  }
  state_.VbiFrameBuffer[state_.FrameCount++] = byte;
  if (state_.FrameCount == 5) {
    state_.VbiPayloadLength = state_.VbiFrameBuffer[4];
  } else if (state_.FrameCount == 6) {
    state_.VbiPayloadLength =
        static_cast<uint16_t>(state_.VbiPayloadLength | (state_.VbiFrameBuffer[5] << 8));
    state_.VbiTotalLength = state_.VbiPayloadLength + kVbiHeaderLength;
  } else if (state_.FrameCount == kVbiHeaderLength) {
    if (state_.VbiPayloadLength > kMaxVbiPayload) {
      // No valid frame is that long: waiting for its end would only swallow the frames behind it.
      DropFrame();
    } else if (state_.VbiPayloadLength == 0 || ReadVbiPayload()) {
      state_.VbiFrameComplete = 1;
      ++state_.VbiMessageCounter;
    }
  }
}

bool Framer::ReadVbiPayload() {
  for (int i = 0; i < state_.VbiPayloadLength; ++i) {
    const uint32_t waiting_since = hooks_.now();
    while (true) {
      if (hooks_.stop_requested()) {
        DropFrame();
        return false;
      }
      if (auto byte = hooks_.read_byte()) {
        // Payload bytes are taken as they come: a 0x81 here is data, not a new frame.
        state_.VbiFrameBuffer[state_.FrameCount++] = *byte;
        break;
      }
      if (platform::Elapsed(hooks_.now(), waiting_since, kVbiPayloadSilenceMs)) {
        DropFrame();
        return false;
      }
    }
  }
  return true;
}

void Framer::AccumulateNmea(uint8_t byte) {
  if (state_.FrameCount >= kSentenceBufferSize) {
    // No line feed within a whole buffer: not a sentence. Wait for the next "$".
    DropFrame();
    return;
  }
  state_.SentenceBuffer[state_.FrameCount++] = static_cast<char>(byte);
  if (state_.FrameCount == 3) {
    if (HasAcceptedPrefix(state_.SentenceBuffer)) {
      state_.SentenceAccepted = 1;
    } else {
      state_.InFrame = 0;
      state_.SentenceAccepted = 0;
    }
  }
}

void Framer::DropFrame() {
  state_.InFrame = 0;
  state_.FrameCount = 0;
  state_.VbiTotalLength = 0;
  state_.SentenceBuffer.fill(0);
  state_.VbiFrameBuffer.fill(0);
}

void Framer::HandOverSentence() {
  auto& buffer = state_.SentenceBuffer;
  const int lf = state_.FrameCount - 1;  // the line feed was just stored
  buffer[lf] = 0;
  if (lf + 1 < kSentenceBufferSize) buffer[lf + 1] = 0;
  if (buffer[0] == '$' && hooks_.display) hooks_.display();
  state_.InFrame = 0;
  state_.FrameCount = 0;
  // A "$" that restarted the sentence leaves older bytes further on; the zeroed line feed ends it.
  std::string_view sentence(buffer.data(), strnlen(buffer.data(), buffer.size()));
  if (hooks_.sentence) hooks_.sentence(sentence);
  buffer.fill(0);
}

void Framer::HandOverFrame() {
  if (hooks_.display) hooks_.display();
  state_.VbiFrameComplete = 0;
  state_.InFrame = 0;
  state_.FrameCount = 0;
  state_.VbiTotalLength = 0;
  if (hooks_.frame) hooks_.frame(state_.VbiFrameBuffer.data());
  state_.VbiFrameBuffer.fill(0);
}

}  // namespace flashpost::workers
