// The selected firmware file and the terminal check on Windows, with the Windows file system's
// own rules.

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "platform/file.h"
#include "platform/terminal.h"

namespace flashpost::platform {
namespace {

namespace fs = std::filesystem;

TEST(Win32FileTest, AHeldFileHasItsSizeSharesReadersAndKeepsWritersOut) {
  const fs::path dir = fs::temp_directory_path() / "flashpost-file-test";
  fs::create_directories(dir);
  const std::string path = (dir / "image.bin").string();
  for (uintmax_t size : {uintmax_t{0}, uintmax_t{1}, uintmax_t{524288}}) {
    std::ofstream(path, std::ios::binary).close();
    fs::resize_file(path, size);
    auto file = OpenHeldFile(path);
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Size(), std::optional<uint64_t>(size));
  }
  for (const std::string& no_file :
       {(dir / "missing.bin").string(), dir.string(), std::string("NUL"), std::string()}) {
    EXPECT_EQ(OpenHeldFile(no_file), nullptr) << "'" << no_file << "' has no size to read";
  }
  {
    auto held = OpenHeldFile(path);
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(std::ofstream(path, std::ios::binary | std::ios::app).is_open());
    EXPECT_NE(OpenHeldFile(path), nullptr) << "a second reader may share it";
  }
  {
    std::ofstream writer(path, std::ios::binary | std::ios::app);
    ASSERT_TRUE(writer.is_open()) << "the writers' lock must go with the held file";
    EXPECT_EQ(OpenHeldFile(path), nullptr) << "a file being written does not open";
  }
  // Neither a file nor the null device (a character device, as a console is) is a terminal.
  for (const std::string& name : {path, std::string("NUL")}) {
    std::FILE* out = std::fopen(name.c_str(), "w");
    ASSERT_NE(out, nullptr);
    EXPECT_FALSE(IsTerminal(out)) << name;
    std::fclose(out);
  }
  fs::remove_all(dir);
}

}  // namespace
}  // namespace flashpost::platform
