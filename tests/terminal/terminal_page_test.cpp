// The terminal page's handlers on fake ports, with a clock that moves only when told.
#include "terminal/terminal_page.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/main_form.h"
#include "support/fake_serial.h"
#include "terminal/terminal_reader.h"
#include "ui/headless_loop.h"

namespace flashpost {
namespace {

using Lines = std::vector<std::string>;
constexpr int kSlot = app::kTerminalSlot;
const std::string kPort = "/dev/ttyUSB1";

class TerminalPageTest : public ::testing::Test {
 protected:
  // Opens kPort at 9600 through the page, as the operator would.
  void Open(int protocol_index = 0) {
    page_.ComboBox1.SetText(kPort);
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
  std::vector<testing::FakePortLog::Write> Writes() { return fake_.Log(kPort)->Writes(); }

  platform::ManualClock clock_;
  ui::HeadlessLoop loop_{clock_};
  testing::FakeSerialSystem fake_{{"/dev/ttyUSB0", kPort}};
  app::PortBoard board_{clock_, fake_};
  app::TMainForm form_{board_, loop_};
  terminal::TerminalPage& page_ = form_.TerminalPage;
};

TEST_F(TerminalPageTest, ThePageStartsWithItsDesignTimeContents) {
  EXPECT_EQ(form_.PageControl1.Pages()[0], &page_.Sheet);
  EXPECT_EQ(page_.Sheet.Caption(), "Terminal");
  EXPECT_EQ(page_.GroupBox9.Caption(), "Com Port Setting");
  EXPECT_EQ(page_.GroupBox15.Caption(), "Terminal");
  EXPECT_EQ(page_.GroupBox22.Caption(), "Terminal-Thread[0] ");
  ASSERT_EQ(page_.ComboBox1.Items().size(), 40u);
  EXPECT_EQ(page_.ComboBox1.Items().front(), "COM1");
  EXPECT_EQ(page_.ComboBox1.Items()[38], "COM39");
  EXPECT_NE(page_.ComboBox1.Items()[39], "COM40");
  EXPECT_EQ(page_.ComboBox1.Items()[39].substr(0, 5), "COM40");
  EXPECT_EQ(page_.ComboBox1.Text(), "COM1");
  EXPECT_EQ(page_.ComboBox2.Text(), "115200");
  EXPECT_EQ(page_.ComboBox2.ItemIndex(), 7);
  EXPECT_EQ(page_.ComboBox4.Items(), (Lines{"NMEA", "VBI"}));
  EXPECT_EQ(page_.ComboBox4.ItemIndex(), 0);
  EXPECT_EQ(page_.Button3.Caption(), "Open");
  EXPECT_EQ(page_.Button6.Caption(), "Switch Protocol");
  EXPECT_EQ(page_.Button5.Caption(), "Scan ComPort");
  EXPECT_EQ(page_.Edit3.Text(), " ");
  EXPECT_EQ(page_.Edit19.Text(), " ");
  EXPECT_TRUE(page_.Edit1.ReadOnly());
  EXPECT_TRUE(page_.Edit13.ReadOnly());
  EXPECT_FALSE(page_.Edit16.ReadOnly());
  EXPECT_EQ(form_.Find("SpeedButton3"), &page_.SpeedButton3);
}

TEST_F(TerminalPageTest, OpenAndCloseShowTheConnectionAndHandTheEraserItsButtons) {
  for (ui::Edit* edit : page_.FixEdits()) edit->SetText("12:34");
  page_.Memo1.AddLine("old traffic");
  Open();

  EXPECT_EQ(form_.StatusBar1.PanelAt(0).text, "Connected : /dev/ttyUSB1 / 9600 bps");
  EXPECT_EQ(page_.Button3.Caption(), " Close ");
  EXPECT_TRUE(page_.Button3.Enabled());
  EXPECT_TRUE(form_.Timer1.TimerEnabled());
  EXPECT_FALSE(page_.Button4.Enabled());
  EXPECT_FALSE(page_.SpeedButton3.Enabled());
  EXPECT_EQ(page_.Memo1.LineCount(), 0);
  for (ui::Edit* edit : page_.FixEdits()) {
    EXPECT_EQ(edit->Text(), " ") << edit->Name();
    EXPECT_EQ(edit->BackgroundColor(), 0xF0F0F0u) << edit->Name();
  }
  EXPECT_EQ(board_.CurrentPortName.Get(), kPort);
  EXPECT_EQ(board_.SavedBaudText.Get(), "9600");
  EXPECT_EQ(fake_.Log(kPort)->baud.load(), 9600u);
  auto reader = board_.TerminalReader.Get();
  ASSERT_TRUE(reader);

  page_.Button3.Click();
  EXPECT_EQ(form_.StatusBar1.PanelAt(0).text, "Not Connected : /dev/ttyUSB1 / 9600 bps");
  EXPECT_EQ(page_.Button3.Caption(), " Open ");
  EXPECT_FALSE(form_.Timer1.TimerEnabled());
  EXPECT_TRUE(page_.Button4.Enabled());
  EXPECT_TRUE(page_.SpeedButton3.Enabled());
  EXPECT_EQ(board_.ReadEnabled[kSlot].load(), 0);
  EXPECT_EQ(fake_.Log(kPort)->closes.load(), 1);
  EXPECT_TRUE(reader->Terminated());
  reader->WaitFor();

  // Opening again starts a new reader on the same port.
  Open();
  EXPECT_NE(board_.TerminalReader.Get(), reader);
  EXPECT_EQ(fake_.Log(kPort)->opens.load(), 2);
}

TEST_F(TerminalPageTest, APortThatWillNotOpenLeavesThePageClosed) {
  page_.ComboBox1.SetText("COM7");
  page_.Button3.Click();
  EXPECT_EQ(board_.ReadEnabled[kSlot].load(), 0);
  EXPECT_EQ(board_.StatusText[kSlot].Get(), "Cannot open COM7 port !");
  EXPECT_EQ(page_.Button3.Caption(), "Open");
  EXPECT_TRUE(page_.Button3.Enabled());
  EXPECT_FALSE(form_.Timer1.TimerEnabled());
  EXPECT_TRUE(page_.SpeedButton3.Enabled());
  EXPECT_EQ(form_.StatusBar1.PanelAt(0).text, "Cannot open COM7 port !")
      << "the status bar tells why";
  EXPECT_FALSE(board_.TerminalReader.Get());
}

TEST_F(TerminalPageTest, OpeningWithVbiSelectedFramesVbiAndSendsNothing) {
  Open(/*protocol_index=*/1);
  EXPECT_EQ(board_.ProtocolMode[kSlot].load(), 1);
  StopReader();
  EXPECT_TRUE(Writes().empty());
}

TEST_F(TerminalPageTest, SwitchProtocolGoesToVbiAndBack) {
  Open();
  StopReader();
  page_.Memo1.AddLine("$GPGSA,old");
  page_.Edit4.SetText("4807.038");

  uint32_t pressed = clock_.Ticks();
  page_.Button6.Click();
  auto writes = Writes();
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].bytes, "$PQRV11,1,1,1,2,0*1A\r\n");
  EXPECT_EQ(writes[1].bytes, "$PQRV11,1,0,1,2,0*1B\r\n");
  EXPECT_EQ(writes[1].tick - writes[0].tick, 500u);
  EXPECT_EQ(clock_.Ticks() - pressed, 1500u) << "500 ms between the commands, then 1000 ms";
  EXPECT_EQ(page_.Memo1.Lines(), Lines{"[ Switch to VBI Protocol ]"});
  EXPECT_EQ(page_.Edit4.Text(), " ");
  EXPECT_EQ(page_.ComboBox4.ItemIndex(), 1);
  EXPECT_EQ(page_.ComboBox4.Text(), "VBI");
  EXPECT_EQ(board_.ProtocolMode[kSlot].load(), 1);
  EXPECT_TRUE(page_.Button6.Enabled());

