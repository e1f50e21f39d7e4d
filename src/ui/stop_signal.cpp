#include "ui/stop_signal.h"

namespace flashpost::ui {

void StopSignal::Request() {
  // A step may be stuck in a port write (a line that takes no more bytes): it gives way once
  // told, and only then can the step end and the lock be had.
  give_up_.store(true);
  {
    std::lock_guard lock(steps_);
    requested_.store(true);
  }
  std::lock_guard lock(sleep_mutex_);
  woken_.notify_all();
}

bool StopSignal::Sleep(platform::Clock& clock, uint32_t ms) const {
  if (ms == 0) return !requested_.load();
  std::unique_lock lock(sleep_mutex_);
  if (woken_.wait_for(lock, clock.RealDuration(ms), [this] { return requested_.load(); })) {
    return false;
  }
  lock.unlock();
  clock.AfterTimedWait(ms);
  return !requested_.load();
}

}  // namespace flashpost::ui
