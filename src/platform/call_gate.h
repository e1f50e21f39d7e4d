#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>

namespace flashpost::platform {

// Lets the calls on an open device run on several threads while one of them closes it: Close
// turns new calls away, waits for those in progress, and only then releases the device, so the
// OS handle is never closed under a reader.
class CallGate {
 public:
  // Held for the length of one call on the device. False once the device is closing; the call
  // must then leave the handle alone.
  class Pass {
   public:
    explicit Pass(CallGate& gate) : gate_(gate) {
      std::lock_guard lock(gate_.mutex_);
      entered_ = !gate_.closing_.load();
      if (entered_) ++gate_.active_calls_;
    }
    ~Pass() {
      if (!entered_) return;
      std::lock_guard lock(gate_.mutex_);
      if (--gate_.active_calls_ == 0) gate_.idle_.notify_all();
    }
    Pass(const Pass&) = delete;
    Pass& operator=(const Pass&) = delete;
    explicit operator bool() const { return entered_; }

   private:
    CallGate& gate_;
    bool entered_ = false;
  };

  // Refuses every later call, waits until no call is in progress, then runs release once (the
  // first Close does it; a later one returns once it is done).
  template <class Release>
  void Close(Release release) {
    std::unique_lock lock(mutex_);
    closing_.store(true);
    idle_.wait(lock, [this] { return active_calls_ == 0; });
    if (released_) return;
    released_ = true;
    release();
  }

  bool Closing() const { return closing_.load(); }

 private:
  std::atomic<bool> closing_{false};
  std::mutex mutex_;
  std::condition_variable idle_;
  int active_calls_ = 0;   // under mutex_
  bool released_ = false;  // under mutex_
};

}  // namespace flashpost::platform
