// The window sent SIGTERM closes as its close box closes it and exits with 143.
#include <gtest/gtest.h>
#include <signal.h>

#include <fstream>
#include <thread>

#include "platform/child_process.h"

namespace flashpost::gui {
namespace {

TEST(WindowSignalTest, SigtermClosesTheWindowAndExitsWith143) {
  std::string error;
  auto child =
      platform::StartChildProcess({FLASHPOST_BINARY}, {"QT_QPA_PLATFORM=offscreen"}, error);
  ASSERT_NE(child, nullptr) << error;
  // Signalled once it catches SIGTERM, as its status tells.
  auto catches_sigterm = [&child] {
    std::ifstream status("/proc/" + std::to_string(child->Id()) + "/status");
    std::string line;
    while (std::getline(status, line) && line.rfind("SigCgt:", 0) != 0) {
    }
    return !line.empty() && (std::stoull(line.substr(7), nullptr, 16) >> (SIGTERM - 1)) & 1;
  };
  for (int i = 0; i < 1000 && !catches_sigterm(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  child->Signal(SIGTERM);
  EXPECT_EQ(child->Wait(std::chrono::seconds(30)), 143) << child->Output();
  EXPECT_FALSE(child->EndedBySignal()) << "killed instead of closed";
}

}  // namespace
}  // namespace flashpost::gui
