// The terminal reader and `flashpost terminal` on real pseudo-terminals: a test playing the
// receiver on a pty master, and the simulated module.
#include <gtest/gtest.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "app/application.h"
#include "cli/terminal_command.h"
#include "e2e/cli_test_support.h"
#include "platform/pty.h"
#include "serial/serial_port.h"
#include "sim/simulated_module.h"
#include "terminal/terminal_reader.h"
#include "ui/headless_loop.h"

namespace flashpost {
namespace {

using Lines = std::vector<std::string>;
constexpr int kSlot = app::kTerminalSlot;

std::string Contents(std::FILE* f) {
  std::rewind(f);
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  return text;
}

class TerminalReaderPtyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.ok());
    page_.handle_reference_message = [this](const uint8_t* frame) {
      std::lock_guard lock(frames_mutex_);  // the reader's thread
      frames_.push_back(std::vector<uint8_t>(frame, frame + 16));
    };
  }
  void TearDown() override { application_.Close(); }

  void Open(int protocol_index) {
    page_.ComboBox1.SetText(pty_.SlavePath());
    page_.ComboBox2.SetText("9600");
    page_.ComboBox4.SetItemIndex(protocol_index);
    page_.Button3.Click();
    ASSERT_EQ(board_.ReadEnabled[kSlot].load(), 1);
  }
  bool WaitForLines(size_t n) {
    return loop_.RunUntil([&] { return page_.Memo1.Lines().size() >= n; }, 5'000);
  }

  platform::SystemClock clock_;
  ui::HeadlessLoop loop_{clock_};
  std::unique_ptr<platform::SerialSystem> host_ = platform::MakeHostSerialSystem();
  app::Application application_{clock_, *host_, loop_};
  app::PortBoard& board_ = application_.Board();
  terminal::TerminalPage& page_ = application_.Form().TerminalPage;
  platform::PseudoTerminal pty_;
  std::vector<std::vector<uint8_t>> Frames() {
    std::lock_guard lock(frames_mutex_);
    return frames_;
  }

  std::mutex frames_mutex_;
  std::vector<std::vector<uint8_t>> frames_;
};

