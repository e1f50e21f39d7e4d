#include "workers/framing.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace flashpost::workers {
namespace {

using Bytes = std::vector<uint8_t>;

// Drives a framer the way a reader does: bytes in, hand-overs recorded. Bytes queued with
// Queue() are what the port will return to the payload reads; an empty queue is a silent line
// that costs 100 ms of clock time per read.
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
              uint8_t b = port.front();
              port.pop_front();
              return b;
            },
            .now = [this] { return clock.Ticks(); },
            .stop_requested = [this] { return stop; },
        }) {}

  // Feeds bytes as the read step would: one Feed per byte read; the payload of a VBI frame is
  // then pulled by the framer itself from the port queue.
  void Feed(const Bytes& bytes) {
    port.insert(port.end(), bytes.begin(), bytes.end());
    while (!port.empty()) {
      uint8_t b = port.front();
      port.pop_front();
      framer_.Feed(b);
    }
  }
  void Feed(const std::string& text) { Feed(Bytes(text.begin(), text.end())); }

  int mode = 0;
  bool stop = false;
  platform::ManualClock clock;
  std::deque<uint8_t> port;
  std::vector<std::string> events;
  std::vector<std::string> sentences;
  std::vector<Bytes> frames;
  Framer& framer() { return framer_; }

 private:
  Framer framer_;
};

