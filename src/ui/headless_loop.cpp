#include "ui/headless_loop.h"

#include <vector>

#include "ui/serve_until.h"

namespace flashpost::ui {

namespace {
// How long a timer still has to go; 0 when it is due. Works across the 32-bit wrap.
uint32_t TimeUntil(uint32_t now, uint32_t due) {
  auto left = static_cast<int32_t>(due - now);
  return left > 0 ? static_cast<uint32_t>(left) : 0;
}
}  // namespace

HeadlessLoop::HeadlessLoop(platform::Clock& clock)
    : clock_(clock), main_thread_(std::this_thread::get_id()) {}

HeadlessLoop::~HeadlessLoop() { Shutdown(); }

void HeadlessLoop::Post(Task task) { queue_.Post(std::move(task)); }

bool HeadlessLoop::Invoke(Task task) {
  if (IsMainThread()) {
    if (IsShutDown()) return false;
    task();
    return true;
  }
  return queue_.InvokeAndWait(std::move(task));
}

void HeadlessLoop::ProcessPending() { RunReady(nullptr); }

void HeadlessLoop::ProcessFor(uint32_t ms) {
  RunUntil([] { return false; }, ms);
}

bool HeadlessLoop::RunUntil(const std::function<bool()>& done, uint32_t timeout_ms) {
  return ServeUntil(
      clock_, *this, done, timeout_ms, [&] { RunReady(&done); },
      [this](uint32_t ms_left) { WaitForWork(ms_left); });
}

bool HeadlessLoop::IsMainThread() const { return std::this_thread::get_id() == main_thread_; }

int HeadlessLoop::StartTimer(uint32_t interval_ms, Task tick) {
  TimerEntry entry;
  entry.interval = interval_ms;
  entry.next_due = clock_.Ticks() + interval_ms;
  entry.tick = std::make_shared<Task>(std::move(tick));
  int id = next_timer_id_++;
  timers_.emplace(id, std::move(entry));
  return id;
}

void HeadlessLoop::StopTimer(int id) { timers_.erase(id); }

void HeadlessLoop::Shutdown() { queue_.Shutdown(); }

bool HeadlessLoop::IsShutDown() const { return queue_.IsShutDown(); }

bool HeadlessLoop::RunReady(const std::function<bool()>* stop) {
  bool ran = false;
  while (queue_.RunNext()) {
    ran = true;
    if (stop && (*stop)()) return true;
  }
  return RunDueTimers(stop) || ran;
}

bool HeadlessLoop::RunDueTimers(const std::function<bool()>* stop) {
  const uint32_t now = clock_.Ticks();
  std::vector<int> due;
  for (auto& [id, entry] : timers_) {
    if (!entry.running && TimeUntil(now, entry.next_due) == 0) due.push_back(id);
  }
  bool ran = false;
  for (int id : due) {
    if (IsShutDown()) break;
    auto it = timers_.find(id);
    if (it == timers_.end() || it->second.running) continue;  // stopped by an earlier tick
    it->second.running = true;
    auto tick = it->second.tick;  // the tick may stop, restart or destroy its own timer
    (*tick)();
    ran = true;
    it = timers_.find(id);
    if (it != timers_.end()) {
      it->second.running = false;
      it->second.next_due = clock_.Ticks() + it->second.interval;
    }
    if (stop && (*stop)()) break;
  }
  return ran;
}

void HeadlessLoop::WaitForWork(uint32_t max_ms) {
  uint32_t wait = max_ms;
  const uint32_t now = clock_.Ticks();
  for (auto& [id, entry] : timers_) {
    if (!entry.running) wait = std::min(wait, TimeUntil(now, entry.next_due));
  }
  if (wait == 0) return;
  if (!queue_.WaitForWork(clock_.RealDuration(wait))) clock_.AfterTimedWait(wait);
}

}  // namespace flashpost::ui
