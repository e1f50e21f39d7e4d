#include "sim/sim_args.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace flashpost::sim {
namespace {

SimArgs Parse(const std::vector<std::string>& args) {
  SimArgs out;
  std::string error;
  EXPECT_TRUE(ParseSimArgs(args, out, error)) << error;
  return out;
}

TEST(SimArgsTest, DefaultsAreOneModuleAt9600Version51) {
  SimArgs a = Parse({});
  EXPECT_EQ(a.modules, 1);
  EXPECT_EQ(a.baud, 9600u);
  EXPECT_EQ(a.version_field3, "5");
  EXPECT_EQ(a.version_field4, "1");
  EXPECT_FALSE(a.silent);
  EXPECT_FALSE(a.dead);
  EXPECT_EQ(a.erase_ms, 2000u);
  EXPECT_EQ(a.fail_block, 0u);
  EXPECT_FALSE(a.pace);
  EXPECT_FALSE(a.export_ports);
  EXPECT_FALSE(a.help);
}

TEST(SimArgsTest, TakesEveryOptionInBothSpellings) {
  SimArgs a =
      Parse({"--modules", "3", "--baud=115200", "--version", "3.10", "--silent", "--export"});
  EXPECT_EQ(a.modules, 3);
  EXPECT_EQ(a.baud, 115200u);
  EXPECT_EQ(a.version_field3, "3");
  EXPECT_EQ(a.version_field4, "10");
  EXPECT_TRUE(a.silent);
  EXPECT_TRUE(a.export_ports);
  a = Parse({"--dead", "--erase-ms=0", "--fail-block", "480", "--pace"});
  EXPECT_TRUE(a.dead);
  EXPECT_EQ(a.erase_ms, 0u);
  EXPECT_EQ(a.fail_block, 480u);
  EXPECT_TRUE(a.pace);
  EXPECT_EQ(Parse({"--modules=16", "--version=X.1b"}).modules, 16);
  EXPECT_EQ(Parse({"--version=X.1b"}).version_field3, "X");  // not a number: the program reads 0
  EXPECT_TRUE(Parse({"--help"}).help);
}

TEST(SimArgsTest, RefusesBadArgumentsWithAReason) {
  const std::vector<std::vector<std::string>> bad = {
      {"--modules"},         {"--modules", "0"},  {"--modules", "17"},   {"--modules", "two"},
      {"--modules", "2x"},   {"--baud", "0"},     {"--baud", "-9600"},   {"--baud", "fast"},
      {"--version", "5"},    {"--version", "5."}, {"--version", ".1"},   {"--version", "5,1.2"},
      {"--version", "5.1*"}, {"--silent=yes"},    {"--frobnicate"},      {"extra"},
      {"--erase-ms", "-1"},  {"--erase-ms"},      {"--fail-block", "0"}, {"--dead=1"},
  };
  for (const auto& args : bad) {
    SimArgs out;
    std::string error;
    EXPECT_FALSE(ParseSimArgs(args, out, error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
}  // namespace flashpost::sim
