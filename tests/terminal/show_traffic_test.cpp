#include "terminal/show_traffic.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "ui/headless_loop.h"

namespace flashpost {
namespace {

using Lines = std::vector<std::string>;

class ShowTrafficTest : public ::testing::Test {
 protected:
  // A frame as the reader hands it over: header in the buffer, zeros behind it.
  void HandOverFrame(uint8_t id, uint8_t sub_id, int payload_length) {
    state_.VbiFrameBuffer.fill(0);
    state_.VbiFrameBuffer[0] = 0x81;
    state_.VbiFrameBuffer[1] = 0xFF;
    state_.VbiFrameBuffer[2] = id;
    state_.VbiFrameBuffer[3] = sub_id;
    state_.VbiTotalLength = payload_length + 8;
    ++state_.VbiMessageCounter;
  }

  platform::ManualClock clock_;
  ui::HeadlessLoop loop_{clock_};
  ui::Form form_{"Form"};
  ui::Memo memo_{"Memo1", &form_};
  workers::FrameState state_;
};

TEST_F(ShowTrafficTest, EachVbiIdentifierGetsItsLines) {
  struct Case {
    uint8_t id, sub_id;
    Lines id_lines;
  };
  const Case cases[] = {
      {200, 21, {"VBI Msg ID 200 :", "ACK for CMD 21"}},
      {255, 41, {"VBI Msg ID 255 :", "NCK for CMD 41"}},
      {141, 0, {"VBI Msg ID 141 :"}},
      {100, 0, {"VBI Msg ID 100 :"}},
      {121, 0, {"VBI Msg ID 121 :"}},
      {120, 0, {"VBI Msg ID :120"}},
      {7, 3, {"VBI Msg ID :7"}},
  };
  for (const auto& c : cases) {
    memo_.Clear();
    HandOverFrame(c.id, c.sub_id, 117);
    terminal::ShowTraffic(memo_, state_, 1, loop_);
    Lines expected = {"VBIMessageCounter:" + std::to_string(state_.VbiMessageCounter),
                      "VBIMessageLength:125"};
    expected.insert(expected.end(), c.id_lines.begin(), c.id_lines.end());
    expected.push_back("\n");
    EXPECT_EQ(memo_.Lines(), expected) << int(c.id);
  }
}

TEST_F(ShowTrafficTest, ASentenceIsOneLineWithItsCarriageReturn) {
  const char text[] = "$GPGGA,123519,4807.038,N\r";
  std::memcpy(state_.SentenceBuffer.data(), text, sizeof text);
  terminal::ShowTraffic(memo_, state_, 0, loop_);
  EXPECT_EQ(memo_.Lines(), Lines{"$GPGGA,123519,4807.038,N\r"});

  // A buffer with no terminator at all is read within its size.
  state_.SentenceBuffer.fill('A');
  terminal::ShowTraffic(memo_, state_, 0, loop_);
  ASSERT_EQ(memo_.LineCount(), 2);
  EXPECT_EQ(memo_.Lines()[1].size(), state_.SentenceBuffer.size());
}

TEST_F(ShowTrafficTest, AFullMemoIsClearedAndTheCounterStartsAgain) {
  for (int i = 0; i < 499; ++i) memo_.AddLine("x");
  state_.VbiMessageCounter = 77;
  HandOverFrame(121, 0, 0);
  terminal::ShowTraffic(memo_, state_, 1, loop_);
  EXPECT_EQ(memo_.LineCount(), 499 + 4) << "below the limit nothing is cleared";
  EXPECT_EQ(memo_.Lines()[499], "VBIMessageCounter:78");

  HandOverFrame(121, 0, 0);
  terminal::ShowTraffic(memo_, state_, 1, loop_);
  EXPECT_EQ(memo_.Lines(),
            (Lines{"VBIMessageCounter:0", "VBIMessageLength:8", "VBI Msg ID 121 :", "\n"}));
  EXPECT_EQ(state_.VbiMessageCounter, 0);
}

TEST_F(ShowTrafficTest, PendingMainThreadWorkRunsBeforeTheReaderGoesOn) {
  bool ran = false;
  loop_.Post([&] { ran = true; });
  std::strcpy(state_.SentenceBuffer.data(), "$GPGSA");
  terminal::ShowTraffic(memo_, state_, 0, loop_);
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace flashpost
