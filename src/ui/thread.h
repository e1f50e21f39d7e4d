#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <thread>

#include "ui/main_loop.h"
#include "ui/stop_signal.h"

namespace flashpost::ui {

// A worker thread in the framework's manner: it runs as soon as it is created, sees a
// terminate request in its own loop (Terminated()), can run code synchronously on the main
// thread, and frees itself when Execute returns unless someone still holds it. Whoever keeps
// the shared pointer (a page, the port board) may ask it to stop at any time, before or after
// it has ended.
class Thread {
 public:
  explicit Thread(MainLoop& loop) : loop_(loop) {}
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // A request; every wait of the thread ends at once and its loop sees it at its next check. No
  // effect once ended.
  void Terminate() { stop_.Request(); }
  bool Terminated() const { return stop_.Requested(); }
  // The terminate request as the thread's waits see it.
  const StopSignal& Stop() const { return stop_; }
  // True once Execute has returned.
  bool Finished() const { return finished_.load(); }
  // Waits for Execute to return. Must not be called from the thread itself.
  void WaitFor();

  template <class T, class... Args>
  friend std::shared_ptr<T> StartThread(Args&&... args);

 protected:
  virtual void Execute() = 0;
  // Runs the task on the main thread and waits for it; false when the main loop has shut down
  // and the task did not run.
  bool Synchronize(MainLoop::Task task) { return loop_.Invoke(std::move(task)); }
  MainLoop& Loop() { return loop_; }

 private:
  void Launch(std::shared_ptr<Thread> self);

  MainLoop& loop_;
  StopSignal stop_;
  std::atomic<bool> finished_{false};
  std::mutex join_mutex_;
  std::thread thread_;
};

// Creates the thread object and starts it running.
template <class T, class... Args>
std::shared_ptr<T> StartThread(Args&&... args) {
  auto thread = std::make_shared<T>(std::forward<Args>(args)...);
  thread->Launch(thread);
  return thread;
}

}  // namespace flashpost::ui
