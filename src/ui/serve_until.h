#pragma once

#include <cstdint>
#include <functional>

#include "platform/clock.h"
#include "ui/main_loop.h"

namespace flashpost::ui {

// How every loop serves the main thread for a while: what is pending, then a wait for more work
// of at most the time left, again and again until done() holds (true), the loop shuts down or
// timeout_ms of clock time has passed (false). The loop brings its own ways to serve and to wait.
inline bool ServeUntil(platform::Clock& clock, const MainLoop& loop,
                       const std::function<bool()>& done, uint32_t timeout_ms,
                       const std::function<void()>& serve_pending,
                       const std::function<void(uint32_t ms_left)>& wait) {
  const uint32_t start = clock.Ticks();
  while (true) {
    if (done()) return true;
    if (loop.IsShutDown()) return false;
    serve_pending();
    if (done()) return true;
    const uint32_t spent = clock.Ticks() - start;
    if (spent >= timeout_ms) return false;
    wait(timeout_ms - spent);
  }
}

}  // namespace flashpost::ui
