#include "ui/timer.h"

namespace flashpost::ui {

Timer::Timer(std::string name, Control* parent, MainLoop& loop)
    : Control(std::move(name), parent), loop_(loop) {}

Timer::~Timer() {
  // The loop keeps the tick alive while it runs, but must not call into a freed timer later.
  if (timer_id_ != 0) loop_.StopTimer(timer_id_);
}

void Timer::SetInterval(uint32_t ms) {
  if (interval_ == ms) return;
  interval_ = ms;
  Changed("interval");
  if (enabled_) Reschedule();
}

void Timer::SetTimerEnabled(bool e) {
  if (enabled_ == e) return;
  enabled_ = e;
  Changed("enabled");
  Reschedule();
}

void Timer::Reschedule() {
  if (timer_id_ != 0) {
    loop_.StopTimer(timer_id_);
    timer_id_ = 0;
  }
  // Interval 0 means stopped, as on the desktop.
  if (enabled_ && interval_ > 0) {
    timer_id_ = loop_.StartTimer(interval_, [this] {
      if (OnTimer) OnTimer();
    });
  }
}

}  // namespace flashpost::ui
