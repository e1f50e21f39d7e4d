#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace flashpost::ui {

// The queue of work that other threads hand to the main thread, shared by every main loop:
// tasks run in the order they came, a synchronous caller waits until its task has run, and a
// shutdown drops what is queued and releases every waiting caller.
class TaskQueue {
 public:
  using Task = std::function<void()>;

  // on_queued runs under the queue's lock each time a task is queued: a loop's way of waking
  // its main thread. Under the lock, so a loop that shuts the queue down before it goes is never
  // woken after it has gone.
  explicit TaskQueue(std::function<void()> on_queued = {});
  TaskQueue(const TaskQueue&) = delete;
  TaskQueue& operator=(const TaskQueue&) = delete;

  // Queues the task; dropped after Shutdown.
  void Post(Task task);
  // Queues the task and waits until the main thread has run it: true then; false, without it
  // having run, when the queue is or gets shut down. Never from the main thread itself.
  bool InvokeAndWait(Task task);

  // On the main thread: runs the oldest queued task; false when there was none to run.
  bool RunNext();

  // Waits at most real_wait for a task to be queued or a shutdown; true when one came.
  bool WaitForWork(std::chrono::nanoseconds real_wait);

  void Shutdown();
  bool IsShutDown() const;

  // Takes and drops the queue's lock: what a thread did before queuing is then seen by the caller,
  // whatever way the wake-up reached it.
  void Fence() const;

 private:
  struct Invocation;

  const std::function<void()> on_queued_;
  mutable std::mutex mutex_;
  std::condition_variable work_ready_;
  std::condition_variable invoke_done_;
  std::deque<std::shared_ptr<Invocation>> queue_;  // under mutex_
  bool shut_down_ = false;                         // under mutex_
};

}  // namespace flashpost::ui
