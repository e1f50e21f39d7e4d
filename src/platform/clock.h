#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>

namespace flashpost::platform {

// The one source of time for the whole program: the 32-bit millisecond tick (wraps like the
// Windows tick counter), the sleeps of the calling thread, and the length of OS waits such as
// the serial read time-out. Tests swap in a faster clock so no real time-out is sat out.
class Clock {
 public:
  virtual ~Clock() = default;

  // Milliseconds since an arbitrary origin, modulo 2^32.
  virtual uint32_t Ticks() const = 0;

  // Blocks the calling thread for ms milliseconds of this clock's time.
  virtual void Sleep(uint32_t ms) = 0;

  // How long an OS wait of ms milliseconds of this clock's time lasts in real time.
  virtual std::chrono::nanoseconds RealDuration(uint32_t ms) const = 0;

  // Told after an OS wait of ms milliseconds (a condition wait, a read time-out) ran out with
  // nothing to show. Real clocks have moved on by themselves; a manual clock moves on here.
  virtual void AfterTimedWait(uint32_t /*ms*/) {}
};

// A wait has run out once now - start, in unsigned 32-bit arithmetic, reaches the limit.
inline bool Elapsed(uint32_t now, uint32_t start, uint32_t limit_ms) {
  return static_cast<uint32_t>(now - start) >= limit_ms;
}

// The OS clock at its own pace: the Windows tick counter itself, or on POSIX the monotonic clock
// counted from the clock's creation.
class SystemClock final : public Clock {
 public:
  SystemClock();
  uint32_t Ticks() const override;
  void Sleep(uint32_t ms) override;
  std::chrono::nanoseconds RealDuration(uint32_t ms) const override;

 private:
  std::chrono::steady_clock::time_point origin_;  // where the POSIX ticks count from
};

// The monotonic clock sped up by a factor, starting at a chosen tick (so a test can start just
// before the 32-bit wrap). Every sleep and OS wait is shortened by the same factor.
class ScaledClock final : public Clock {
 public:
  explicit ScaledClock(double speed_up, uint32_t start_tick = 0);
  uint32_t Ticks() const override;
  void Sleep(uint32_t ms) override;
  std::chrono::nanoseconds RealDuration(uint32_t ms) const override;

 private:
  double speed_up_;
  uint32_t start_tick_;
  std::chrono::steady_clock::time_point origin_;
};

// Time that moves only when told: Advance() by the test, or Sleep() by the code under test,
// which returns at once after moving the time on. For single-threaded tests of timed logic.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(uint32_t start_tick = 0) : now_(start_tick) {}
  uint32_t Ticks() const override { return now_.load(); }
  void Sleep(uint32_t ms) override { now_.fetch_add(ms); }
  std::chrono::nanoseconds RealDuration(uint32_t) const override {
    return std::chrono::microseconds(100);
  }
  void AfterTimedWait(uint32_t ms) override { now_.fetch_add(ms); }
  void Advance(uint32_t ms) { now_.fetch_add(ms); }

 private:
  std::atomic<uint32_t> now_;
};

}  // namespace flashpost::platform
