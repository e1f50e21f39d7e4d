#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/file.h"

namespace flashpost::platform {
namespace {

namespace fs = std::filesystem;

TEST(HeldFileTest, ReadersShareTheFileWhileAWriterThatLocksIsKeptOut) {
  const std::string path =
      (fs::temp_directory_path() / ("fp-held-" + std::to_string(getpid()) + ".bin")).string();
  std::ofstream(path) << "image";
  // Two fixtures on one PC that selected the same image.
  auto first = OpenHeldFile(path);
  auto second = OpenHeldFile(path);
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr) << "a second reader must share the file";

  const int writer = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  ASSERT_GE(writer, 0);
  EXPECT_NE(::flock(writer, LOCK_EX | LOCK_NB), 0) << "a writer must wait for the readers";
  ::close(writer);
  fs::remove(path);
}

}  // namespace
}  // namespace flashpost::platform
