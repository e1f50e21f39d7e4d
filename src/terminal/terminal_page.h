#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "board/port_board.h"
#include "ui/control.h"
#include "ui/main_loop.h"
#include "ui/timer.h"
#include "workers/framing.h"

namespace flashpost::terminal {

// The terminal page ("Terminal"): opens one receiver on a port of the operator's choice (the
// terminal slot, also the test pages' reference receiver), shows its traffic in Memo1 through a
// reader thread, and switches it between NMEA and VBI. It also shows slot 0's traffic in Memo3
// and hosts the flash eraser's controls.
class TerminalPage {
 public:
  struct Context {
    app::PortBoard& board;
    ui::MainLoop& loop;
    ui::Timer& timer1;
    ui::StatusBar& status_bar;  // its first panel tells the connection
    // The other pages' port lists that "Scan ComPort" fills as well, ahead of ComboBox1.
    std::function<std::vector<ui::ItemsControl*>()> other_port_lists;
  };

  TerminalPage(ui::PageControl& pages, Context context);

  void Button3Click();  // Open / Close
  void Button5Click();  // Scan ComPort
  void Button6Click();  // Switch Protocol
  // Blanks the nine fix edits.
  void ResetTerminalFields();
  // Drops the sentence or frame the terminal reader is assembling (the multi-port page's
  // Button11).
  void Button11Click();

  // The display of a hand-over of the terminal reader, in Memo1.
  void ShowTerminalTraffic(workers::FrameState& state, int protocol_mode);
  // The display of a hand-over of slot 0's worker, in Memo3.
  void ShowSlotZeroTraffic(workers::FrameState& state);

  // Each complete VBI frame the reference receiver sends (the 1200-byte buffer); taken by every
  // reader when it starts. Empty: frames are only shown.
  std::function<void(const uint8_t* frame)> handle_reference_message;

  ui::TabSheet Sheet;

  ui::GroupBox GroupBox9{"GroupBox9", &Sheet};  // "Com Port Setting"
  ui::Label ComPortLabel{"ComPortLabel", &GroupBox9};
  ui::ComboBox ComboBox1{"ComboBox1", &GroupBox9};  // port
  ui::Label BaudRateLabel{"BaudRateLabel", &GroupBox9};
  ui::ComboBox ComboBox2{"ComboBox2", &GroupBox9};  // baud
  ui::Label ProtocolLabel{"ProtocolLabel", &GroupBox9};
  ui::ComboBox ComboBox4{"ComboBox4", &GroupBox9};  // 0 NMEA, 1 VBI
  ui::Button Button3{"Button3", &GroupBox9};        // Open / Close
  ui::Button Button6{"Button6", &GroupBox9};        // Switch Protocol
  ui::Button Button5{"Button5", &GroupBox9};        // Scan ComPort

  ui::GroupBox GroupBox15{"GroupBox15", &Sheet};  // "Terminal"
  ui::Memo Memo1{"Memo1", &GroupBox15};
  ui::GroupBox GroupBox22{"GroupBox22", &Sheet};  // "Terminal-Thread[0] "
  ui::Memo Memo3{"Memo3", &GroupBox22};

  ui::GroupBox TimeDateGroup{"TimeDateGroup", &Sheet};  // " Time and Date "
  ui::Label TimeLabel{"TimeLabel", &TimeDateGroup};
  ui::Edit Edit1{"Edit1", &TimeDateGroup};
  ui::Label DateLabel{"DateLabel", &TimeDateGroup};
  ui::Edit Edit2{"Edit2", &TimeDateGroup};
  ui::GroupBox DopGroup{"DopGroup", &Sheet};  // "DOP"
  ui::Label HdopLabel{"HdopLabel", &DopGroup};
  ui::Edit Edit16{"Edit16", &DopGroup};
  ui::Label VdopLabel{"VdopLabel", &DopGroup};
  ui::Edit Edit17{"Edit17", &DopGroup};
  ui::GroupBox FixModeGroup{"FixModeGroup", &Sheet};  // "Fix Mode"
  ui::Label FixLabel{"FixLabel", &FixModeGroup};
  ui::Edit Edit3{"Edit3", &FixModeGroup};
  ui::Label ModeLabel{"ModeLabel", &FixModeGroup};
  ui::Edit Edit19{"Edit19", &FixModeGroup};
  ui::GroupBox PositionGroup{"PositionGroup", &Sheet};  // " Position "
  ui::Label LatitudeLabel{"LatitudeLabel", &PositionGroup};
  ui::Edit Edit4{"Edit4", &PositionGroup};
  ui::Label LongitudeLabel{"LongitudeLabel", &PositionGroup};
  ui::Edit Edit5{"Edit5", &PositionGroup};
  ui::Label AltitudeLabel{"AltitudeLabel", &PositionGroup};
  ui::Edit Edit13{"Edit13", &PositionGroup};

  // The flash eraser's controls; its state machine drives them.
  ui::GroupBox FlashEraserGroup{"FlashEraserGroup", &Sheet};   // "Flash Eraser"
  ui::Button SpeedButton3{"SpeedButton3", &FlashEraserGroup};  // Start
  ui::Button Button4{"Button4", &FlashEraserGroup};            // Stop
  ui::Label Label21{"Label21", &FlashEraserGroup};
  ui::Memo Memo2{"Memo2", &FlashEraserGroup};

  // The nine edits that ResetTerminalFields blanks.
  std::vector<ui::Edit*> FixEdits();

 private:
  void ShowConnection(const char* state_text);

  Context context_;
};

}  // namespace flashpost::terminal
