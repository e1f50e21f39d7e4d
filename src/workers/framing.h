#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

namespace flashpost::workers {

inline constexpr int kSentenceBufferSize = 1024;
inline constexpr int kVbiFrameBufferSize = 1200;
inline constexpr int kVbiHeaderLength = 8;
// Payload lengths 0..1015 are valid, so a whole frame is at most 1023 bytes.
inline constexpr int kMaxVbiPayload = 1015;
// A VBI payload that stops arriving for this long is dropped.
inline constexpr uint32_t kVbiPayloadSilenceMs = 1000;
inline constexpr uint8_t kNmeaStart = '$';
inline constexpr uint8_t kVbiStart = 0x81;

// The receive state of one reader (a slot worker or the terminal reader). Private to its reader,
// except while the reader waits in its display call: then the main thread may read it and reset
// VbiMessageCounter.
struct FrameState {
  uint8_t RxByte = 0;
  int32_t FrameCount = 0;
  int32_t InFrame = 0;
  int32_t SentenceAccepted = 0;
  int32_t VbiFrameComplete = 0;
  uint16_t VbiPayloadLength = 0;
  int32_t VbiTotalLength = 0;
  int32_t VbiMessageCounter = 0;
  std::array<uint8_t, kVbiFrameBufferSize> VbiFrameBuffer{};
  std::array<char, kSentenceBufferSize> SentenceBuffer{};
};

// Cuts a byte stream into NMEA sentences ("$GP" and "$PQ" only) or VBI frames (start byte
// 0x81, length in header bytes 4 and 5), depending on the protocol mode read at every byte.
// Has no I/O of its own: the reader feeds it each byte it read, and it calls back for the
// display, the hand-over and, inside a VBI payload, for the further payload bytes.
class Framer {
 public:
  struct Hooks {
    // The slot's protocol mode: 0 NMEA, 1 VBI.
    std::function<int()> mode;
    // Runs before each hand-over (a synchronous call onto the main thread in the workers).
    std::function<void()> display;
    // A complete sentence: starts with "$", line feed removed, carriage return kept.
    std::function<void(std::string_view sentence)> sentence;
    // A complete frame: the whole 1200-byte buffer, the frame from offset 0, zeros behind it.
    std::function<void(const uint8_t* frame)> frame;
    // Reads one payload byte; nothing when the read timed out.
    std::function<std::optional<uint8_t>()> read_byte;
    // Clock ticks in ms, for the payload silence limit.
    std::function<uint32_t()> now;
    // True once the reader has been asked to stop; ends a payload read early.
    std::function<bool()> stop_requested;
  };

  explicit Framer(Hooks hooks) : hooks_(std::move(hooks)) {}

  // Frames one byte that a read returned. A read that returned nothing must not be fed.
  void Feed(uint8_t byte);

  FrameState& State() { return state_; }
  const FrameState& State() const { return state_; }

 private:
  void AccumulateVbi(uint8_t byte);
  void AccumulateNmea(uint8_t byte);
  // Reads the payload behind a complete header; false when it was dropped.
  bool ReadVbiPayload();
  void DropFrame();
  void HandOverSentence();
  void HandOverFrame();

  Hooks hooks_;
  FrameState state_;
  int frame_mode_ = 0;  // the protocol mode the open frame began in
};

}  // namespace flashpost::workers