// A VBI frame: 0x81 0xFF, id, sub-ID, little-endian payload length, the checksum (the framing
// does not look at it), then the payload.
Bytes VbiFrame(uint8_t id, const Bytes& payload) {
  auto n = static_cast<uint16_t>(payload.size());
  Bytes f;
  f.reserve(8 + payload.size());
  for (uint8_t b : {uint8_t{0x81}, uint8_t{0xFF}, id, uint8_t{0x00}, static_cast<uint8_t>(n & 0xFF),
                    static_cast<uint8_t>(n >> 8), uint8_t{0x00}, uint8_t{0x00}}) {
    f.push_back(b);
  }
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

TEST(NmeaFramingTest, SentencesKeepTheirCarriageReturnAndLoseTheLineFeed) {
  FramerRig rig;
  rig.Feed("$GPGGA,123519,4807.038,N*47\r\n$PQRV100,A,B,5,1*00\n");
  ASSERT_EQ(rig.sentences.size(), 2u);
  EXPECT_EQ(rig.sentences[0], "$GPGGA,123519,4807.038,N*47\r");
  EXPECT_EQ(rig.sentences[1], "$PQRV100,A,B,5,1*00");
  EXPECT_EQ(rig.events, (std::vector<std::string>{"display", "sentence", "display", "sentence"}));
  EXPECT_EQ(rig.framer().State().FrameCount, 0);
  EXPECT_EQ(rig.framer().State().SentenceBuffer[0], 0) << "the buffer is cleared after use";
}

TEST(NmeaFramingTest, OtherTalkersAreDroppedUpToTheNextDollar) {
  FramerRig rig;
  rig.Feed("$GLGSV,3,1,11,65,12,034,22*60\r\n$BDGSA,A,3*00\r\n$GPGSA,A,3*00\r\n");
  ASSERT_EQ(rig.sentences.size(), 1u);
  EXPECT_EQ(rig.sentences[0], "$GPGSA,A,3*00\r");
}

TEST(NmeaFramingTest, ADollarInsideASentenceRestartsIt) {
  FramerRig rig;
  rig.Feed("$GPGGA,123519,4807.0$GPRMC,1*00\r\n");
  ASSERT_EQ(rig.sentences.size(), 1u);
  EXPECT_EQ(rig.sentences[0], "$GPRMC,1*00\r") << "older bytes behind the new sentence leaked";
}

TEST(NmeaFramingTest, ASentenceSplitAcrossReadsIsWhole) {
  FramerRig rig;
  rig.Feed("$GPG");
  rig.Feed("SA,A,3");
  EXPECT_TRUE(rig.sentences.empty());
  rig.Feed("*00\r\n");
  ASSERT_EQ(rig.sentences.size(), 1u);
  EXPECT_EQ(rig.sentences[0], "$GPGSA,A,3*00\r");
}

TEST(NmeaFramingTest, AnOverrunDropsThePartialSentenceAndResynchronises) {
  FramerRig rig;
  rig.Feed("$GP" + std::string(1500, 'x'));  // no line feed anywhere
  EXPECT_EQ(rig.framer().State().InFrame, 0);
  rig.Feed("yyy\r\n");  // the tail of the overrun is not a sentence
  EXPECT_TRUE(rig.sentences.empty());
  rig.Feed("$GPGSA,A,3*00\r\n");
  ASSERT_EQ(rig.sentences.size(), 1u);
  EXPECT_EQ(rig.sentences[0], "$GPGSA,A,3*00\r");
}

TEST(NmeaFramingTest, ALineFeedAsTheLastByteOfAFullBufferStillCompletes) {
  FramerRig rig;
  std::string body = "$GP" + std::string(kSentenceBufferSize - 4, 'z');
  rig.Feed(body + "\n");  // exactly 1024 bytes with the line feed
  ASSERT_EQ(rig.sentences.size(), 1u);
  EXPECT_EQ(rig.sentences[0], body);
}

TEST(NmeaFramingTest, VbiStartByteIsAnOrdinaryCharacterInNmeaMode) {
  FramerRig rig;
  rig.Feed("$GPTXT,\x81\x81,x*00\r\n");
  ASSERT_EQ(rig.sentences.size(), 1u);
  EXPECT_EQ(rig.sentences[0], "$GPTXT,\x81\x81,x*00\r");
  EXPECT_TRUE(rig.frames.empty());
}

TEST(VbiFramingTest, FramesWithPayloadsZeroAndThreeAreHandedOverWhole) {
  FramerRig rig;
  rig.mode = 1;
  rig.Feed(VbiFrame(0x79, {}));
  rig.Feed(VbiFrame(0x15, {0x01, 0x02, 0x03}));
  ASSERT_EQ(rig.frames.size(), 2u);
  Bytes first(rig.frames[0].begin(), rig.frames[0].begin() + 8);
  EXPECT_EQ(first, VbiFrame(0x79, {}));
  Bytes second(rig.frames[1].begin(), rig.frames[1].begin() + 11);
  EXPECT_EQ(second, VbiFrame(0x15, {0x01, 0x02, 0x03}));
  for (size_t i = 11; i < rig.frames[1].size(); ++i) ASSERT_EQ(rig.frames[1][i], 0) << i;
  EXPECT_EQ(rig.framer().State().VbiMessageCounter, 2);
  EXPECT_EQ(rig.framer().State().VbiTotalLength, 0);
  EXPECT_EQ(rig.events, (std::vector<std::string>{"display", "frame", "display", "frame"}));
}

TEST(VbiFramingTest, StartByteRestartsAHeaderButIsDataInsideAPayload) {
  FramerRig rig;
  rig.mode = 1;
  rig.Feed(Bytes{0x81, 0x15, 0x00});  // a header cut short by a new frame
  rig.Feed(VbiFrame(0x16, {0x81, 0x81, 0x24}));
  ASSERT_EQ(rig.frames.size(), 1u);
  Bytes got(rig.frames[0].begin(), rig.frames[0].begin() + 11);
  EXPECT_EQ(got, VbiFrame(0x16, {0x81, 0x81, 0x24}));
}

TEST(VbiFramingTest, DollarIsAnOrdinaryByteInVbiMode) {
  FramerRig rig;
  rig.mode = 1;
  rig.Feed(std::string("$GPGGA,1*00\r\n"));
  EXPECT_TRUE(rig.sentences.empty());
  EXPECT_TRUE(rig.frames.empty());
}

TEST(VbiFramingTest, APayloadThatFallsSilentIsDroppedAfterOneSecond) {
  FramerRig rig;
  rig.mode = 1;
  Bytes partial = VbiFrame(0x15, {0x01, 0x02, 0x03, 0x04});
  partial.resize(10);  // two payload bytes never come
  uint32_t start = rig.clock.Ticks();
  rig.Feed(partial);
  EXPECT_TRUE(rig.frames.empty());
  EXPECT_GE(rig.clock.Ticks() - start, kVbiPayloadSilenceMs);
  EXPECT_LT(rig.clock.Ticks() - start, kVbiPayloadSilenceMs + 200);
  EXPECT_EQ(rig.framer().State().InFrame, 0);
  rig.Feed(VbiFrame(0x16, {0x09}));
  ASSERT_EQ(rig.frames.size(), 1u);
  EXPECT_EQ(rig.frames[0][2], 0x16);
  EXPECT_EQ(rig.frames[0][8], 0x09);
}

TEST(VbiFramingTest, ALengthBeyondTheLimitIsDroppedAtOnce) {
  FramerRig rig;
  rig.mode = 1;
  Bytes bad{0x81, 0x15, 0x00, 0x00, 0xF8, 0x03, 0x00, 0x00};  // 1016
  rig.Feed(bad);
  rig.Feed(Bytes{0x01, 0x02});
  rig.Feed(VbiFrame(0x16, {0x07}));
  ASSERT_EQ(rig.frames.size(), 1u) << "the frame behind the bad one was swallowed";
  EXPECT_EQ(rig.frames[0][8], 0x07);

  // The longest valid payload still completes.
  Bytes longest(kMaxVbiPayload, 0x55);
  rig.Feed(VbiFrame(0x17, longest));
  ASSERT_EQ(rig.frames.size(), 2u);
  EXPECT_EQ(rig.frames[1][8 + kMaxVbiPayload - 1], 0x55);
  EXPECT_EQ(rig.frames[1][8 + kMaxVbiPayload], 0x00);
}

TEST(VbiFramingTest, AStopRequestEndsAPayloadReadAtOnce) {
  FramerRig rig;
  rig.mode = 1;
  rig.stop = true;
  Bytes partial = VbiFrame(0x15, {0x01, 0x02});
  partial.resize(8);
  uint32_t start = rig.clock.Ticks();
  rig.Feed(partial);
  EXPECT_TRUE(rig.frames.empty());
  EXPECT_EQ(rig.clock.Ticks(), start) << "no read after the stop request";
}

TEST(VbiFramingTest, TheModeIsReadAtEveryByte) {
  FramerRig rig;
  rig.Feed("$GPGSA,A,3*00\r\n");
  rig.mode = 1;
  rig.Feed(VbiFrame(0x15, {}));
  rig.mode = 0;
  rig.Feed("$PQRV200*00\r\n");
  EXPECT_EQ(rig.sentences.size(), 2u);
  EXPECT_EQ(rig.frames.size(), 1u);
}

TEST(VbiFramingTest, AFrameCutByAProtocolSwitchIsDropped) {
  FramerRig rig;
  rig.mode = 1;
  rig.Feed(Bytes{0x81, 0x15, 0x00});
  rig.mode = 0;
  rig.Feed("xyz");  // no "$": nothing restarts the open frame
  rig.mode = 1;
  rig.Feed(Bytes{0x00, 0x00});  // would complete an eight-byte header made of both
  EXPECT_TRUE(rig.frames.empty());
  rig.Feed(VbiFrame(0x16, {}));
  ASSERT_EQ(rig.frames.size(), 1u);
  EXPECT_EQ(rig.frames[0][2], 0x16);
}

}  // namespace
}  // namespace flashpost::workers
