#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "board/port_board.h"
#include "ui/control.h"
#include "ui/main_loop.h"
#include "ui/timer.h"

namespace flashpost::terminal {

// What the eraser's ticks need of the terminal port.
class EraserPort {
 public:
  virtual ~EraserPort() = default;
  virtual size_t BytesWaiting() = 0;
  virtual void DiscardInput() = 0;
  // Up to n bytes; fewer, or none, once the port's read time-out has passed.
  virtual size_t Read(uint8_t* buffer, size_t n) = 0;
  // The boot menu takes its keys one at a time; whether a key went out is not checked.
  virtual void Write(uint8_t key) = 0;
};

// What one tick wants shown.
struct EraserTickResult {
  std::optional<std::string> caption;    // for Label21
  std::optional<std::string> memo_text;  // replaces Memo2, as the module printed it
  bool finished = false;                 // the erase item has been confirmed; time to let go
};

// The eraser's five states, one step per 100 ms tick: wait for the module's power-up output
// (its 'Z' bytes), wake the boot menu with five spaces, read the menu until it shows its '='
// rule lines, choose item '0', and confirm each question the module asks with 'y'. No I/O of
// its own: the port is handed to every tick.
class EraserMachine {
 public:
  // Received bytes are taken in chunks of at most this many; a longer backlog is dropped.
  static constexpr size_t kChunkSize = 1024;

  enum State : int {
    kWaitingForModule = 0,
    kWakingBootMenu = 1,
    kReadingMenu = 2,
    kChoosingErase = 3,
    kFinishing = 4,
  };

  // Start: back to waiting for the module.
  void Restart();
  // Stop.
  void ClearRound() { round_ = 0; }

  EraserTickResult Tick(EraserPort& port);

  int EraserState() const { return state_; }
  int32_t EraserRound() const { return round_; }
  int EraserZCount() const { return z_count_; }
  int EraserEqCount() const { return eq_count_; }
  // The questions of the boot code confirmed with 'y' in this run.
  int EraserConfirmations() const { return confirmations_; }

 private:
  EraserTickResult WaitForModule(EraserPort& port);
  EraserTickResult WakeBootMenu(EraserPort& port);
  EraserTickResult ReadMenu(EraserPort& port);
  EraserTickResult ChooseErase(EraserPort& port);
  EraserTickResult Finish();
  void NextRound();

  int state_ = kWaitingForModule;
  int32_t round_ = 0;
  int z_count_ = 0;
  int eq_count_ = 0;
  int confirmations_ = 0;
};

// The flash eraser of the terminal page's "Flash Eraser" group: Start (SpeedButton3) opens the
// terminal port at 115200 and lets Timer3 drive the machine above; Stop (Button4) ends it from
// any state. It takes the two buttons' clicks and Timer3's tick; it must be destroyed before the
// controls it is given. Everything runs on the main thread.
class FlashEraser {
 public:
  struct Context {
    app::PortBoard& board;
    ui::MainLoop& loop;         // the main thread's, where every handler runs
    ui::Timer& timer3;          // the 100 ms tick
    ui::StatusBar& status_bar;  // its first panel tells the connection
    ui::Button& speed_button3;  // Start
    ui::Button& button4;        // Stop
    ui::Label& label21;         // progress caption
    ui::Memo& memo2;            // what the module printed
    ui::ComboBox& combo_box1;   // the terminal page's port choice
    ui::Button& mcd_start;      // the multi-port page's Start (Button1)
    ui::Button& mcd_stop;       // the multi-port page's Stop (Button7)
  };

  explicit FlashEraser(Context context);
  ~FlashEraser();
  FlashEraser(const FlashEraser&) = delete;
  FlashEraser& operator=(const FlashEraser&) = delete;

  void SpeedButton3Click();  // Start
  void Button4Click();       // Stop
  void Timer3Timer();

  int EraserState() const { return machine_.EraserState(); }
  int32_t EraserRound() const { return machine_.EraserRound(); }
  int EraserZCount() const { return machine_.EraserZCount(); }
  int EraserEqCount() const { return machine_.EraserEqCount(); }
  int EraserConfirmations() const { return machine_.EraserConfirmations(); }

 private:
  void ShowConnection(const std::string& state_text, const std::string& baud_text);
  void ShowInMemo2(const std::string& text);
  void LetGoOfPort();

  Context context_;
  EraserMachine machine_;
};

}  // namespace flashpost::terminal
