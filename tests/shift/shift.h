#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/application.h"
#include "platform/clock.h"
#include "shift/watched_serial.h"
#include "ui/control.h"

namespace flashpost::shift {

// A shift: one application instance works job after job against simulated modules on
// pseudo-terminals, as an operator works a station through a day, runs stopped at random moments
// and started again at once. Every verdict the operator sees is held against what the simulated
// module received and did; after every job nothing of it may be left running, writing or open.

// How much faster than the wall the shift's clock, which the simulated modules share, runs.
inline constexpr double kShiftSpeedUp = 80.0;

// One application instance as the operator meets it.
struct Station {
  app::Application& application;
  WatchedSerial& serial;
  platform::Clock& clock;
  // Serves the main loop until done() holds (looked at after the loop's work) or limit_ms of
  // clock time have passed; true when done() held.
  std::function<bool(const std::function<bool()>& done, uint32_t limit_ms)> serve_until;
  // An operator's click on a button, check box or radio button.
  std::function<void(ui::Control& control)> click;
};

// Works FLASHPOST_SHIFT_JOBS jobs (100 unless set) drawn from FLASHPOST_SHIFT_SEED, then stops
// everything and checks that nothing is left running or open. Faults are test failures naming the
// seed and the job; returns the number of verdicts the modules contradicted.
int RunShift(Station station, const std::string& instance);

// Runs `shift`, then expects no more threads and descriptors than before, giving threads on their
// way out a moment.
void ExpectNothingLeftOver(const std::function<void()>& shift);

}  // namespace flashpost::shift
