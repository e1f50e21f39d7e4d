#include "workers/framing.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "platform/clock.h"

namespace flashpost::workers {
namespace {

// Drives a framer the way a reader does: one Feed per byte read; the payload of a VBI frame is
// pulled by the framer itself from the rest of the bytes in the port. A port with nothing left
// is a silent line that costs 100 ms of clock time per read.
class FramerRig {
 public:
  FramerRig()
      : framer_(Framer::Hooks{
            .mode = [this] { return mode; },
            .display = [this] { events.push_back("display"); },
            .sentence =
                [this](std::string_view s) {
                  events.push_back("sentence");
                  sentences.emplace_back(s);
                },
            .frame =
                [this](const uint8_t* f) {
                  events.push_back("frame");
                  frames.emplace_back(f, f + kVbiFrameBufferSize);
                },
            .read_byte = [this]() -> std::optional<uint8_t> {
              if (port.empty()) {
                clock.Advance(100);
                return std::nullopt;
              }
              const uint8_t b = port.front();
              port.pop_front();
              return b;
            },
            .now = [this] { return clock.Ticks(); },
            .stop_requested = [this] { return stop; },
        }) {}

  void Feed(const std::string& bytes) {
    port.insert(port.end(), bytes.begin(), bytes.end());
    while (!port.empty()) {
      const uint8_t b = port.front();
      port.pop_front();
      framer_.Feed(b);
    }
  }

