#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <thread>

#include "platform/clock.h"
#include "ui/main_loop.h"
#include "ui/task_queue.h"
#include "win32/windows_api.h"

namespace flashpost::win32 {

// The main loop on the Win32 message loop, for the desktop window. Built on the thread that
// creates the windows, which becomes the main thread. Tasks from other threads wait in a queue
// of our own; a wake-up message posted to a message-only window makes the message loop run them,
// so they run in posting order and a shutdown can cancel them and release the threads waiting in
// Invoke. Timers are window timers whose intervals are the clock's milliseconds in real time, so
// a sped-up clock speeds them up too.
class Win32Loop final : public ui::MainLoop {
 public:
  explicit Win32Loop(platform::Clock& clock);
  ~Win32Loop() override;
  Win32Loop(const Win32Loop&) = delete;
  Win32Loop& operator=(const Win32Loop&) = delete;

  void Post(Task task) override;
  bool Invoke(Task task) override;
  void ProcessPending() override;
  void ProcessFor(uint32_t ms) override;
  bool IsMainThread() const override;
  int StartTimer(uint32_t interval_ms, Task tick) override;
  void StopTimer(int id) override;
  void Shutdown() override;
  bool IsShutDown() const override;

  // Keeps the message loop running until done() holds (checked after every pass) or timeout_ms
  // of clock time has passed; true when done() held. For tests and waits of the main thread.
  bool RunUntil(const std::function<bool()>& done, uint32_t timeout_ms);

  // Runs the message loop until Quit is called or a WM_QUIT arrives, also one that a nested wait
  // took before Run began; the exit code (0 after Quit, the WM_QUIT's otherwise). Main thread
  // only.
  int Run();
  // Ends Run, also from inside a message handler; only this loop's Run, unlike WM_QUIT.
  void Quit();

  // The message-only window that receives the wake-ups and the timers.
  HWND MessageWindow() const { return window_; }

 private:
  struct TimerEntry {
    std::shared_ptr<Task> tick;
    bool running = false;  // its tick is on the stack: a nested message loop must not re-enter it
  };

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam);
  static HWND CreateMessageWindow(Win32Loop* loop);
  // Sends one message on to its window, through the dialog keyboard handling when its top-level
  // window asked for it.
  static void Dispatch(MSG& msg);
  void Wake();
  // Runs the queued tasks, one at a time, so that a task may itself serve the loop.
  void RunQueued();
  void RunTick(int id);
  // Dispatches the messages waiting now; a WM_QUIT among them is kept for Run.
  void PumpMessages();
  // Serves the message loop for at most ms of clock time; returns early when a message came.
  void ServeFor(uint32_t ms);

  platform::Clock& clock_;
  const std::thread::id main_thread_;
  HWND window_;
  // Set while a wake-up message is on its way, so that a burst of posts sends one message.
  std::atomic<bool> wake_pending_{false};
  // Wakes the message loop through window_; shut down before window_ goes.
  ui::TaskQueue queue_;

  std::map<int, TimerEntry> timers_;  // main thread only
  int next_timer_id_ = 1;
  bool quit_ = false;  // main thread only
  int exit_code_ = 0;
};

}  // namespace flashpost::win32
