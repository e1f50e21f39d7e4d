#pragma once

#include <functional>

#include "platform/end_request.h"
#include "ui/main_loop.h"

namespace flashpost::ui {

// Watches for a request to end the program (platform/end_request.h) while a loop runs: a timer
// looks every 100 ms, so a loop that is waiting for work wakes up to see it. At the first one the
// timer stops and on_request runs, once, on the main thread (a window closes as its close box
// closes it); a headless run adds Requested() to the condition it runs until.
class EndRequestWatch {
 public:
  explicit EndRequestWatch(MainLoop& loop, std::function<void()> on_request = {});
  ~EndRequestWatch();
  EndRequestWatch(const EndRequestWatch&) = delete;
  EndRequestWatch& operator=(const EndRequestWatch&) = delete;

  bool Requested() const { return platform::EndRequest() != 0; }
  // The signal number of the request; 0 while none came.
  int Signal() const { return platform::EndRequest(); }
  // 128 + the request's signal number once one came, as a shell reports a program a signal
  // ended; `otherwise` before.
  int ExitStatus(int otherwise) const;

 private:
  MainLoop& loop_;
  std::function<void()> on_request_;
  int timer_ = 0;
  bool watching_ = true;
};

}  // namespace flashpost::ui
