// `flashpost update` as a line-control system runs it, against the simulated module.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "cli/update_command.h"
#include "e2e/cli_test_support.h"
#include "sim/simulated_module.h"

namespace flashpost {
namespace {

using testing::ListedPorts;
using testing::Slurp;

class CliUpdateTest : public ::testing::Test {
 protected:
  ~CliUpdateTest() override {
    if (!record_.empty()) std::filesystem::remove(record_);
  }
  void StartModule(const sim::ModuleOptions& options) {
    module_ = std::make_unique<sim::SimulatedModule>(options, clock_);
    ASSERT_TRUE(module_->ok());
    module_->Start();
    options_.port = module_->PortPath();
    options_.baud = std::to_string(options.baud);
  }
  int Run(std::FILE* out = nullptr) {
    ListedPorts serial({module_ ? module_->PortPath() : options_.port});
    std::FILE* err = std::tmpfile();
    std::FILE* captured = out ? out : std::tmpfile();
    const int status = cli::RunUpdate(options_, clock_, serial, captured, err);
    if (out) {
      std::fclose(out);  // a full disk: nothing to read back
    } else {
      out_ = Slurp(captured);
    }
    err_ = Slurp(err);
    return status;
  }
  bool Has(const std::string& text) const { return out_.find(text) != std::string::npos; }
  std::string RecordPath() {
    record_ = (std::filesystem::temp_directory_path() /
               ("flashpost-records-" + std::to_string(std::random_device{}()) + ".jsonl"))
                  .string();
    return record_;
  }