  pressed = clock_.Ticks();
  page_.Button6.Click();
  writes = Writes();
  ASSERT_EQ(writes.size(), 4u);
  EXPECT_EQ(writes[2].bytes, std::string("\x81\xFF\x0B\x00\x02\x00\xC8\xFF\x29\x02", 10));
  EXPECT_EQ(writes[3].bytes, std::string("\x81\xFF\x0B\x00\x02\x00\xD0\xFF\x21\x02", 10));
  EXPECT_EQ(writes[3].tick - writes[2].tick, 500u);
  EXPECT_EQ(clock_.Ticks() - pressed, 1500u);
  EXPECT_EQ(page_.Memo1.Lines(), Lines{"[ Switch to NMEA Protocol ]"});
  EXPECT_EQ(page_.ComboBox4.ItemIndex(), 0);
  EXPECT_EQ(page_.ComboBox4.Text(), "NMEA");
  EXPECT_EQ(board_.ProtocolMode[kSlot].load(), 0);
  EXPECT_TRUE(page_.Button6.Enabled());
}

TEST_F(TerminalPageTest, SwitchProtocolOnAClosedPortSendsNothingAndWaitsASecond) {
  Open();
  page_.Button3.Click();  // closed again
  board_.TerminalReader.Get()->WaitFor();
  page_.Memo1.AddLine("kept");
  const uint32_t pressed = clock_.Ticks();
  page_.Button6.Click();
  EXPECT_TRUE(Writes().empty());
  EXPECT_EQ(clock_.Ticks() - pressed, 1000u);
  EXPECT_EQ(page_.Memo1.Lines(), Lines{"kept"});
  EXPECT_EQ(page_.ComboBox4.ItemIndex(), 0);
  EXPECT_TRUE(page_.Button6.Enabled());
}

TEST_F(TerminalPageTest, ScanComPortFillsTheThreeLists) {
  form_.CnoPage.CheckListBox1.AddItem("COM99");
  page_.Button5.Click();
  const Lines ports = {"/dev/ttyUSB0", kPort};
  EXPECT_EQ(page_.ComboBox1.Items(), ports);
  EXPECT_EQ(form_.CnoPage.CheckListBox1.Items(), ports);
  EXPECT_EQ(form_.McdPage.ComPortList.Items(), ports);
  EXPECT_EQ(board_.PortsFound.load(), 2);
}

TEST_F(TerminalPageTest, SlotZeroTrafficGoesToTheWorkersMemo) {
  ASSERT_TRUE(form_.Procedures.ShowTraffic);
  workers::FrameState state;
  std::string sentence = "$PQRV14,5,1,3,12*00\r";
  std::copy(sentence.begin(), sentence.end(), state.SentenceBuffer.begin());
  form_.Procedures.ShowTraffic(state);
  EXPECT_EQ(page_.Memo3.Lines(), Lines{sentence});
  EXPECT_EQ(page_.Memo1.LineCount(), 0);

  board_.ProtocolMode[0] = 1;
  board_.ProtocolMode[kSlot] = 0;
  state.VbiFrameBuffer[2] = 100;
  state.VbiTotalLength = 20;
  form_.Procedures.ShowTraffic(state);
  EXPECT_EQ(page_.Memo3.Lines()[2], "VBIMessageLength:20") << "slot 0's own protocol decides";
}

}  // namespace
}  // namespace flashpost
