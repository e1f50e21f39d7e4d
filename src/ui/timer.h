#pragma once

#include <cstdint>
#include <functional>

#include "ui/control.h"
#include "ui/main_loop.h"

namespace flashpost::ui {

// A form timer: ticks on the main thread every Interval() ms while enabled. Changing the
// interval of a running timer restarts its period.
class Timer : public Control {
 public:
  Timer(std::string name, Control* parent, MainLoop& loop);
  ~Timer() override;

  uint32_t Interval() const { return interval_; }
  void SetInterval(uint32_t ms);
  bool TimerEnabled() const { return enabled_; }
  void SetTimerEnabled(bool e);
  std::function<void()> OnTimer;

 private:
  void Reschedule();

  MainLoop& loop_;
  uint32_t interval_ = 1000;
  bool enabled_ = false;
  int timer_id_ = 0;
};

}  // namespace flashpost::ui
