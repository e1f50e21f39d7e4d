#include "win32/win32_loop.h"

#include <algorithm>
#include <chrono>

#include "ui/serve_until.h"

namespace flashpost::win32 {

namespace {

constexpr const char* kWindowClass = "FlashpostLoopWindow";
// Only the loop's own message-only window gets this message, so it cannot be confused with
// another program's.
constexpr UINT kWakeMessage = WM_APP + 1;

// One pass of waiting lasts at most this long in real time, so that a condition that other
// threads make true without waking the loop is still seen soon.
constexpr uint32_t kLongestWaitMs = 20;

// A pass of PumpMessages stops after this many messages, so that a window that never stops
// asking to be painted cannot keep it from returning.
constexpr int kMessagesPerPass = 500;

// A clock duration in whole real milliseconds, at least one.
uint32_t RealMs(const platform::Clock& clock, uint32_t ms) {
  auto real = std::chrono::ceil<std::chrono::milliseconds>(clock.RealDuration(ms)).count();
  return static_cast<uint32_t>(std::clamp<int64_t>(real, 1, INT32_MAX));
}

void RegisterWindowClass(WNDPROC proc) {
  WNDCLASSEXA wc{};
  wc.cbSize = sizeof(wc);
  wc.lpfnWndProc = proc;
  wc.hInstance = GetModuleHandleA(nullptr);
  wc.lpszClassName = kWindowClass;
  // A second loop finds the class registered already, which is just as good.
  RegisterClassExA(&wc);
}

}  // namespace

HWND Win32Loop::CreateMessageWindow(Win32Loop* loop) {
  RegisterWindowClass(&Win32Loop::WindowProc);
  return CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                         GetModuleHandleA(nullptr), loop);
}

Win32Loop::Win32Loop(platform::Clock& clock)
    : clock_(clock),
      main_thread_(std::this_thread::get_id()),
      window_(CreateMessageWindow(this)),
      queue_([this] { Wake(); }) {}

Win32Loop::~Win32Loop() {
  Shutdown();
  for (auto& [id, entry] : timers_) KillTimer(window_, static_cast<UINT_PTR>(id));
  timers_.clear();
  if (window_ != nullptr) {
    // A wake-up still queued for the window goes with it; nothing reaches this object after.
    SetWindowLongPtrA(window_, GWLP_USERDATA, 0);
    DestroyWindow(window_);
  }
}

LRESULT CALLBACK Win32Loop::WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
  if (message == WM_NCCREATE) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lparam);
    SetWindowLongPtrA(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* loop = reinterpret_cast<Win32Loop*>(GetWindowLongPtrA(hwnd, GWLP_USERDATA));
  if (loop != nullptr && message == kWakeMessage) {
    // Cleared before the queue is read: a task queued from now on posts a wake-up of its own.
    loop->wake_pending_.store(false);
    loop->RunQueued();
    return 0;
  }
  if (loop != nullptr && message == WM_TIMER) {
    loop->RunTick(static_cast<int>(wparam));
    return 0;
  }
  return DefWindowProcA(hwnd, message, wparam, lparam);
}

void Win32Loop::Wake() {
  // Runs under the queue's lock, on any thread; PostMessage never waits for the main thread.
  if (window_ == nullptr || wake_pending_.exchange(true)) return;
  if (!PostMessageA(window_, kWakeMessage, 0, 0)) wake_pending_.store(false);
}

void Win32Loop::Post(Task task) { queue_.Post(std::move(task)); }

bool Win32Loop::Invoke(Task task) {
  if (IsMainThread()) {
    if (IsShutDown()) return false;
    task();
    return true;
  }
  return queue_.InvokeAndWait(std::move(task));
}

void Win32Loop::RunQueued() {
  while (queue_.RunNext()) {
  }
}

void Win32Loop::Dispatch(MSG& msg) {
  // A top-level window that is a control parent gets the dialog keys: Tab between controls,
  // the arrows within a radio group.
  HWND root = msg.hwnd != nullptr ? GetAncestor(msg.hwnd, GA_ROOT) : nullptr;
  if (root != nullptr && (GetWindowLongPtrA(root, GWL_EXSTYLE) & WS_EX_CONTROLPARENT) != 0 &&
      IsDialogMessageA(root, &msg)) {
    return;
  }
  TranslateMessage(&msg);
  DispatchMessageA(&msg);
}

