#pragma once

#include <memory>
#include <string>

#include "platform/child_process.h"

namespace flashpost::testing {

// A virtual X display (Xvfb) for windows no one looks at, on the first free display number
// from 90 up. Gone with the object.
class XDisplay {
 public:
  XDisplay();
  ~XDisplay();
  XDisplay(const XDisplay&) = delete;
  XDisplay& operator=(const XDisplay&) = delete;

  bool ok() const { return problem_.empty(); }
  const std::string& Problem() const { return problem_; }
  // "DISPLAY=:N", for a program's environment.
  std::string DisplayVariable() const { return "DISPLAY=:" + std::to_string(number_); }

 private:
  int number_ = 0;
  std::string problem_;
  std::unique_ptr<platform::ChildProcess> server_;
};

}  // namespace flashpost::testing
