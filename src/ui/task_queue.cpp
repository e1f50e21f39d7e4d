#include "ui/task_queue.h"

#include <utility>

namespace flashpost::ui {

struct TaskQueue::Invocation {
  Task task;
  bool synchronous = false;
  bool done = false;       // ran to the end
  bool cancelled = false;  // dropped by Shutdown before it ran
};

TaskQueue::TaskQueue(std::function<void()> on_queued) : on_queued_(std::move(on_queued)) {}

void TaskQueue::Post(Task task) {
  auto inv = std::make_shared<Invocation>();
  inv->task = std::move(task);
  std::lock_guard lock(mutex_);
  if (shut_down_) return;
  queue_.push_back(std::move(inv));
  work_ready_.notify_all();
  if (on_queued_) on_queued_();
}

bool TaskQueue::InvokeAndWait(Task task) {
  auto inv = std::make_shared<Invocation>();
  inv->task = std::move(task);
  inv->synchronous = true;
  std::unique_lock lock(mutex_);
  if (shut_down_) return false;
  queue_.push_back(inv);
  work_ready_.notify_all();
  if (on_queued_) on_queued_();
  invoke_done_.wait(lock, [&] { return inv->done || inv->cancelled; });
  return inv->done;
}

bool TaskQueue::RunNext() {
  std::shared_ptr<Invocation> inv;
  {
    std::lock_guard lock(mutex_);
    if (shut_down_ || queue_.empty()) return false;
    inv = std::move(queue_.front());
    queue_.pop_front();
  }
  inv->task();
  if (inv->synchronous) {
    std::lock_guard lock(mutex_);
    inv->done = true;
    invoke_done_.notify_all();
  }
  return true;
}

bool TaskQueue::WaitForWork(std::chrono::nanoseconds real_wait) {
  std::unique_lock lock(mutex_);
  return work_ready_.wait_for(lock, real_wait, [this] { return shut_down_ || !queue_.empty(); });
}

void TaskQueue::Shutdown() {
  std::lock_guard lock(mutex_);
  if (shut_down_) return;
  shut_down_ = true;
  for (auto& inv : queue_) inv->cancelled = true;
  queue_.clear();
  invoke_done_.notify_all();
  work_ready_.notify_all();
}

bool TaskQueue::IsShutDown() const {
  std::lock_guard lock(mutex_);
  return shut_down_;
}

void TaskQueue::Fence() const { std::lock_guard lock(mutex_); }

}  // namespace flashpost::ui
