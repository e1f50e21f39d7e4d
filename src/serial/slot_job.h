#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "board/port_board.h"
#include "ui/stop_signal.h"

namespace flashpost::serial {

// One procedure's hold on a slot: the board and the slot it works on, and the stop request of the
// worker that runs it. Once the slot is asked to stop, every pause and port wait returns at once,
// and nothing more of the procedure reaches the slot's status line or port: the one who stopped
// the slot owns it from then on.
class SlotJob {
 public:
  SlotJob(app::PortBoard& board, int slot, const ui::StopSignal& stop)
      : board_(board), slot_(slot), stop_(stop) {}

  app::PortBoard& Board() const { return board_; }
  int Slot() const { return slot_; }

  bool Stopped() const { return stop_.Requested(); }
  // Sleeps ms of the board's clock; false as soon as the slot is asked to stop.
  bool Pause(uint32_t ms) const { return stop_.Sleep(board_.Clock(), ms); }

  // Runs a step that writes the slot's state, unless the slot has been stopped; true when it ran.
  template <class Step>
  bool UnlessStopped(Step&& step) const {
    return stop_.UnlessStopped(std::forward<Step>(step));
  }

  // The slot's status line: colour and text together, the colour alone, the text alone.
  void Show(uint32_t color, const std::string& text) const;
  void ShowColor(uint32_t color) const;
  void ShowText(const std::string& text) const;
  void SetProgress(int32_t percent) const;

  // Opens the slot's port: false when the slot has been stopped (nothing is opened then) or the
  // open failed (the status line tells why).
  bool Open(const std::string& port_name, const std::string& baud_text) const;
  // Moves the open port to another speed, keeping what has arrived; false when stopped or
  // refused (the status line tells why).
  bool SetSpeed(const std::string& baud_text) const;
  // Closes the slot's port when it is open, unless the slot has been stopped.
  void CloseIfOpen() const;
  // The slot holds an open port; once it is closed, reads only return a silent line.
  bool PortOpen() const;

  // One byte from the slot's port within the read time-out.
  std::optional<uint8_t> ReadByte() const;
  // Every byte in one write; false when stopped, without a port, or when the write failed. A
  // stop that comes during the write ends it (a stalled line cannot hold the stop up), and once
  // the stop has returned no byte of it goes out.
  bool Write(const uint8_t* data, size_t n) const;
  bool Write(std::string_view text) const;

 private:
  app::PortBoard& board_;
  const int slot_;
  const ui::StopSignal& stop_;
};

}  // namespace flashpost::serial