  int mode = 0;
  bool stop = false;
  platform::ManualClock clock;
  std::deque<uint8_t> port;
  std::vector<std::string> events;
  std::vector<std::string> sentences;
  std::vector<std::string> frames;  // whole buffers
  Framer framer_;
};

// A VBI frame: 0x81 0xFF, id, sub-ID, little-endian payload length, a checksum the framing does
// not look at, then the payload.
std::string VbiFrame(char id, const std::string& payload) {
  const auto n = payload.size();
  return std::string{'\x81', '\xFF', id, 0, static_cast<char>(n & 0xFF), static_cast<char>(n >> 8),
                     0,      0} +
         payload;
}

TEST(FramingTest, ByteStreamsIntoSentencesAndFrames) {
  const std::string overrun = "$GP" + std::string(1500, 'x');  // no line feed anywhere
  const std::string full = "$GP" + std::string(kSentenceBufferSize - 4, 'z');  // 1024 with the LF
  const std::string longest = VbiFrame(0x17, std::string(kMaxVbiPayload, 0x55));
  const std::string too_long = std::string{'\x81', 0x15, 0, 0, '\xF8', 0x03, 0, 0} + "\x01\x02";
  const struct {
    std::vector<std::pair<int, std::string>> steps;  // the protocol mode, then the bytes read
    std::vector<std::string> sentences;
    std::vector<std::string> frames;  // zeros behind each in the buffer
  } cases[] = {
      // clang-format off
      // Sentences keep their CR and lose the LF.
      {{{0, "$GPGGA,123519,4807.038,N*47\r\n$PQRV100,A,B,5,1*00\n"}},
       {"$GPGGA,123519,4807.038,N*47\r", "$PQRV100,A,B,5,1*00"}},
      // Other talkers are dropped up to the next "$".
      {{{0, "$GLGSV,3,1,11,65,12,034,22*60\r\n$BDGSA,A,3*00\r\n$GPGSA,A,3*00\r\n"}},
       {"$GPGSA,A,3*00\r"}},
      // A "$" inside a sentence restarts it; no older bytes leak behind the new one.
      {{{0, "$GPGGA,123519,4807.0$GPRMC,1*00\r\n"}}, {"$GPRMC,1*00\r"}},
      {{{0, "$GPG"}, {0, "SA,A,3"}, {0, "*00\r\n"}}, {"$GPGSA,A,3*00\r"}},
      // An overrun drops the partial sentence; its tail is not a sentence.
      {{{0, overrun}, {0, "yyy\r\n$GPGSA,A,3*00\r\n"}, {0, overrun}}, {"$GPGSA,A,3*00\r"}},
      {{{0, full + "\n"}}, {full}},
      {{{0, "$GPTXT,\x81\x81,x*00\r\n"}}, {"$GPTXT,\x81\x81,x*00\r"}},
      {{{1, VbiFrame(0x79, "") + VbiFrame(0x15, "\x01\x02\x03")}}, {},
       {VbiFrame(0x79, ""), VbiFrame(0x15, "\x01\x02\x03")}},
      // The start byte restarts a header but is data inside a payload.
      {{{1, "\x81\x15"}, {1, std::string(1, 0) + VbiFrame(0x16, "\x81\x81\x24")}}, {},
       {VbiFrame(0x16, "\x81\x81\x24")}},
      {{{1, "$GPGGA,1*00\r\n"}}, {}, {}},
      // A length beyond the limit is dropped at once, not waited for; the longest one completes.
      {{{1, too_long + VbiFrame(0x16, "\x07") + longest}}, {}, {VbiFrame(0x16, "\x07"), longest}},
      // The mode is read at every byte; a frame cut by a switch is dropped, not completed by the
      // bytes after the switch back.
      {{{0, "$GPGSA,A,3*00\r\n"}, {1, VbiFrame(0x15, "")}, {0, "$PQRV200*00\r\n"}},
       {"$GPGSA,A,3*00\r", "$PQRV200*00\r"}, {VbiFrame(0x15, "")}},
      {{{1, "\x81\x15"}, {1, std::string(1, 0)}, {0, "xyz"}, {1, std::string(2, 0)},
        {1, VbiFrame(0x16, "")}}, {}, {VbiFrame(0x16, "")}},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    FramerRig rig;
    for (const auto& [mode, bytes] : c.steps) {
      rig.mode = mode;
      rig.Feed(bytes);
    }
    EXPECT_EQ(rig.sentences, c.sentences);
    ASSERT_EQ(rig.frames.size(), c.frames.size());
    for (size_t i = 0; i < c.frames.size(); ++i) {
      EXPECT_EQ(rig.frames[i].substr(0, c.frames[i].size()), c.frames[i]);
      EXPECT_EQ(rig.frames[i].find_first_not_of('\0', c.frames[i].size()), std::string::npos);
    }
    ASSERT_EQ(rig.events.size(), 2 * (c.sentences.size() + c.frames.size()));
    for (size_t i = 0; i < rig.events.size(); i += 2) EXPECT_EQ(rig.events[i], "display");
    EXPECT_EQ(rig.framer_.State().VbiMessageCounter, static_cast<int>(c.frames.size()));
    const auto& buffer = rig.framer_.State().SentenceBuffer;
    EXPECT_TRUE(std::all_of(buffer.begin(), buffer.end(), [](char b) { return b == 0; }))
        << "a hand-over or a drop leaves the sentence buffer clear";
  }
}

TEST(FramingTest, APayloadThatFallsSilentOrIsStoppedIsDropped) {
  for (bool stop : {false, true}) {
    FramerRig rig;
    rig.mode = 1;
    rig.stop = stop;
    const uint32_t start = rig.clock.Ticks();
    rig.Feed(VbiFrame(0x15, "\x01\x02\x03\x04").substr(0, 10));  // two payload bytes never come
    EXPECT_TRUE(rig.frames.empty());
    // A stop request ends the payload read at once, without a read; silence after one second.
    EXPECT_GE(rig.clock.Ticks() - start, stop ? 0 : kVbiPayloadSilenceMs);
    EXPECT_LT(rig.clock.Ticks() - start, stop ? 1 : kVbiPayloadSilenceMs + 200);
    rig.stop = false;
    rig.Feed(VbiFrame(0x16, "\x09"));
    ASSERT_EQ(rig.frames.size(), 1u);
    EXPECT_EQ(rig.frames[0].substr(0, 9), VbiFrame(0x16, "\x09"));
  }
}

}  // namespace
}  // namespace flashpost::workers
