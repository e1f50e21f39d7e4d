// `flashpost terminal` against the simulated module on a pseudo-terminal.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "cli/terminal_command.h"
#include "e2e/cli_test_support.h"
#include "sim/simulated_module.h"

namespace flashpost {
namespace {

std::string Contents(std::FILE* f) {
  std::rewind(f);
  std::string text;
  char buffer[4096];
  size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0) text.append(buffer, n);
  return text;
}

TEST(TerminalCommandTest, PrintsTheLiveLinesForTheGivenSecondsAndExitsZero) {
  platform::ScaledClock clock(5.0);
  sim::SimulatedModule module(sim::ModuleOptions{}, clock);
  ASSERT_TRUE(module.ok());
  module.Start();
  testing::ListedPorts serial({module.PortPath()});
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  ASSERT_TRUE(out && err);

  cli::TerminalOptions options;
  options.port = module.PortPath();
  options.baud = "9600";
  options.seconds = 5;
  const uint32_t start = clock.Ticks();
  EXPECT_EQ(cli::RunTerminal(options, clock, serial, out, err), 0);
  // The seconds asked for, not a second more for the close.
  EXPECT_GE(clock.Ticks() - start, 5000u);
  EXPECT_LT(clock.Ticks() - start, 6000u);
  const std::string printed = Contents(out);
  EXPECT_NE(printed.find("$GPGSA,"), std::string::npos) << printed;
  EXPECT_EQ(printed.find('\r'), std::string::npos);
  EXPECT_NE(Contents(err).find("Connected : " + module.PortPath() + " / 9600 bps"),
            std::string::npos);
  std::fclose(out);
  std::fclose(err);

  // A listed port that does not open fails the station.
  testing::ListedPorts missing({"/dev/no-such-port"});
  out = std::tmpfile();
  err = std::tmpfile();
  options.port = "/dev/no-such-port";
  EXPECT_EQ(cli::RunTerminal(options, clock, missing, out, err), 3);
  EXPECT_NE(Contents(err).find("Cannot open /dev/no-such-port port !"), std::string::npos);
  EXPECT_EQ(Contents(out), "");
  std::fclose(out);
  std::fclose(err);
}

}  // namespace
}  // namespace flashpost
