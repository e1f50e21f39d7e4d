#include "wine/x_display.h"

#include <chrono>
#include <filesystem>
#include <thread>

namespace flashpost::testing {

namespace fs = std::filesystem;

XDisplay::XDisplay() {
  const char* xvfb = "/usr/bin/Xvfb";
  if (!fs::exists(xvfb)) {
    problem_ = "Xvfb is missing: install Debian's xvfb package";
    return;
  }
  for (number_ = 90; number_ < 100; ++number_) {
    const std::string n = std::to_string(number_);
    if (!fs::exists("/tmp/.X" + n + "-lock") && !fs::exists("/tmp/.X11-unix/X" + n)) break;
  }
  const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number_);
  std::string error;
  server_ = platform::StartChildProcess(
      {xvfb, ":" + std::to_string(number_), "-screen", "0", "1280x1024x24", "-nolisten", "tcp"}, {},
      error);
  if (!server_) {
    problem_ = error;
    return;
  }
  // The server is ready once its socket is there; a server that ended tells why.
  for (int waited_ms = 0; waited_ms < 20000; waited_ms += 50) {
    if (fs::exists(socket)) return;
    if (server_->Wait(std::chrono::milliseconds(50))) break;
  }
  problem_ = "Xvfb did not start:\n" + server_->Output();
}

XDisplay::~XDisplay() {
  if (server_) {
    server_->Kill();
    server_->Wait(std::chrono::milliseconds(5000));
  }
}

}  // namespace flashpost::testing
