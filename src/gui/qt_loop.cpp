#include "gui/qt_loop.h"

#include <QCoreApplication>
#include <QEvent>
#include <QEventLoop>
#include <QObject>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "ui/serve_until.h"

namespace flashpost::gui {

namespace {

// One pass of waiting lasts at most this long in real time, so that a condition that other
// threads make true without waking the loop is still seen soon.
constexpr int kLongestWaitMs = 20;

// A clock duration as a QTimer interval: whole real milliseconds, at least one.
int RealMs(const platform::Clock& clock, uint32_t ms) {
  auto real = std::chrono::ceil<std::chrono::milliseconds>(clock.RealDuration(ms)).count();
  return static_cast<int>(std::clamp<int64_t>(real, 1, INT32_MAX));
}

// Only the loop's own receiver gets this event, so no other user type can be confused with it.
constexpr auto kWakeEvent = static_cast<QEvent::Type>(QEvent::User + 1);

}  // namespace

// Receives the wake-up events that other threads post and runs the queue on the main thread.
class QtLoop::Receiver final : public QObject {
 public:
  explicit Receiver(QtLoop& loop) : loop_(loop) {}
  bool event(QEvent* e) override {
    // The wake-up was made and posted under the loop's lock by another thread; taking the lock
    // first orders this thread after it without relying on Qt's own locks.
    loop_.queue_.Fence();
    if (e->type() != kWakeEvent) return QObject::event(e);
    loop_.RunQueued();
    return true;
  }

 private:
  QtLoop& loop_;
};

QtLoop::QtLoop(platform::Clock& clock)
    : clock_(clock),
      main_thread_(std::this_thread::get_id()),
      receiver_(std::make_unique<Receiver>(*this)),
      queue_([this] { QCoreApplication::postEvent(receiver_.get(), new QEvent(kWakeEvent)); }) {}

QtLoop::~QtLoop() {
  Shutdown();
  timers_.clear();
  receiver_.reset();  // its child timers and any wake-up still queued for it go with it
}

void QtLoop::Post(Task task) { queue_.Post(std::move(task)); }

bool QtLoop::Invoke(Task task) {
  if (IsMainThread()) {
    if (IsShutDown()) return false;
    task();
    return true;
  }
  return queue_.InvokeAndWait(std::move(task));
}

void QtLoop::RunQueued() {
  while (queue_.RunNext()) {
  }
}

void QtLoop::ProcessPending() {
  QCoreApplication::processEvents();
  RunQueued();
}

void QtLoop::ProcessFor(uint32_t ms) {
  RunUntil([] { return false; }, ms);
}

bool QtLoop::RunUntil(const std::function<bool()>& done, uint32_t timeout_ms) {
  return ui::ServeUntil(
      clock_, *this, done, timeout_ms, [this] { ProcessPending(); },
      [this](uint32_t ms_left) { ServeFor(ms_left); });
}

void QtLoop::ServeFor(uint32_t ms) {
  const int real_ms = RealMs(clock_, ms);
  const bool whole = real_ms <= kLongestWaitMs;
  bool ran_out = false;
  QTimer wake;
  wake.setSingleShot(true);
  wake.setTimerType(Qt::PreciseTimer);
  QObject::connect(&wake, &QTimer::timeout, [&ran_out] { ran_out = true; });
  wake.start(std::min(real_ms, kLongestWaitMs));
  QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
  // A clock that moves only when told learns that the whole wait passed in silence.
  if (ran_out && whole) clock_.AfterTimedWait(ms);
}

bool QtLoop::IsMainThread() const { return std::this_thread::get_id() == main_thread_; }

int QtLoop::StartTimer(uint32_t interval_ms, Task tick) {
  const int id = next_timer_id_++;
  TimerEntry entry;
  entry.tick = std::make_shared<Task>(std::move(tick));
  entry.timer = new QTimer(receiver_.get());
  entry.timer->setTimerType(Qt::PreciseTimer);
  QObject::connect(entry.timer, &QTimer::timeout, [this, id] { RunTick(id); });
  entry.timer->start(RealMs(clock_, interval_ms));
  timers_.emplace(id, entry);
  return id;
}

void QtLoop::StopTimer(int id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second.timer->stop();
  // Later: the timer may be stopping itself from inside its own timeout.
  it->second.timer->deleteLater();
  timers_.erase(it);
}

void QtLoop::RunTick(int id) {
  if (IsShutDown()) return;
  auto it = timers_.find(id);
  if (it == timers_.end() || it->second.running) return;
  it->second.running = true;
  auto tick = it->second.tick;  // the tick may stop, restart or destroy its own timer
  (*tick)();
  it = timers_.find(id);
  if (it != timers_.end()) it->second.running = false;
}

void QtLoop::Shutdown() {
  if (queue_.IsShutDown()) return;
  queue_.Shutdown();
  // QTimers belong to the main thread; from elsewhere the ticks just stop running.
  if (IsMainThread()) {
    for (auto& [id, entry] : timers_) entry.timer->stop();
  }
}

bool QtLoop::IsShutDown() const { return queue_.IsShutDown(); }

}  // namespace flashpost::gui