void Win32Loop::PumpMessages() {
  MSG msg;
  for (int n = 0; n < kMessagesPerPass && PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE); ++n) {
    if (msg.message == WM_QUIT) {
      quit_ = true;
      exit_code_ = static_cast<int>(msg.wParam);
      continue;
    }
    Dispatch(msg);
  }
}

void Win32Loop::ProcessPending() {
  PumpMessages();
  RunQueued();
}

void Win32Loop::ProcessFor(uint32_t ms) {
  RunUntil([] { return false; }, ms);
}

bool Win32Loop::RunUntil(const std::function<bool()>& done, uint32_t timeout_ms) {
  return ui::ServeUntil(
      clock_, *this, done, timeout_ms, [this] { ProcessPending(); },
      [this](uint32_t ms_left) { ServeFor(ms_left); });
}

void Win32Loop::ServeFor(uint32_t ms) {
  const uint32_t real_ms = RealMs(clock_, ms);
  const bool whole = real_ms <= kLongestWaitMs;
  // MWMO_INPUTAVAILABLE: messages that came before the call and were seen but not taken also
  // end the wait.
  const DWORD result = MsgWaitForMultipleObjectsEx(0, nullptr, std::min(real_ms, kLongestWaitMs),
                                                   QS_ALLINPUT, MWMO_INPUTAVAILABLE);
  // A clock that moves only when told learns that the whole wait passed in silence.
  if (result == WAIT_TIMEOUT && whole) clock_.AfterTimedWait(ms);
}

int Win32Loop::Run() {
  MSG msg;
  while (!quit_) {
    const BOOL got = GetMessageA(&msg, nullptr, 0, 0);
    if (got == -1) return -1;
    if (got == 0) {
      exit_code_ = static_cast<int>(msg.wParam);
      break;
    }
    Dispatch(msg);
  }
  // The request is used up: a later Run serves the loop again.
  quit_ = false;
  return exit_code_;
}

void Win32Loop::Quit() {
  quit_ = true;
  exit_code_ = 0;
  // GetMessage returns for any message; this one finds the queue empty or shut down.
  if (window_ != nullptr) PostMessageA(window_, kWakeMessage, 0, 0);
}

bool Win32Loop::IsMainThread() const { return std::this_thread::get_id() == main_thread_; }

int Win32Loop::StartTimer(uint32_t interval_ms, Task tick) {
  const int id = next_timer_id_++;
  TimerEntry entry;
  entry.tick = std::make_shared<Task>(std::move(tick));
  timers_.emplace(id, std::move(entry));
  // Window timers tick no faster than USER_TIMER_MINIMUM (10 ms), whatever is asked.
  SetTimer(window_, static_cast<UINT_PTR>(id), RealMs(clock_, interval_ms), nullptr);
  return id;
}

void Win32Loop::StopTimer(int id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  // A WM_TIMER already queued finds no entry; the running tick keeps its own copy.
  KillTimer(window_, static_cast<UINT_PTR>(id));
  timers_.erase(it);
}

void Win32Loop::RunTick(int id) {
  if (IsShutDown()) return;
  auto it = timers_.find(id);
  if (it == timers_.end() || it->second.running) return;
  it->second.running = true;
  auto tick = it->second.tick;  // the tick may stop, restart or destroy its own timer
  (*tick)();
  it = timers_.find(id);
  if (it != timers_.end()) it->second.running = false;
}

void Win32Loop::Shutdown() {
  if (queue_.IsShutDown()) return;
  queue_.Shutdown();
  // Window timers belong to the main thread; from elsewhere the ticks just stop running.
  if (IsMainThread()) {
    for (auto& [id, entry] : timers_) KillTimer(window_, static_cast<UINT_PTR>(id));
  }
}

bool Win32Loop::IsShutDown() const { return queue_.IsShutDown(); }

}  // namespace flashpost::win32
