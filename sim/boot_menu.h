#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "sim/module_options.h"

namespace flashpost::sim {

// The module's boot code between a reset and the firmware, at 115200.
//
// It prints a banner that starts with a run of 'Z' (the boot code's sync bytes) and keeps a boot
// window open. A space within the window opens the menu; the menu stays until it is answered and
// is printed again for every further space (the boot code redraws it on any key it does not
// take). '0' chooses "erase": the boot code lists its questions at once, each on a line that
// begins with 'E' and holding no other 'E', and takes one answer per question in their order:
// 'y' erases that area, 'n' keeps it. After the last answer the firmware starts, as it does when
// the window ends without a space.
class BootCode {
 public:
  // The areas the erase questions name, in the order they are asked.
  static constexpr const char* kAreaFirmware = "firmware";
  static constexpr const char* kAreaSettings = "settings";
  static constexpr const char* kAreaCalibration = "calibration";

  // The reset happened at `tick`.
  BootCode(BootMenuKind kind, uint32_t tick, uint32_t window_ms);

  // What the boot code prints on starting (nothing for kSilent).
  std::string Banner() const;
  // A byte heard at 115200; returns what the boot code prints in answer.
  std::string Receive(uint32_t tick, uint8_t b);
  // True once the firmware is due to start.
  bool Finished(uint32_t tick) const;
  // Milliseconds until Finished may change on its own.
  uint32_t IdleFor(uint32_t tick) const;

  bool MenuShown() const { return menu_shown_; }
  // The areas erased so far, in the order they were confirmed.
  const std::vector<std::string>& Erased() const { return erased_; }
  // How many 'y' answers confirmed a question.
  int Confirmations() const { return static_cast<int>(erased_.size()); }

 private:
  enum class State { kWindow, kMenu, kQuestions, kDone };

  std::string Menu();

  const BootMenuKind kind_;
  const uint32_t window_end_;
  State state_ = State::kWindow;
  size_t question_ = 0;  // the next unanswered question while state_ is kQuestions
  bool menu_shown_ = false;
  std::vector<std::string> erased_;
};

}  // namespace flashpost::sim
