#include "terminal/terminal_page.h"

#include <array>
#include <memory>
#include <string>

#include "protocol/nmea.h"
#include "serial/serial_port.h"
#include "terminal/show_traffic.h"
#include "terminal/terminal_reader.h"

namespace flashpost::terminal {

namespace {

constexpr int kSlot = app::kTerminalSlot;
constexpr int kNmeaMode = 0;
constexpr int kVbiMode = 1;
// The system colour of button faces, which the fix edits wear.
constexpr ui::Color kButtonFace = 0xF0F0F0;

// The receiver takes the first command of a switch, then needs this long before the second.
constexpr uint32_t kSwitchCommandGapMs = 500;
// After a switch the receiver settles before the button is worth pressing again.
constexpr uint32_t kSwitchSettleMs = 1000;
// Between clearing the read flag and closing the port, so the reader starts no new read.
constexpr uint32_t kCloseDelayMs = 50;
// How long an open waits for the last reader to leave the port.
constexpr uint32_t kReaderLeaveMs = 2000;

// Message 11 back to NMEA, in two steps: payload 29 02, then 21 02.
constexpr std::array<uint8_t, 10> kSwitchToNmeaFrame1 = {0x81, 0xFF, 0x0B, 0x00, 0x02,
                                                         0x00, 0xC8, 0xFF, 0x29, 0x02};
constexpr std::array<uint8_t, 10> kSwitchToNmeaFrame2 = {0x81, 0xFF, 0x0B, 0x00, 0x02,
                                                         0x00, 0xD0, 0xFF, 0x21, 0x02};

}  // namespace

TerminalPage::TerminalPage(ui::PageControl& pages, Context context)
    : Sheet("TerminalPage", &pages), context_(std::move(context)) {
  Sheet.SetCaption("Terminal");
  Sheet.SetGeometry({0, 0, 593, 653});

  GroupBox9.SetCaption("Com Port Setting");
  GroupBox9.SetGeometry({8, 8, 200, 170});
  ComPortLabel.SetCaption("COM Port :");
  ComPortLabel.SetGeometry({8, 20, 72, 16});
  ComboBox1.SetGeometry({84, 16, 104, 21});
  // Design-time list until the first scan; the last item has always carried trailing blanks.
  for (int n = 1; n < 40; ++n) ComboBox1.AddItem("COM" + std::to_string(n));
  ComboBox1.AddItem("COM40   ");
  ComboBox1.SetText("COM1");
  BaudRateLabel.SetCaption("Baud Rate :");
  BaudRateLabel.SetGeometry({8, 48, 72, 16});
  ComboBox2.SetGeometry({84, 44, 104, 21});
  ComboBox2.SetItems({"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"});
  ComboBox2.SetText("115200");
  ProtocolLabel.SetCaption("Protocol :");
  ProtocolLabel.SetGeometry({8, 76, 72, 16});
  ComboBox4.SetGeometry({84, 72, 104, 21});
  ComboBox4.SetItems({"NMEA", "VBI"});
  ComboBox4.SetText("NMEA");
  Button3.SetCaption("Open");
  Button3.SetGeometry({8, 104, 88, 25});
  Button6.SetCaption("Switch Protocol");
  Button6.SetGeometry({100, 104, 88, 25});
  Button5.SetCaption("Scan ComPort");
  Button5.SetGeometry({8, 136, 180, 25});
  Button3.OnClick = [this] { Button3Click(); };
  Button5.OnClick = [this] { Button5Click(); };
  Button6.OnClick = [this] { Button6Click(); };

  GroupBox15.SetCaption("Terminal");
  GroupBox15.SetGeometry({216, 8, 369, 300});
  Memo1.SetGeometry({2, 15, 365, 283});  // fills its group
  GroupBox22.SetCaption("Terminal-Thread[0] ");
  GroupBox22.SetGeometry({216, 316, 369, 200});
  Memo3.SetGeometry({2, 15, 365, 183});

  TimeDateGroup.SetCaption(" Time and Date ");
  TimeDateGroup.SetGeometry({8, 186, 200, 72});
  // Each fix group holds its rows of a caption and an edit, 26 pixels apart.
  auto place_row = [](ui::Label& label, ui::Edit& edit, int row) {
    label.SetGeometry({8, 20 + 26 * row, 76, 16});
    edit.SetGeometry({88, 16 + 26 * row, 104, 21});
  };
  TimeLabel.SetCaption("Time :");
  DateLabel.SetCaption("Date :");
  place_row(TimeLabel, Edit1, 0);
  place_row(DateLabel, Edit2, 1);
  DopGroup.SetCaption("DOP");
  DopGroup.SetGeometry({8, 262, 200, 72});
  HdopLabel.SetCaption("HDOP :");
  VdopLabel.SetCaption("VDOP :");
  place_row(HdopLabel, Edit16, 0);
  place_row(VdopLabel, Edit17, 1);
  FixModeGroup.SetCaption("Fix Mode");
  FixModeGroup.SetGeometry({8, 338, 200, 72});
  FixLabel.SetCaption("Fix :");
  ModeLabel.SetCaption("Mode: ");
  place_row(FixLabel, Edit3, 0);
  place_row(ModeLabel, Edit19, 1);
  PositionGroup.SetCaption(" Position ");
  PositionGroup.SetGeometry({8, 414, 200, 96});
  LatitudeLabel.SetCaption("Latitude :");
  LongitudeLabel.SetCaption("Longitude :");
  AltitudeLabel.SetCaption("Altitude (m) :");
  place_row(LatitudeLabel, Edit4, 0);
  place_row(LongitudeLabel, Edit5, 1);
  place_row(AltitudeLabel, Edit13, 2);
  for (ui::Edit* edit : {&Edit1, &Edit2, &Edit4, &Edit5, &Edit13}) edit->SetReadOnly(true);
  Edit3.SetText(" ");
  Edit19.SetText(" ");
  for (ui::Edit* edit : FixEdits()) edit->SetBackgroundColor(kButtonFace);

  FlashEraserGroup.SetCaption("Flash Eraser");
  FlashEraserGroup.SetGeometry({8, 518, 577, 127});
  SpeedButton3.SetCaption("Start");
  SpeedButton3.SetGeometry({8, 20, 75, 25});
  Button4.SetCaption("Stop");
  Button4.SetGeometry({88, 20, 75, 25});
  Label21.SetCaption("Press Start Button.......");
  Label21.SetGeometry({8, 56, 156, 16});
  Memo2.SetGeometry({172, 14, 397, 105});
}

std::vector<ui::Edit*> TerminalPage::FixEdits() {
  return {&Edit1, &Edit2, &Edit3, &Edit4, &Edit5, &Edit13, &Edit16, &Edit17, &Edit19};
}

void TerminalPage::ShowConnection(const char* state_text) {
  context_.status_bar.SetPanelText(0, state_text + context_.board.CurrentPortName.Get() + " / " +
                                          context_.board.CurrentBaudText.Get() + " bps");
}

void TerminalPage::Button3Click() {
  app::PortBoard& board = context_.board;
  Button3.SetEnabled(false);
  board.CurrentPortName.Set(ComboBox1.Text());
  board.CurrentBaudText.Set(ComboBox2.Text());
  board.SavedBaudText.Set(ComboBox2.Text());
  board.ProtocolMode[kSlot].store(ComboBox4.ItemIndex() == kVbiMode ? kVbiMode : kNmeaMode);

  if (board.ReadEnabled[kSlot].load() == 1) {
    board.ReadEnabled[kSlot].store(0);
    Button4.SetEnabled(true);
    SpeedButton3.SetEnabled(true);
    context_.timer1.SetTimerEnabled(false);
    ShowConnection("Not Connected : ");
    Button3.SetCaption(" Open ");
    board.Clock().Sleep(kCloseDelayMs);
    serial::ClosePort(board, kSlot);
    if (auto reader = board.TerminalReader.Get()) reader->Terminate();
  } else {
    if (serial::OpenPort(board, board.CurrentPortName.Get(), board.CurrentBaudText.Get(), kSlot) !=
        1) {
      // No label shows the terminal slot's status line: the status bar tells why.
      std::string hint = board.StatusText[kSlot].Get();
      if (std::string cause = board.OpenFailureText[kSlot].Get(); !cause.empty()) {
        hint += " " + cause;
      }
      context_.status_bar.SetPanelText(0, hint);
      Button3.SetEnabled(true);
      return;
    }
    board.ReadEnabled[kSlot].store(1);
    board.TerminalBaudText.Set(ComboBox2.Text());
    context_.timer1.SetTimerEnabled(true);
    Button4.SetEnabled(false);
    SpeedButton3.SetEnabled(false);
    ShowConnection("Connected : ");
    Button3.SetCaption(" Close ");
    Memo1.Clear();
    ResetTerminalFields();
    // Two readers on one port would split its bytes between them: the last one leaves first (a
    // stop ends its waits at once; it may be waiting for this thread to show its traffic).
    if (auto previous = board.TerminalReader.Get()) {
      previous->Terminate();
      const uint32_t start = board.Clock().Ticks();
      while (!previous->Finished() &&
             !platform::Elapsed(board.Clock().Ticks(), start, kReaderLeaveMs)) {
        context_.loop.ProcessFor(10);
      }
    }
    board.TerminalReader.Set(ui::StartThread<TerminalReader>(
        context_.loop, board,
        TerminalReader::Hooks{
            .show_traffic = [this](workers::FrameState& state,
                                   int mode) { ShowTerminalTraffic(state, mode); },
            .handle_reference_message = handle_reference_message,
        }));
  }
  Button3.SetEnabled(true);
}

void TerminalPage::Button5Click() {
  serial::ScanPorts(context_.board, {&ComboBox1});
  if (!context_.other_port_lists) return;
  // The same names, in the same order, in the other pages' lists.
  for (ui::ItemsControl* list : context_.other_port_lists()) {
    if (list) list->SetItems(ComboBox1.Items());
  }
}

void TerminalPage::Button6Click() {
  app::PortBoard& board = context_.board;
  platform::Clock& clock = board.Clock();
  Button6.SetEnabled(false);
  const bool open = board.ReadEnabled[kSlot].load() == 1;
  const int mode = board.ProtocolMode[kSlot].load();

  if (mode == kNmeaMode && open) {
    protocol::SendProprietarySentence(board, kSlot, protocol::kSwitchToVbiBody1);
    clock.Sleep(kSwitchCommandGapMs);
    protocol::SendProprietarySentence(board, kSlot, protocol::kSwitchToVbiBody2);
    board.ProtocolMode[kSlot].store(kVbiMode);
    ComboBox4.SetItemIndex(kVbiMode);
    Memo1.Clear();
    ResetTerminalFields();
    Memo1.AddLine("[ Switch to VBI Protocol ]");
    Button6.SetEnabled(true);
    clock.Sleep(kSwitchSettleMs);
    return;
  }
  if (mode == kVbiMode && open) {
    serial::WritePort(board, kSlot, kSwitchToNmeaFrame1.data(), kSwitchToNmeaFrame1.size());
    clock.Sleep(kSwitchCommandGapMs);
    serial::WritePort(board, kSlot, kSwitchToNmeaFrame2.data(), kSwitchToNmeaFrame2.size());
    board.ProtocolMode[kSlot].store(kNmeaMode);
    ComboBox4.SetItemIndex(kNmeaMode);
    ResetTerminalFields();
    Memo1.Clear();
    Memo1.AddLine("[ Switch to NMEA Protocol ]");
  }
  Button6.SetEnabled(true);
  clock.Sleep(kSwitchSettleMs);
}

void TerminalPage::ResetTerminalFields() {
  for (ui::Edit* edit : FixEdits()) {
    edit->SetBackgroundColor(kButtonFace);
    edit->SetText(" ");
  }
}

void TerminalPage::Button11Click() {
  // The framing state belongs to the reader's thread: the reader drops the frame itself.
  auto reader = std::dynamic_pointer_cast<TerminalReader>(context_.board.TerminalReader.Get());
  if (reader) reader->RequestFrameReset();
}

void TerminalPage::ShowTerminalTraffic(workers::FrameState& state, int protocol_mode) {
  ShowTraffic(Memo1, state, protocol_mode, context_.loop);
}

void TerminalPage::ShowSlotZeroTraffic(workers::FrameState& state) {
  ShowTraffic(Memo3, state, context_.board.ProtocolMode[0].load(), context_.loop);
}

}  // namespace flashpost::terminal