TEST_F(TerminalReaderPtyTest, ABadChecksumIsShownButNotParsed) {
  Open(0);
  ASSERT_TRUE(pty_.Send("$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*00\r\n"));
  ASSERT_TRUE(WaitForLines(1));
  EXPECT_EQ(page_.Memo1.Lines()[0], "$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*00\r");
  EXPECT_EQ(board_.FixType[kSlot].load(), 0);

  // Another talker is dropped; a good sentence is shown and taken.
  ASSERT_TRUE(pty_.Send("$GLGSA,A,3*00\r\n$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*39\r\n"));
  ASSERT_TRUE(loop_.RunUntil([&] { return board_.FixType[kSlot].load() == 3; }, 5'000));
  EXPECT_EQ(page_.Memo1.Lines(), (Lines{"$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*00\r",
                                        "$GPGSA,A,3,04,05,,09,12,,,24,,,,,2.5,1.3,2.1*39\r"}));
}

TEST_F(TerminalReaderPtyTest, VbiFramesAreShownAndHandedToTheReferenceHandler) {
  Open(1);
  // Message 121 with a 3-byte payload, then an acknowledgement of message 21.
  ASSERT_TRUE(pty_.Send(
      std::vector<uint8_t>{0x81, 0xFF, 0x79, 0x00, 0x03, 0x00, 0x00, 0x00, 0x81, 0x60, 0x07}));
  ASSERT_TRUE(pty_.Send(std::vector<uint8_t>{0x81, 0xFF, 0xC8, 0x15, 0x00, 0x00, 0x00, 0x00}));
  ASSERT_TRUE(WaitForLines(9));
  EXPECT_EQ(page_.Memo1.Lines(),
            (Lines{"VBIMessageCounter:1", "VBIMessageLength:11", "VBI Msg ID 121 :", "\n",
                   "VBIMessageCounter:2", "VBIMessageLength:8",
                   "VBI Msg ID 200 :", "ACK for CMD 21", "\n"}));
  ASSERT_TRUE(loop_.RunUntil([&] { return Frames().size() == 2; }, 5'000));
  auto frames = Frames();
  EXPECT_EQ(frames[0], (std::vector<uint8_t>{0x81, 0xFF, 0x79, 0x00, 0x03, 0x00, 0x00, 0x00, 0x81,
                                             0x60, 0x07, 0, 0, 0, 0, 0}))
      << "a 0x81 in the payload is data; zeros follow the frame";
  EXPECT_EQ(frames[1][2], 0xC8);
}

TEST_F(TerminalReaderPtyTest, AnOverlongSentenceIsDroppedAndReadingGoesOn) {
  Open(0);
  // In pieces: a backlog beyond the purge limit would be thrown away unread.
  ASSERT_TRUE(pty_.Send("$GP"));
  for (int piece = 0; piece < 4; ++piece) {
    ASSERT_TRUE(pty_.Send(std::string(275, 'x')));
    ASSERT_TRUE(
        loop_.RunUntil([&] { return serial::PortBytesWaiting(board_, kSlot) == 0; }, 5'000));
  }
  // Sent until one gets through, in case the line's own buffering still made a backlog above.
  bool shown = false;
  for (int attempt = 0; attempt < 10 && !shown; ++attempt) {
    ASSERT_TRUE(pty_.Send("\r\n$GPGGA,1*00\r\n"));
    shown = loop_.RunUntil([&] { return page_.Memo1.LineCount() >= 1; }, 500);
  }
  ASSERT_TRUE(shown) << "the reader ended at the overrun";
  EXPECT_EQ(page_.Memo1.Lines()[0], "$GPGGA,1*00\r");
}

TEST_F(TerminalReaderPtyTest, Button11DropsThePartlyAssembledSentence) {
  Open(0);
  ASSERT_TRUE(pty_.Send("$GPGSA,A,3,04"));
  ASSERT_TRUE(loop_.RunUntil([&] { return serial::PortBytesWaiting(board_, kSlot) == 0; }, 5'000));
  loop_.RunFor(150);  // the last byte is framed by now
  ASSERT_EQ(serial::PortBytesWaiting(board_, kSlot), 0u);
  page_.Button11Click();
  auto reader = std::dynamic_pointer_cast<terminal::TerminalReader>(board_.TerminalReader.Get());
  ASSERT_TRUE(reader);
  ASSERT_TRUE(loop_.RunUntil([&] { return !reader->FrameResetPending(); }, 5'000));
  ASSERT_TRUE(pty_.Send(",05*00\r\n$GPGGA,2*00\r\n"));
  ASSERT_TRUE(WaitForLines(1));
  loop_.RunFor(100);
  EXPECT_EQ(page_.Memo1.Lines(), Lines{"$GPGGA,2*00\r"});
}

TEST(TerminalCommandTest, PrintsTheLiveLinesForTheGivenSecondsAndExitsZero) {
  platform::ScaledClock clock(5.0);
  sim::SimulatedModule module(sim::ModuleOptions{}, clock);
  ASSERT_TRUE(module.ok());
  module.Start();
  testing::ListedPorts serial({module.PortPath()});
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ASSERT_TRUE(out && err);

  cli::TerminalOptions options;
  options.port = module.PortPath();
  options.baud = "9600";
  options.seconds = 5;
  const uint32_t start = clock.Ticks();
  EXPECT_EQ(cli::RunTerminal(options, clock, serial, out, err), 0);
  // The seconds asked for, not a second more for the close.
  EXPECT_GE(clock.Ticks() - start, 5000u);
  EXPECT_LT(clock.Ticks() - start, 6000u);
  const std::string printed = Contents(out);
  EXPECT_NE(printed.find("$GPGSA,"), std::string::npos) << printed;
  EXPECT_EQ(printed.find('\r'), std::string::npos);
  EXPECT_NE(Contents(err).find("Connected : " + module.PortPath() + " / 9600 bps"),
            std::string::npos);
  std::fclose(out);
  std::fclose(err);

  // A listed port that does not open fails the station.
  testing::ListedPorts missing({"/dev/no-such-port"});
  out = std::tmpfile();
  err = std::tmpfile();
  options.port = "/dev/no-such-port";
  EXPECT_EQ(cli::RunTerminal(options, clock, missing, out, err), 3);
  EXPECT_NE(Contents(err).find("Cannot open /dev/no-such-port port !"), std::string::npos);
  EXPECT_EQ(Contents(out), "");
  std::fclose(out);
  std::fclose(err);
}

}  // namespace
}  // namespace flashpost
