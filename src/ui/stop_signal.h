#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <utility>

#include "platform/clock.h"

namespace flashpost::ui {

// A request to stop that every wait of the thread it belongs to honours at once. Pauses sleep on
// it and wake when the stop comes; the waits that read a port look at it after every read (at
// most a read time-out apart). What must never happen after the stop (a status written, a port
// opened) runs inside UnlessStopped: a Request waits for such a step to end, so once Request has
// returned, nothing of the stopped work follows.
class StopSignal {
 public:
  StopSignal() = default;
  StopSignal(const StopSignal&) = delete;
  StopSignal& operator=(const StopSignal&) = delete;

  // From any thread, also from the stopping thread itself inside UnlessStopped.
  void Request();
  bool Requested() const { return requested_.load(); }
  // For a port write inside a step to watch: set as soon as a stop is asked for, before Request
  // waits for the step, so that a write to a stalled line gives way instead of holding it up.
  const std::atomic<bool>& GiveUp() const { return give_up_; }

  // Sleeps ms of the clock's time; false, as soon as it is asked, when a stop comes first.
  bool Sleep(platform::Clock& clock, uint32_t ms) const;

  // Runs step unless a stop has been requested; true when it ran.
  template <class Step>
  bool UnlessStopped(Step&& step) const {
    std::lock_guard lock(steps_);
    if (requested_.load()) return false;
    std::forward<Step>(step)();
    return true;
  }

 private:
  // Recursive: a step may itself ask its own thread to stop (a failed calibration stops its slot).
  mutable std::recursive_mutex steps_;
  mutable std::mutex sleep_mutex_;
  mutable std::condition_variable woken_;
  std::atomic<bool> requested_{false};  // set under steps_: a step runs whole or not at all
  std::atomic<bool> give_up_{false};
};

}  // namespace flashpost::ui
