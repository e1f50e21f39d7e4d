#pragma once

#include <cstdint>
#include <functional>

namespace flashpost::ui {

// The main thread's message loop as the logic sees it. Every control and handler lives on the
// main thread; other threads reach it only through Post and Invoke. Implemented headless (tests,
// command line) and by each desktop front end.
class MainLoop {
 public:
  using Task = std::function<void()>;
  virtual ~MainLoop() = default;

  // Runs the task on the main thread later, in posting order. Dropped after Shutdown.
  virtual void Post(Task task) = 0;

  // Runs the task on the main thread and waits for it; runs it at once when called on the main
  // thread. Returns false, without running it, once the loop has shut down; a caller waiting at
  // that moment is released the same way.
  virtual bool Invoke(Task task) = 0;

  // Runs what is pending now (posted tasks, invokes, due timers) and returns.
  virtual void ProcessPending() = 0;

  // Keeps serving the main thread's work for ms milliseconds of clock time, then returns. For
  // the main thread's own waits, so that a thread inside Invoke is not left hanging.
  virtual void ProcessFor(uint32_t ms) = 0;

  virtual bool IsMainThread() const = 0;

  // Repeating timer on the main thread; the first tick comes one interval after the start.
  virtual int StartTimer(uint32_t interval_ms, Task tick) = 0;
  virtual void StopTimer(int id) = 0;

  // Stops the loop for good: no more tasks are run and every waiting Invoke returns false.
  virtual void Shutdown() = 0;
  virtual bool IsShutDown() const = 0;
};

// Runs the task on the main thread: directly when already there, otherwise posted.
inline void RunOnMainThread(MainLoop& loop, MainLoop::Task task) {
  if (loop.IsMainThread()) {
    task();
  } else {
    loop.Post(std::move(task));
  }
}

}  // namespace flashpost::ui
