// Arbitrary bytes through the receive framing in both protocol modes: the first input byte picks
// the mode switches, the rest is the line. Checks what every hand-over must hold.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "workers/framing.h"

using flashpost::workers::Framer;
using flashpost::workers::kMaxVbiPayload;
using flashpost::workers::kSentenceBufferSize;
using flashpost::workers::kVbiFrameBufferSize;
using flashpost::workers::kVbiHeaderLength;

namespace {

// The line one input plays: its bytes, how far the framer has read them, the protocol switch and
// the clock the framer sees.
struct Line {
  const uint8_t* data = nullptr;
  size_t size = 0;
  size_t next = 0;
  uint32_t now = 0;
  int mode = 0;
};

// One framer for the process, its hooks reading whichever line is being played.
Framer MakeFramer(Line& line) {
  return Framer(Framer::Hooks{
      .mode = [&line] { return line.mode; },
      .display = [] {},
      .sentence =
          [](std::string_view s) {
            if (s.empty() || s[0] != '$' || s.size() >= kSentenceBufferSize) std::abort();
            if (s.find('\n') != std::string_view::npos) std::abort();
            if (!(s.substr(0, 3) == "$GP" || s.substr(0, 3) == "$PQ" || s.size() < 3)) {
              std::abort();
            }
          },
      .frame =
          [](const uint8_t* f) {
            if (f[0] != 0x81) std::abort();
            const int length = f[4] | (f[5] << 8);
            if (length > kMaxVbiPayload) std::abort();
            for (int i = kVbiHeaderLength + length; i < kVbiFrameBufferSize; ++i) {
              if (f[i] != 0) std::abort();  // zeros behind the frame
            }
          },
      .read_byte = [&line]() -> std::optional<uint8_t> {
        if (line.next >= line.size) {
          line.now += 100;  // silent line: a read time-out
          return std::nullopt;
        }
        return line.data[line.next++];
      },
      .now = [&line] { return line.now; },
      .stop_requested = [] { return false; },
  });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  static Line line;
  static Framer framer = MakeFramer(line);
  // A fresh receive state is a fresh framer: the mode a frame began in is only read while a frame
  // is open, and every frame opens by setting it.
  framer.State() = {};
  const uint8_t mode_pattern = data[0];
  line = Line{.data = data, .size = size, .next = 1, .now = 0, .mode = mode_pattern & 1};
  size_t fed = 0;
  while (line.next < size) {
    // Switch modes now and then, as the terminal's protocol switch does.
    if (++fed % 97 == 0) line.mode = (mode_pattern >> ((fed / 97) % 8)) & 1;
    framer.Feed(data[line.next++]);
    const auto& st = framer.State();
    if (st.FrameCount < 0 || st.FrameCount > kVbiFrameBufferSize) std::abort();
  }
  return 0;
}
