// The module test's commands on the device core: the customer ID and the C/N0 test start.
// Driven with ticks: no pty, no thread, no sleep.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/kx420_device.h"
#include "sim/sim_test_util.h"

namespace flashpost::sim {
namespace {

using testing::ChecksumOk;
using testing::GsvSatellites;
using testing::Sentence;
using testing::Sentences;
using testing::StrongestCn0;

constexpr LineState k9600{9600, true};

ModuleOptions Quiet() {
  ModuleOptions o;
  o.nmea_period_ms = 0;
  return o;
}

void Send(Kx420Device& d, uint32_t tick, const std::string& bytes) {
  d.Receive(tick, k9600, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string Out(Kx420Device& d, uint32_t tick) {
  auto bytes = d.Transmit(tick, k9600);
  return std::string(bytes.begin(), bytes.end());
}

TEST(CustomerIdTest, TakesTheIdAndConfirmsItInTwoSentences) {
  Kx420Device d(Quiet());
  Send(d, 100, Sentence("PQRV29,CUST-0042"));
  const std::string out = Out(d, 100);
  auto s = Sentences(out);
  ASSERT_EQ(s.size(), 2u) << out;
  EXPECT_EQ(s[0].substr(0, 9), "$PQRV200*");
  EXPECT_TRUE(ChecksumOk(s[0])) << s[0];
  EXPECT_EQ(s[1].substr(0, s[1].find('*')), "$PQRV28,01,CUST-0042");
  EXPECT_TRUE(ChecksumOk(s[1])) << s[1];
  EXPECT_EQ(out.substr(out.size() - 2), "\r\n");
  EXPECT_EQ(d.CustomerId(), "CUST-0042");
  EXPECT_EQ(Out(d, 1000), "");  // confirmed once

  // A second ID replaces the first, and the report names the new one.
  Send(d, 2000, Sentence("PQRV29,B,2"));
  const std::string report = Sentences(Out(d, 2000)).at(1);
  EXPECT_EQ(report.substr(0, report.find('*')), "$PQRV28,01,B,2");
  EXPECT_EQ(d.CustomerId(), "B,2");
  EXPECT_EQ(d.CustomerIdCommands(), 2);
}

TEST(CustomerIdTest, CommandsThatAreNotRightAreIgnored) {
  const std::string good = Sentence("PQRV29,ABC");
  std::string wrong = good;
  wrong[wrong.size() - 3] = wrong[wrong.size() - 3] == '0' ? '1' : '0';
  const std::vector<std::string> bad = {
      wrong,               // wrong checksum
      "$PQRV29,ABC\r\n",   // no checksum
      Sentence("PQRV29"),  // no ID field at all
      Sentence("PQRV290,ABC"),
      "$PQRV29,ABK*6a\r\n",  // the checksum digits must be upper case
  };
  for (const std::string& command : bad) {
    SCOPED_TRACE(command);
    ModuleOptions o = Quiet();
    o.customer_id = "OLD";
    Kx420Device d(o);
    Send(d, 0, command);
    EXPECT_EQ(Out(d, 0), "");
    EXPECT_EQ(d.CustomerId(), "OLD");
  }
  Kx420Device d(Quiet());
  Send(d, 0, "$PQRV29,ABK*6A\r\n");  // the same in upper case is taken
  EXPECT_EQ(d.CustomerId(), "ABK");
}

TEST(CustomerIdTest, ModuleThatNeverConfirmsKeepsItsOldId) {
  ModuleOptions o = Quiet();
  o.customer_id = "OLD";
  o.confirm_customer_id = false;
  Kx420Device d(o);
  Send(d, 0, Sentence("PQRV29,NEW"));
  EXPECT_EQ(Out(d, 0) + Out(d, 5000), "");
  EXPECT_EQ(d.CustomerId(), "OLD");
  // The rest of the firmware still answers.
  Send(d, 6000, testing::Probe());
  EXPECT_EQ(Sentences(Out(d, 6000)).at(0).substr(0, 9), "$PQRV100,");
}

TEST(CustomerIdTest, LateModuleConfirmsAfterItsDelay) {
  ModuleOptions o = Quiet();
  o.reply_delay_ms = 800;
  Kx420Device d(o);
  Send(d, 1000, Sentence("PQRV29,X"));
  EXPECT_EQ(Out(d, 1799), "");
  EXPECT_EQ(Sentences(Out(d, 1800)).size(), 2u);
}

TEST(Cn0TestTest, StrongestSatelliteHasExactlyTheConfiguredCn0) {
  for (int cn0 : {45, 40, 39, 60, 99, 3, 1}) {
    SCOPED_TRACE(cn0);
    ModuleOptions o = Quiet();
    o.strongest_cn0 = cn0;
    Kx420Device d(o);
    Send(d, 0, Sentence("PQRV02,5C"));
    const std::string out = Out(d, 0);
    auto sats = GsvSatellites(out);
    ASSERT_EQ(sats.size(), 9u) << out;  // the whole default group, SBAS satellite included
    EXPECT_EQ(StrongestCn0(sats), cn0);
    int at_strongest = 0;
    bool sbas = false;
    for (const auto& s : sats) {
      at_strongest += !s.cn0.empty() && std::stoi(s.cn0) == cn0;
      sbas = sbas || s.prn > 32;
    }
    EXPECT_EQ(at_strongest, 1);  // the others are weaker
    EXPECT_TRUE(sbas);
    for (const auto& s : Sentences(out)) EXPECT_TRUE(ChecksumOk(s)) << s;
  }
}

TEST(Cn0TestTest, NothingTrackedAtCn0Zero) {
  ModuleOptions o = Quiet();
  o.strongest_cn0 = 0;
  Kx420Device d(o);
  Send(d, 0, Sentence("PQRV02,5C"));
  auto sats = GsvSatellites(Out(d, 0));
  ASSERT_EQ(sats.size(), 9u);
  for (const auto& s : sats) EXPECT_EQ(s.cn0, "") << s.prn;
}

TEST(Cn0TestTest, WithoutPeriodicReportsTheTestStartsGsvEverySecond) {
  Kx420Device d(Quiet());
  EXPECT_EQ(Out(d, 0) + Out(d, 3000), "");  // nothing before the test
  Send(d, 3000, Sentence("PQRV02,5C"));
  EXPECT_EQ(GsvSatellites(Out(d, 3000)).size(), 9u);
  EXPECT_EQ(d.TestStarts(), 1);
  EXPECT_EQ(Out(d, 3999), "");
  const std::string next = Out(d, 4000);
  EXPECT_EQ(GsvSatellites(next).size(), 9u) << next;
  for (const auto& s : Sentences(next)) EXPECT_EQ(s.substr(0, 7), "$GPGSV,") << s;
  EXPECT_EQ(GsvSatellites(Out(d, 5000)).size(), 9u);
}

TEST(Cn0TestTest, PeriodicModuleAnswersAtOnceAndKeepsItsPeriod) {
  ModuleOptions o;  // reports every second
  o.strongest_cn0 = 42;
  Kx420Device d(o);
  Out(d, 0);
  Send(d, 300, Sentence("PQRV02,5C"));
  EXPECT_EQ(StrongestCn0(GsvSatellites(Out(d, 300))), 42);
  const std::string periodic = Out(d, 1000);
  EXPECT_NE(periodic.find("$GPGGA,"), std::string::npos);  // the full set, as before
  EXPECT_EQ(StrongestCn0(GsvSatellites(periodic)), 42);
}

TEST(Cn0TestTest, BadTestCommandStartsNothing) {
  Kx420Device d(Quiet());
  Send(d, 0, "$PQRV02,5C*00\r\n");
  Send(d, 0, Sentence("PQRV02,5D"));
  EXPECT_EQ(Out(d, 0) + Out(d, 1000) + Out(d, 2000), "");
  EXPECT_EQ(d.TestStarts(), 0);
}

TEST(Cn0TestTest, ShiftKeepsTheShapeOfTheSky) {
  const std::vector<Satellite> sky = {{1, 0, 0, 30}, {2, 0, 0, 47}, {3, 0, 0, 47}, {40, 0, 0, -1}};
  auto up = WithStrongestCn0(sky, 50);
  EXPECT_EQ(up[1].cn0, 50);  // the first of equals is the strongest
  EXPECT_EQ(up[2].cn0, 49);  // its equal is kept below
  EXPECT_EQ(up[0].cn0, 33);
  EXPECT_EQ(up[3].cn0, -1);  // untracked stays untracked
  auto down = WithStrongestCn0(sky, 10);
  EXPECT_EQ(down[1].cn0, 10);
  EXPECT_EQ(down[0].cn0, -1);  // 30 - 37 falls below 1: no longer tracked
}

}  // namespace
}  // namespace flashpost::sim
