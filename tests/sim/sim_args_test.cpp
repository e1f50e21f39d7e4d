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

TEST(SimArgsTest, PerModuleListsRepeatTheirLastEntry) {
  SimArgs a =
      Parse({"--modules", "8", "--cn0", "45,40,39", "--no-id-confirm=7,2", "--boot-menu",
             "menu,banner,silent,off,menu", "--reset-every-ms", "9000", "--boot-window-ms=1500"});
  const int cn0[] = {45, 40, 39, 39, 39, 39, 39, 39};
  const BootMenuKind kinds[] = {
      BootMenuKind::kMenu, BootMenuKind::kBannerOnly, BootMenuKind::kSilent, BootMenuKind::kOff,
      BootMenuKind::kMenu, BootMenuKind::kMenu,       BootMenuKind::kMenu,   BootMenuKind::kMenu};
  for (int k = 0; k < 8; ++k) {
    SCOPED_TRACE(k);
    ModuleOptions o = ModuleOptionsFor(a, k);
    EXPECT_EQ(o.strongest_cn0, cn0[k]);
    EXPECT_EQ(o.confirm_customer_id, k != 7 && k != 2);
    EXPECT_EQ(o.boot.kind, kinds[k]);
    EXPECT_EQ(o.boot.window_ms, 1500u);
    EXPECT_EQ(o.boot.reset_every_ms, 9000u);
  }
  // Without the lists every module is the healthy default.
  ModuleOptions plain = ModuleOptionsFor(Parse({"--modules", "3", "--baud", "4800"}), 2);
  EXPECT_EQ(plain.baud, 4800u);
  EXPECT_EQ(plain.strongest_cn0, -1);
  EXPECT_TRUE(plain.confirm_customer_id);
  EXPECT_EQ(plain.boot.kind, BootMenuKind::kOff);
  EXPECT_EQ(Parse({"--reference-cn0", "50"}).reference_cn0, 50);
  EXPECT_TRUE(Parse({"--reference-cn0", "50"}).reference);
}

TEST(SimArgsTest, RefusesBadPerModuleValuesWithAReason) {
  const std::vector<std::vector<std::string>> bad = {
      {"--cn0", "100"},
      {"--cn0", "45,,39"},
      {"--cn0", "45,"},
      {"--cn0", "-1"},
      {"--cn0", ""},
      {"--reference-cn0", "x"},
      {"--no-id-confirm", "1"},  // one module only: module 1 does not exist
      {"--modules", "4", "--no-id-confirm", "0,4"},
      {"--no-id-confirm", "a"},
      {"--boot-menu", "menu,maybe"},
      {"--boot-menu"},
      {"--boot-window-ms", "0"},
      {"--boot-menu", "menu", "--reset-every-ms", "0"},
      {"--reset-every-ms", "1000"},  // no boot code: nothing to reset
      {"--boot-menu", "off", "--reset-every-ms", "1000"},
  };
  for (const auto& args : bad) {
    SimArgs out;
    std::string error;
    EXPECT_FALSE(ParseSimArgs(args, out, error)) << args[0] << " " << args.back();
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

}  // namespace
}  // namespace flashpost::sim
