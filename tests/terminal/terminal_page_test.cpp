// The terminal page and the flash eraser on fake ports, with a clock that moves only when told.
#include "terminal/terminal_page.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "app/main_form.h"
#include "conformance/loop_suite.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"
#include "terminal/flash_eraser.h"
#include "terminal/show_traffic.h"
#include "ui/headless_loop.h"

GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(LoopSuite);  // here for its FunctionThread only

namespace flashpost {
namespace {

using namespace std::string_literals;
using Lines = std::vector<std::string>;
using State = terminal::EraserMachine::State;
constexpr int kSlot = app::kTerminalSlot;
const std::string kPort = "/dev/ttyUSB1";

Lines Split(const std::string& text) {
  Lines pieces(1);
  for (char c : text) c == '|' ? void(pieces.emplace_back()) : pieces.back().push_back(c);
  return pieces;
}

class TerminalPageTest : public ::testing::Test {
 protected:
  TerminalPageTest() {
    page_.ComboBox1.SetText(kPort);
    board_.CurrentBaudText.Set("9600");  // the terminal page's last speed
  }
  void Open(int protocol_index = 0) {
    page_.ComboBox2.SetText("9600");
    page_.ComboBox4.SetItemIndex(protocol_index);
    page_.Button3.Click();
    ASSERT_EQ(board_.ReadEnabled[kSlot].load(), 1);
  }
  // The fake port gives no bytes; with the reader gone nothing else moves the clock.
  void StopReader() {
    auto reader = board_.TerminalReader.Get();
    ASSERT_TRUE(reader);
    reader->Terminate();
    reader->WaitFor();
  }
  std::string Panel() { return form_.StatusBar1.PanelAt(0).text; }

  void Tick(const std::string& arrived = "") {
    module_.Send(arrived);
    eraser_.Timer3Timer();
  }
  // The eraser started, and ticked on a module that behaves until the machine is in the state.
  void DriveTo(int state) {
    eraser_.SpeedButton3Click();
    ASSERT_TRUE(form_.Timer3.TimerEnabled());
    if (state >= State::kWakingBootMenu) Tick("ZZZZZZ");
    while (state >= State::kReadingMenu && eraser_.EraserState() == State::kWakingBootMenu) Tick();
    if (state >= State::kChoosingErase) Tick("=====\r\n0) Erase\r\n=====\r\n");
    if (state >= State::kFinishing) Tick();
    ASSERT_EQ(eraser_.EraserState(), state);
  }
  std::string Caption() { return page_.Label21.Caption(); }
  void ExpectEraserGone(bool mcd_stop) {
    EXPECT_FALSE(form_.Timer3.TimerEnabled());
    EXPECT_TRUE(form_.McdPage.Button1.Enabled());
    EXPECT_EQ(form_.McdPage.Button7.Enabled(), mcd_stop);
    EXPECT_EQ(board_.ReadEnabled[kSlot].load(), 0);
    EXPECT_EQ(module_.closes.load(), module_.opens.load());
    EXPECT_EQ(Panel(), "Not Connected : /dev/ttyUSB1 / 115200 bps");
  }

