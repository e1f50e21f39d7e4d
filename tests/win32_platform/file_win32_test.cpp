// The selected firmware file and the terminal check on Windows: what the multi-port page and the
// command line rely on, with the Windows file system's own rules.

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

class Win32FileTest : public ::testing::Test {
 protected:
  Win32FileTest() {
    dir_ = fs::temp_directory_path() /
           ("flashpost-file-" +
            std::string(::testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::create_directories(dir_);
  }
  ~Win32FileTest() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
    EXPECT_FALSE(ec) << "cannot remove " << dir_ << ": " << ec.message();
  }

  std::string Make(const std::string& name, uintmax_t size) {
    fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary).close();
    fs::resize_file(path, size);
    return path.string();
  }

  fs::path dir_;
};

TEST_F(Win32FileTest, TheSizeIsTheFilesExactSize) {
  for (uintmax_t size : {uintmax_t{0}, uintmax_t{1}, uintmax_t{524288}}) {
    SCOPED_TRACE(size);
    auto file = OpenHeldFile(Make("image-" + std::to_string(size) + ".bin", size));
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->Size(), std::optional<uint64_t>(size));
  }
}

TEST_F(Win32FileTest, WhatIsNoFileToSizeDoesNotOpen) {
  EXPECT_EQ(OpenHeldFile((dir_ / "missing.bin").string()), nullptr);
  EXPECT_EQ(OpenHeldFile(dir_.string()), nullptr) << "a folder";
  EXPECT_EQ(OpenHeldFile("NUL"), nullptr) << "a device";
  EXPECT_EQ(OpenHeldFile(""), nullptr);
}

TEST_F(Win32FileTest, AHeldFileKeepsWritersOutAndAWrittenFileDoesNotOpen) {
  const std::string path = Make("image.bin", 8192);
  {
    auto held = OpenHeldFile(path);
    ASSERT_NE(held, nullptr);
    EXPECT_FALSE(std::ofstream(path, std::ios::binary | std::ios::app).is_open());
    EXPECT_NE(OpenHeldFile(path), nullptr) << "a second reader may share it";
  }
  {
    std::ofstream writer(path, std::ios::binary | std::ios::app);
    ASSERT_TRUE(writer.is_open()) << "the writers' lock must go with the held file";
    EXPECT_EQ(OpenHeldFile(path), nullptr);
  }
  EXPECT_NE(OpenHeldFile(path), nullptr);
}

TEST_F(Win32FileTest, NeitherAFileNorTheNullDeviceIsATerminal) {
  std::FILE* file = std::fopen(Make("out.txt", 0).c_str(), "w");
  ASSERT_NE(file, nullptr);
  EXPECT_FALSE(IsTerminal(file));
  std::fclose(file);

  // A character device, as a console is, but nothing can be redrawn on it.
  std::FILE* null_device = std::fopen("NUL", "w");
  ASSERT_NE(null_device, nullptr);
  EXPECT_FALSE(IsTerminal(null_device));
  std::fclose(null_device);
}

}  // namespace
}  // namespace flashpost::platform
