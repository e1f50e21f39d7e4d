#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "platform/clock.h"
#include "ui/main_loop.h"
#include "ui/task_queue.h"

class QObject;
class QTimer;

namespace flashpost::gui {

// The main loop on Qt's event loop, for the desktop window. Built on the thread that owns the
// QApplication, which becomes the main thread. Tasks from other threads wait in a queue of our
// own; a posted wake-up event makes the event loop run them, so they run in posting order and a
// shutdown can cancel them and release the threads waiting in Invoke. Timers are QTimers whose
// intervals are the clock's milliseconds in real time, so a sped-up clock speeds them up too.
class QtLoop final : public ui::MainLoop {
 public:
  explicit QtLoop(platform::Clock& clock);
  ~QtLoop() override;
  QtLoop(const QtLoop&) = delete;
  QtLoop& operator=(const QtLoop&) = delete;

  void Post(Task task) override;
  bool Invoke(Task task) override;
  void ProcessPending() override;
  void ProcessFor(uint32_t ms) override;
  bool IsMainThread() const override;
  int StartTimer(uint32_t interval_ms, Task tick) override;
  void StopTimer(int id) override;
  void Shutdown() override;
  bool IsShutDown() const override;

  // Keeps the event loop running until done() holds (checked after every pass) or timeout_ms of
  // clock time has passed; true when done() held. For tests and waits of the main thread.
  bool RunUntil(const std::function<bool()>& done, uint32_t timeout_ms);

 private:
  struct TimerEntry {
    QTimer* timer = nullptr;  // child of receiver_
    std::shared_ptr<Task> tick;
    bool running = false;  // its tick is on the stack: a nested event loop must not re-enter it
  };
  class Receiver;

  // Runs the queued tasks, one at a time, so that a task may itself serve the loop.
  void RunQueued();
  void RunTick(int id);
  // Serves the event loop for at most ms of clock time; returns early when work was done.
  void ServeFor(uint32_t ms);

  platform::Clock& clock_;
  const std::thread::id main_thread_;
  std::unique_ptr<QObject> receiver_;
  // Wakes the event loop through receiver_; shut down before receiver_ goes.
  ui::TaskQueue queue_;

  std::map<int, TimerEntry> timers_;  // main thread only
  int next_timer_id_ = 1;
};

}  // namespace flashpost::gui