  platform::ManualClock clock_;
  ui::HeadlessLoop loop_{clock_};
  testing::FakeSerialSystem fake_{{"/dev/ttyUSB0", kPort}};
  testing::FakePortLog& module_ = *fake_.Log(kPort);
  app::PortBoard board_{clock_, fake_};
  app::TMainForm form_{board_, loop_};
  terminal::TerminalPage& page_ = form_.TerminalPage;
  terminal::FlashEraser& eraser_ = form_.Eraser;
};

TEST_F(TerminalPageTest, OpenAndCloseShowTheConnectionAndHandTheEraserItsButtons) {
  // At start the page shows a protocol, the one that Open uses.
  const ui::ComboBox& protocol = page_.ComboBox4;
  ASSERT_GE(protocol.ItemIndex(), 0);
  EXPECT_EQ(protocol.Text(), protocol.Items().at(protocol.ItemIndex()));
  for (ui::Edit* edit : page_.FixEdits()) edit->SetText("12:34");
  page_.Memo1.AddLine("old traffic");
  Open();
  EXPECT_EQ(Panel(), "Connected : /dev/ttyUSB1 / 9600 bps");
  EXPECT_TRUE(form_.Timer1.TimerEnabled());
  EXPECT_FALSE(page_.Button4.Enabled());
  EXPECT_FALSE(page_.SpeedButton3.Enabled());
  EXPECT_EQ(page_.Memo1.LineCount(), 0);
  EXPECT_EQ(page_.FixEdits().back()->Text(), " ");
  auto reader = board_.TerminalReader.Get();
  ASSERT_TRUE(reader);

  page_.Button3.Click();
  EXPECT_EQ(Panel(), "Not Connected : /dev/ttyUSB1 / 9600 bps");
  EXPECT_FALSE(form_.Timer1.TimerEnabled());
  EXPECT_TRUE(page_.Button4.Enabled());
  EXPECT_EQ(board_.ReadEnabled[kSlot].load(), 0);
  EXPECT_EQ(module_.closes.load(), 1);
  EXPECT_TRUE(reader->Terminated());
  reader->WaitFor();

  // Opening again starts a new reader on the same port; with VBI chosen it sends nothing.
  Open(1);
  EXPECT_NE(board_.TerminalReader.Get(), reader);
  StopReader();
  EXPECT_TRUE(module_.Writes().empty());
}

TEST_F(TerminalPageTest, APortThatWillNotOpenLeavesThePageAndTheEraserClosed) {
  page_.ComboBox1.SetText("COM7");
  page_.Button3.Click();
  EXPECT_FALSE(form_.Timer1.TimerEnabled());
  EXPECT_EQ(Panel(), "Cannot open COM7 port !") << "the status bar tells why";
  EXPECT_TRUE(page_.Button3.Enabled()) << "the operator may try again";

  form_.StatusBar1.SetPanelText(0, "");
  eraser_.SpeedButton3Click();
  EXPECT_FALSE(form_.Timer3.TimerEnabled());
  EXPECT_EQ(Panel(), "Cannot open COM7 port !");
}

TEST_F(TerminalPageTest, SwitchProtocolGoesToVbiAndBack) {
  Open();
  StopReader();
  page_.Edit4.SetText("4807.038");
  const std::string steps[][3] = {
      {"$PQRV11,1,1,1,2,0*1A\r\n", "$PQRV11,1,0,1,2,0*1B\r\n", "[ Switch to VBI Protocol ]"},
      {"\x81\xFF\x0B\x00\x02\x00\xC8\xFF\x29\x02"s, "\x81\xFF\x0B\x00\x02\x00\xD0\xFF\x21\x02"s,
       "[ Switch to NMEA Protocol ]"}};
  int mode = 1;
  for (const auto& step : steps) {
    page_.Memo1.AddLine("$GPGSA,old");
    const size_t sent = module_.Writes().size();
    const uint32_t pressed = clock_.Ticks();
    page_.Button6.Click();
    auto writes = module_.Writes();
    ASSERT_EQ(writes.size(), sent + 2);
    EXPECT_EQ(writes[sent].bytes, step[0]);
    EXPECT_EQ(writes[sent + 1].bytes, step[1]);
    EXPECT_EQ(writes[sent + 1].tick - writes[sent].tick, 500u);
    EXPECT_EQ(clock_.Ticks() - pressed, 1500u) << "500 ms between the commands, then 1000 ms";
    EXPECT_EQ(page_.Memo1.Lines(), Lines{step[2]});
    EXPECT_EQ(page_.ComboBox4.ItemIndex(), mode);
    EXPECT_EQ(board_.ProtocolMode[kSlot].load(), mode--);
  }
  EXPECT_EQ(page_.Edit4.Text(), " ");

  // On a closed port: nothing sent, a second's wait, the memo kept.
  page_.Button3.Click();
  page_.Memo1.AddLine("kept");
  const uint32_t pressed = clock_.Ticks();
  page_.Button6.Click();
  EXPECT_EQ(module_.Writes().size(), 4u);
  EXPECT_EQ(clock_.Ticks() - pressed, 1000u);
  EXPECT_EQ(page_.Memo1.Lines(), (Lines{"[ Switch to NMEA Protocol ]", "kept"}));
}

TEST_F(TerminalPageTest, SlotZeroTrafficGoesToItsMemoFramedBySlotZerosProtocol) {
  workers::FrameState state;
  std::string sentence = "$PQRV14,5,1,3,12*00\r";
  std::copy(sentence.begin(), sentence.end(), state.SentenceBuffer.begin());
  form_.Procedures.ShowTraffic(state);
  EXPECT_EQ(page_.Memo3.Lines(), Lines{sentence});
  board_.ProtocolMode[0] = 1;
  board_.ProtocolMode[kSlot] = 0;
  state.VbiFrameBuffer[2] = 100;
  state.VbiTotalLength = 20;
  form_.Procedures.ShowTraffic(state);
  EXPECT_EQ(page_.Memo3.Lines()[2], "VBIMessageLength:20") << "slot 0's own protocol decides";
}

TEST_F(TerminalPageTest, TheEraserOpensTheTerminalPortAt115200AndStopsTheReader) {
  auto reader = ui::StartThread<conformance::FunctionThread>(loop_, [](auto& self) {
    while (!self.Terminated()) std::this_thread::yield();
  });
  board_.TerminalReader.Set(reader);
  page_.Memo2.AddLine("last run");
  page_.SpeedButton3.Click();
  EXPECT_TRUE(reader->Terminated());
  reader->WaitFor();
  EXPECT_EQ(Caption(), " Send command then into Kernel mode");
  EXPECT_EQ(page_.Memo2.Lines(), Lines{" "});
  EXPECT_EQ(Panel(), "Connected : /dev/ttyUSB1 / 115200 bps");
  EXPECT_FALSE(form_.McdPage.Button1.Enabled());

  // The timer's tick is the eraser's; a second Start keeps the open port and starts over.
  module_.Send("ZZZZZ");
  form_.Timer3.OnTimer();
  EXPECT_EQ(eraser_.EraserZCount(), 5);
  page_.SpeedButton3.Click();
  EXPECT_EQ(module_.opens.load(), 1);
  EXPECT_EQ(eraser_.EraserZCount(), 0);
  EXPECT_EQ(board_.SavedBaudText.Get(), "115200");
}

// From a state, the bytes that arrive at each tick ('|' between ticks) and the module's answer to
// a key the machine writes: where the machine goes, what it writes, says and shows.
TEST_F(TerminalPageTest, TheEraserInEachStateOnTheBytesThatArrive) {
  struct Row {
    int from;
    std::string ticks, key, answer;
    int to;
    std::string written, caption, memo;
  };
  using enum terminal::EraserMachine::State;
  const Row rows[] = {
      // Power-up 'Z's count across ticks until six have come; other bytes do not count.
      {kWaitingForModule, "xZZ\r||Z.ZZ|Z", "", "", kWakingBootMenu, "", " Got connection!  ", " "},
      // Five, then silence: the machine waits for as long as it runs.
      {kWaitingForModule, "ZZZZZ" + std::string(50, '|'), "", "", kWaitingForModule, "",
       " Please connect your module!  ", " "},
      // Five spaces, one per tick, wake the boot menu.
      {kWakingBootMenu, "|||", "", "", kWakingBootMenu, "    ", "Sending Space Key!  ", " "},
      {kWakingBootMenu, "||||", "", "", kReadingMenu, "     ", "Sending Space Key!  ", " "},
      // Four rules on one read choose erase; the text ends at its first NUL.
      {kReadingMenu, "==\r\n0) Erase flash\r\n==\r\n\0garbage"s, "", "", kChoosingErase, " ",
       " Into Manual Select!(NG)", "==|0) Erase flash|=="},
      // A menu read never takes the answer to its own space.
      {kReadingMenu, "ab", " ", "====", kReadingMenu, " ", " Try to get 3th data!(NG)", "ab"},
      // Three reads without the menu, and no fourth even of a good menu.
      {kReadingMenu, "=== 1|=== 2|=== 3|====|", "", "", kReadingMenu, "   ",
       " Try to get 3th data!(NG)", "=== 3"},
      // Every question after the erase item gets a 'y', read as long as what was waiting (10).
      {kChoosingErase, "menu echo!", "0", "Erase? E\r\n", kFinishing, "0yy", " Send 'y' Key!(NG)",
       "Erase? E"},
      {kChoosingErase, "menu echo!|", "0", "Erase? E\r\n", kFinishing, "0yy", " Finished!(OK) ",
       "Erase? E"},
      // A run that confirmed nothing erased nothing.
      {kChoosingErase, "|", "", "", kFinishing, "0", " Nothing was erased!(NG) ", ""},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.caption + row.ticks);
    DriveTo(row.from);
    const std::string before = module_.Written();
    if (!row.key.empty()) module_.AnswerTo(row.key, row.answer);
    for (const std::string& bytes : Split(row.ticks)) Tick(bytes);
    EXPECT_EQ(eraser_.EraserState(), row.to);
    EXPECT_EQ(module_.Written().substr(before.size()), row.written);
    EXPECT_EQ(Caption(), row.caption);
    EXPECT_EQ(page_.Memo2.Lines(), row.memo.empty() ? Lines{} : Split(row.memo));
    if (row.from < row.to && row.to == State::kWakingBootMenu) {
      EXPECT_EQ(eraser_.EraserRound(), 1) << "the rounds count afresh in the new state";
    }
    if (row.ticks == "|") ExpectEraserGone(false);  // the end of a run lets go of the port
    // Stop gives everything back in any state.
    page_.Button4.SetEnabled(false);
    eraser_.Button4Click();
    ExpectEraserGone(true);
    EXPECT_TRUE(page_.Button4.Enabled());
    EXPECT_EQ(eraser_.EraserRound(), 0);
    EXPECT_EQ(Caption(), " Starting.....");
  }
}

TEST_F(TerminalPageTest, TheEraserWaitsForTheQuestionsNoLongerThanTheReadTimeOut) {
  DriveTo(State::kChoosingErase);
  module_.AnswerTo("0", "E");
  const uint32_t before = clock_.Ticks();
  Tick("1234");
  EXPECT_EQ(clock_.Ticks() - before, serial::kReadTimeoutMs);
  EXPECT_EQ(module_.Written().back(), 'y');
  EXPECT_EQ(module_.last_read_size, 4u);

  // Reads of nothing do not wait at all, nor does a port closed under the machine.
  DriveTo(State::kChoosingErase);
  const uint32_t idle = clock_.Ticks();
  Tick();
  DriveTo(State::kWaitingForModule);
  serial::ClosePort(board_, kSlot);  // as a slot stop would
  for (int n = 0; n < 10; ++n) Tick();
  EXPECT_EQ(clock_.Ticks(), idle);
}

// Only the module's backlog goes: the keys the machine itself has sent stay on their way.
TEST_F(TerminalPageTest, TheEraserDropsABacklogOver1024BytesAndEndsTheTick) {
  for (int state : {State::kWaitingForModule, State::kReadingMenu, State::kChoosingErase}) {
    SCOPED_TRACE(state);
    DriveTo(state);
    const std::string caption = Caption();
    const std::string written = module_.Written();
    const int32_t round = eraser_.EraserRound();
    const int purges = module_.rx_purges.load();
    Tick(std::string(1025, state == State::kWaitingForModule ? 'Z' : '='));
    EXPECT_EQ(module_.rx_purges.load(), purges + 1);
    EXPECT_EQ(module_.tx_purges.load(), 0);
    EXPECT_EQ(eraser_.EraserState(), state);
    EXPECT_EQ(eraser_.EraserRound(), round);
    EXPECT_EQ(eraser_.EraserZCount(), state == State::kWaitingForModule ? 0 : 6);
    EXPECT_EQ(Caption(), caption);
    EXPECT_EQ(module_.Written(), written);
    eraser_.Button4Click();
  }
  // 1024 is a whole chunk, scanned to its last byte.
  DriveTo(State::kWaitingForModule);
  Tick(std::string(1018, '.') + "ZZZZZZ");
  EXPECT_EQ(eraser_.EraserState(), State::kWakingBootMenu);
}

// A frame as the reader hands it over (zeros behind it) gets its counter, length and id's lines.
TEST_F(TerminalPageTest, TrafficLinesForEachVbiIdentifierAndSentences) {
  workers::FrameState state;
  auto show_frame = [&](uint8_t id, uint8_t sub_id, int payload_length) {
    state.VbiFrameBuffer.fill(0);
    std::ranges::copy(std::initializer_list<uint8_t>{0x81, 0xFF, id, sub_id},
                      state.VbiFrameBuffer.begin());
    state.VbiTotalLength = payload_length + 8;
    ++state.VbiMessageCounter;
    terminal::ShowTraffic(page_.Memo1, state, 1, loop_);
  };
  const std::tuple<uint8_t, uint8_t, std::string> rows[] = {
      {200, 21, "VBI Msg ID 200 :|ACK for CMD 21"},
      {255, 41, "VBI Msg ID 255 :|NCK for CMD 41"},
      {141, 0, "VBI Msg ID 141 :"},
      {100, 0, "VBI Msg ID 100 :"},
      {121, 0, "VBI Msg ID 121 :"},
      {120, 0, "VBI Msg ID :120"}};
  for (const auto& [id, sub_id, lines] : rows) {
    page_.Memo1.Clear();
    show_frame(id, sub_id, 117);
    EXPECT_EQ(page_.Memo1.Lines(),
              Split("VBIMessageCounter:" + std::to_string(state.VbiMessageCounter) +
                    "|VBIMessageLength:125|" + lines + "|\n"));
  }
  // A memo with 500 lines is full: it is cleared and the counter starts again; 499 is not.
  page_.Memo1.Clear();
  for (int i = 0; i < 496; ++i) page_.Memo1.AddLine("x");
  show_frame(121, 0, 0);
  EXPECT_EQ(page_.Memo1.LineCount(), 500);
  show_frame(121, 0, 0);
  EXPECT_EQ(page_.Memo1.Lines(),
            Split("VBIMessageCounter:0|VBIMessageLength:8|VBI Msg ID 121 :|\n"));

  // A sentence is one line with its carriage return; pending main-thread work runs first.
  bool ran = false;
  loop_.Post([&] { ran = true; });
  const char text[] = "$GPGGA,123519,4807.038,N\r";
  std::copy(text, text + sizeof text, state.SentenceBuffer.begin());
  terminal::ShowTraffic(page_.Memo1, state, 0, loop_);
  EXPECT_EQ(page_.Memo1.Lines().back(), text);
  EXPECT_TRUE(ran);
}

}  // namespace
}  // namespace flashpost
