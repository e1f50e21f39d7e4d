#include "ui/stop_signal.h"

namespace flashpost::ui {

void StopSignal::Request() {
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
