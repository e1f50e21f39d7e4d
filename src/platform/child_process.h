#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace flashpost::platform {

// Another program started by a test harness (the Windows build under Wine, a display server),
// with its standard output and error captured together. Its standard input is empty. A program
// still running when the object goes is killed.
class ChildProcess {
 public:
  virtual ~ChildProcess() = default;

  // Waits at most `timeout` of real time for the program to end; its exit status (the signal
  // number + 128 when a signal ended it), or nothing when it is still running.
  virtual std::optional<int> Wait(std::chrono::milliseconds timeout) = 0;
  // Everything it has written so far.
  virtual std::string Output() const = 0;
  // Asks it to end, and kills it when it has not ended two seconds later.
  virtual void Kill() = 0;
  // Sends it the signal and returns at once.
  virtual void Signal(int signal_number) = 0;
  // True once a signal it did not catch has ended it, rather than an exit of its own.
  virtual bool EndedBySignal() = 0;
  // Its process id.
  virtual int Id() const = 0;
};

// Starts argv[0] (a path, not looked up) with the given arguments and this program's
// environment plus `extra_env` entries ("NAME=value", replacing a variable of the same name).
// Null with `error` set when it cannot be started.
std::unique_ptr<ChildProcess> StartChildProcess(const std::vector<std::string>& argv,
                                                const std::vector<std::string>& extra_env,
                                                std::string& error);

}  // namespace flashpost::platform
