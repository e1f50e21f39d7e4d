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

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  const uint8_t mode_pattern = data[0];
  size_t next = 1;
  size_t fed = 0;
  uint32_t now = 0;
  int mode = mode_pattern & 1;
  Framer framer(Framer::Hooks{
      .mode = [&] { return mode; },
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
      .read_byte = [&]() -> std::optional<uint8_t> {
        if (next >= size) {
          now += 100;  // silent line: a read time-out
          return std::nullopt;
        }
        return data[next++];
      },
      .now = [&] { return now; },
      .stop_requested = [] { return false; },
  });
  while (next < size) {
    // Switch modes now and then, as the terminal's protocol switch does.
    if (++fed % 97 == 0) mode = (mode_pattern >> ((fed / 97) % 8)) & 1;
    framer.Feed(data[next++]);
    const auto& st = framer.State();
    if (st.FrameCount < 0 || st.FrameCount > kVbiFrameBufferSize) std::abort();
  }
  return 0;
}
