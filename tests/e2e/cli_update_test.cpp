// `flashpost update` as a line-control system would run it, against the simulated module.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/update_command.h"
#include "sim/simulated_module.h"

namespace flashpost {
namespace {

// Runs the command with its output captured.
int RunCaptured(const cli::UpdateOptions& options, platform::Clock& clock, std::string& out) {
  auto serial = platform::MakeHostSerialSystem();
  std::FILE* f = std::tmpfile();
  int status = cli::RunUpdate(options, clock, *serial, f);
  std::rewind(f);
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
  std::fclose(f);
  return status;
}

TEST(CliUpdateTest, JsonEventsFollowTheRoadToSuccess) {
  platform::ScaledClock clock(20.0);
  sim::SimulatedModule module({}, clock);
  ASSERT_TRUE(module.ok());
  module.Start();
  cli::UpdateOptions options{module.PortPath(), "9600", /*json=*/true};
  std::string out;
  EXPECT_EQ(RunCaptured(options, clock, out), 0) << out;
  EXPECT_NE(out.find("\"status\": \" F/W Ver: 5.1\", \"color\": \"navy\""), std::string::npos)
      << out;
  EXPECT_NE(out.find("\"status\": \" FW(AP) update OK!(OK)\", \"color\": \"green\", "
                     "\"progress\": 100}"),
            std::string::npos)
      << out;
  // One object per line, each with the same four keys.
  size_t lines = 0;
  for (size_t at = 0; at < out.size(); at = out.find('\n', at) + 1) {
    ++lines;
    EXPECT_EQ(out.compare(at, 7, "{\"ms\": "), 0) << out.substr(at, 40);
  }
  EXPECT_GE(lines, 4u);
}

TEST(CliUpdateTest, AMissingPortFailsWithTheStatusText) {
  platform::ScaledClock clock(20.0);
  cli::UpdateOptions options{"/dev/flashpost-none", "9600", false};
  std::string out;
  EXPECT_EQ(RunCaptured(options, clock, out), 1);
  EXPECT_NE(out.find("[red] Cannot open /dev/flashpost-none port !"), std::string::npos) << out;
}

TEST(CliUpdateTest, UsageErrorsAreReported) {
  cli::UpdateOptions options;
  std::string error;
  EXPECT_FALSE(cli::ParseUpdateOptions({"--baud", "9600"}, options, error));
  EXPECT_EQ(error, "update needs --port NAME");
  EXPECT_FALSE(cli::ParseUpdateOptions({"--port"}, options, error));
  EXPECT_FALSE(cli::ParseUpdateOptions({"--port", "x", "--bogus"}, options, error));
  cli::UpdateOptions fresh;
  EXPECT_TRUE(cli::ParseUpdateOptions({"--port", "x", "--json"}, fresh, error));
  EXPECT_TRUE(fresh.json);
  EXPECT_EQ(fresh.port, "x");
  EXPECT_EQ(fresh.baud, "115200");
}

}  // namespace
}  // namespace flashpost
