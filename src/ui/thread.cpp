#include "ui/thread.h"

#include "platform/end_request.h"

namespace flashpost::ui {

Thread::~Thread() {
  if (!thread_.joinable()) return;
  // The last holder may be the thread itself, letting go as Execute returns.
  if (thread_.get_id() == std::this_thread::get_id()) {
    thread_.detach();
  } else {
    thread_.join();
  }
}

void Thread::WaitFor() {
  std::lock_guard lock(join_mutex_);
  if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
}

void Thread::Launch(std::shared_ptr<Thread> self) {
  std::lock_guard lock(join_mutex_);
  // The thread holds itself until Execute returns, so that it frees itself when nobody else
  // keeps it.
  thread_ = std::thread([this, keep = std::move(self)]() mutable {
    platform::KeepEndRequestsOffThisThread();
    Execute();
    finished_.store(true);
    keep.reset();
  });
}

}  // namespace flashpost::ui