  platform::ScaledClock clock_{20.0};
  std::unique_ptr<sim::SimulatedModule> module_;
  cli::UpdateOptions options_;
  std::string out_, err_, record_;
};

TEST_F(CliUpdateTest, JsonEventsFollowTheRoadToSuccessAndEndWithTheResult) {
  ASSERT_NO_FATAL_FAILURE(StartModule({}));
  options_.json = true;
  EXPECT_EQ(Run(), 0) << out_ << err_;
  EXPECT_TRUE(Has("\"status\": \" F/W Ver: 5.1\", \"color\": \"navy\"")) << out_;
  EXPECT_TRUE(
      Has("\"status\": \" FW(AP) update OK!(OK)\", \"color\": \"green\", "
          "\"progress\": 100}"))
      << out_;
  // Each line one object; the last is the result, with what was sent and what the module said.
  std::string last;
  for (size_t at = 0; at < out_.size(); at = out_.find('\n', at) + 1) {
    EXPECT_EQ(out_.compare(at, 7, "{\"ms\": "), 0) << out_.substr(at, 40);
    last = out_.substr(at, out_.find('\n', at) - at);
  }
  EXPECT_NE(last.find("\"result\": \"pass\""), std::string::npos) << last;
  EXPECT_NE(last.find("\"sent\": [{\"name\": \"ImageP2\", \"crc32\": \""), std::string::npos)
      << last;
  EXPECT_NE(last.find("\"complete\": true}]"), std::string::npos) << last;
  EXPECT_NE(last.find("\"version_before\": \"5.1\""), std::string::npos) << last;
}

TEST_F(CliUpdateTest, EveryRedTextOfAFailingRunIsReported) {
  sim::ModuleOptions options;
  options.dead_firmware = true;
  options.fail_block = 3;
  ASSERT_NO_FATAL_FAILURE(StartModule(options));
  EXPECT_EQ(Run(), 1) << out_;
  // Each attempt's failure stood for a moment only before the next attempt replaced it.
  size_t failures = 0;
  for (size_t at = out_.find("[red] Xmodem_1K Download Failed!\n"); at != std::string::npos;
       at = out_.find("[red] Xmodem_1K Download Failed!\n", at + 1)) {
    ++failures;
  }
  EXPECT_EQ(failures, 2u) << out_;
  EXPECT_TRUE(Has("[red] Restart module and Tool!\n")) << out_;
  EXPECT_TRUE(Has("FAIL Restart module and Tool!  (update, ")) << out_;
  EXPECT_TRUE(Has("sent ImageP2 CRC-32 ")) << out_;
  EXPECT_TRUE(Has("(not all of it)")) << out_;
}

TEST_F(CliUpdateTest, AStableLinkToAListedPortIsTakenAndTheResultNamesIt) {
  ASSERT_NO_FATAL_FAILURE(StartModule({}));
  const std::string link = RecordPath() + ".port";  // as /dev/serial/by-id/... links a port
  std::filesystem::create_symlink(module_->PortPath(), link);
  options_.port = link;
  options_.json = true;
  EXPECT_EQ(Run(), 0) << out_ << err_;
  EXPECT_TRUE(Has("\"port\": \"" + link + "\"")) << out_;
  std::filesystem::remove(link);
}

TEST_F(CliUpdateTest, APortThatDoesNotOpenFailsTheStation) {
  options_.port = "/dev/flashpost-none";  // listed, but not there
  EXPECT_EQ(Run(), 3) << out_;
  EXPECT_TRUE(Has("[red] Cannot open /dev/flashpost-none port !\n")) << out_;
  EXPECT_TRUE(Has("FAIL Cannot open /dev/flashpost-none port !")) << out_;
  EXPECT_TRUE(Has(", no such device)")) << "the cause, in plain words\n" << out_;
}

TEST_F(CliUpdateTest, EachRunAppendsItsRecordAndALostRecordFailsTheRun) {
  ASSERT_NO_FATAL_FAILURE(StartModule({}));
  options_.record = RecordPath();
  ASSERT_EQ(Run(), 0) << out_ << err_;
  ASSERT_EQ(Run(), 0) << out_ << err_;
  std::ifstream file(options_.record);
  std::vector<std::string> lines;
  for (std::string line; std::getline(file, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 2u);
  for (const std::string& line : lines) {
    EXPECT_EQ(line.rfind("{\"ms\": ", 0), 0u) << line;
    EXPECT_NE(line.find("\"utc\": \"20"), std::string::npos) << line;
    EXPECT_NE(line.find("\"host\": \""), std::string::npos) << line;
    EXPECT_NE(line.find("\"program\": \"Flashpost "), std::string::npos) << line;
    EXPECT_NE(line.find("\"port\": \"" + module_->PortPath() + "\""), std::string::npos) << line;
    EXPECT_NE(line.find("\"name\": \"ImageP2\", \"crc32\": \""), std::string::npos) << line;
    EXPECT_NE(line.find("\"duration_ms\": "), std::string::npos) << line;
  }
  // The second run found the firmware of the first.
  EXPECT_NE(lines[1].find("\"version_before\": \"5.1\""), std::string::npos) << lines[1];

  options_.record = "/dev/full";
  EXPECT_EQ(Run(), 3);
  EXPECT_NE(err_.find("cannot write the record file /dev/full"), std::string::npos) << err_;
  options_.record.clear();
  EXPECT_EQ(Run(std::fopen("/dev/full", "w+")), 3);
  EXPECT_NE(err_.find("cannot write the output"), std::string::npos) << err_;
}

TEST_F(CliUpdateTest, VerifyRecordsTheNewFirmwareOrFailsASilentOne) {
  ASSERT_NO_FATAL_FAILURE(StartModule({}));
  options_.verify = true;
  options_.json = true;
  EXPECT_EQ(Run(), 0) << out_;
  EXPECT_TRUE(Has("\"version_after\": \"5.1\"")) << out_;

  sim::ModuleOptions broken;
  broken.dead_after_image = true;
  ASSERT_NO_FATAL_FAILURE(StartModule(broken));
  options_.verify = true;
  options_.verify_timeout_s = 3;
  EXPECT_EQ(Run(), 1) << out_;
  EXPECT_TRUE(
      Has("\"result\": \"fail\", \"status\": \"Verify failed: no NMEA from the module "
          "within 3 s\""))
      << out_;
  EXPECT_EQ(module_->ImagesReceived(), 1) << "the image went in; the firmware did not start";
}

}  // namespace
}  // namespace flashpost
