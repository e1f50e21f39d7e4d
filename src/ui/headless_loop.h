#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "platform/clock.h"
#include "ui/main_loop.h"
#include "ui/task_queue.h"

namespace flashpost::ui {

// A main loop without a window: the thread that builds it is the main thread. Used by the tests
// and the command line, which run it until a condition holds or some clock time has passed.
class HeadlessLoop final : public MainLoop {
 public:
  explicit HeadlessLoop(platform::Clock& clock);
  ~HeadlessLoop() override;

  void Post(Task task) override;
  bool Invoke(Task task) override;
  void ProcessPending() override;
  void ProcessFor(uint32_t ms) override;
  bool IsMainThread() const override;
  int StartTimer(uint32_t interval_ms, Task tick) override;
  void StopTimer(int id) override;
  void Shutdown() override;
  bool IsShutDown() const override;

  // Serves the loop until done() holds (checked after each piece of work) or timeout_ms of
  // clock time has passed; true when done() held.
  bool RunUntil(const std::function<bool()>& done, uint32_t timeout_ms);
  void RunFor(uint32_t ms) { ProcessFor(ms); }

 private:
  struct TimerEntry {
    uint32_t interval = 0;
    uint32_t next_due = 0;
    std::shared_ptr<Task> tick;
    bool running = false;  // its tick is on the stack (a nested ProcessFor must not re-enter it)
  };

  // Runs queued work and due timers; true when anything ran. Returns early as soon as *stop
  // holds after a piece of work (stop may be null).
  bool RunReady(const std::function<bool()>* stop);
  bool RunDueTimers(const std::function<bool()>* stop);
  // Waits until work is queued, the next timer is due, or at most max_ms of clock time.
  void WaitForWork(uint32_t max_ms);

  platform::Clock& clock_;
  std::thread::id main_thread_;
  TaskQueue queue_;
  std::map<int, TimerEntry> timers_;  // touched on the main thread only
  int next_timer_id_ = 1;
};

}  // namespace flashpost::ui
