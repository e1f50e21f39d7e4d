// The module's byte-level behaviour, driven directly with ticks: no pty, no thread, no sleep.

#include "sim/kx420_device.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim_test_util.h"

namespace flashpost::sim {
namespace {

using testing::ChecksumOk;
using testing::Fields;
using testing::Probe;
using testing::Sentences;
using testing::StartsWith;

constexpr LineState k9600{9600, true};
constexpr LineState k115200{115200, true};

ModuleOptions Quiet() {
  ModuleOptions o;
  o.nmea_period_ms = 0;
  return o;
}

void Send(Kx420Device& d, uint32_t tick, const std::string& bytes, LineState line = k9600) {
  d.Receive(tick, line, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

std::string Out(Kx420Device& d, uint32_t tick, LineState line = k9600) {
  auto bytes = d.Transmit(tick, line);
  return std::string(bytes.begin(), bytes.end());
}

TEST(Kx420DeviceTest, AnswersTheProbeWithItsVersion) {
  ModuleOptions o = Quiet();
  o.version_field3 = "3";
  o.version_field4 = "10";
  Kx420Device d(o);
  Send(d, 100, Probe());
  std::string reply = Out(d, 100);
  ASSERT_TRUE(StartsWith(reply, "$PQRV100,")) << reply;
  ASSERT_EQ(reply.substr(reply.size() - 2), "\r\n");
  std::string sentence = reply.substr(0, reply.size() - 2);
  EXPECT_TRUE(ChecksumOk(sentence)) << sentence;
  auto f = Fields(sentence);
  ASSERT_GE(f.size(), 5u);
  EXPECT_EQ(f[2], "3");
  EXPECT_EQ(f[3], "10");
  EXPECT_EQ(d.VersionReports(), 1);
  EXPECT_EQ(Out(d, 200), "");  // answered once
}

TEST(Kx420DeviceTest, DefaultVersionIsFiveOne) {
  Kx420Device d(Quiet());
  Send(d, 0, Probe());
  auto f = Fields(Sentences(Out(d, 0)).at(0));
  EXPECT_EQ(f.at(2), "5");
  EXPECT_EQ(f.at(3), "1");
}

TEST(Kx420DeviceTest, IgnoresProbesThatAreNotExactlyRight) {
  const char* bad[] = {
      "$PQRV14,8*15\r\n",   // wrong checksum
      "$PQRV14,8\r\n",      // no checksum
      "$PQRV14,8*14\n",     // LF without CR
      "$PQRV14,9*15\r\n",   // another body, right checksum
      "$PQRV14,8,*38\r\n",  // an extra field
      "PQRV14,8*14\r\n",    // no "$"
  };
  for (const char* probe : bad) {
    SCOPED_TRACE(probe);
    Kx420Device d(Quiet());
    Send(d, 0, probe);
    EXPECT_EQ(Out(d, 0), "");
    EXPECT_EQ(d.VersionReports(), 0);
  }
}

TEST(Kx420DeviceTest, FindsTheProbeInJunkAndAcrossReads) {
  Kx420Device d(Quiet());
  std::string bytes = std::string("\x81\x00 $GPGG", 8) + Probe() + "$PQ" + Probe();
  for (size_t i = 0; i < bytes.size(); ++i) Send(d, static_cast<uint32_t>(i), bytes.substr(i, 1));
  EXPECT_EQ(Sentences(Out(d, 1000)).size(), 2u);  // each probe is answered
  EXPECT_EQ(d.VersionReports(), 2);
}

TEST(Kx420DeviceTest, BytesAtAnotherSpeedOrFramingAreNotUnderstood) {
  Kx420Device d(Quiet());
  EXPECT_TRUE(d.Understands(k9600));
  EXPECT_TRUE(d.Understands(k115200));  // the boot kernel listens there, the firmware does not
  EXPECT_FALSE(d.Understands({19200, true}));
  EXPECT_FALSE(d.Understands({9600, false}));
  Send(d, 0, Probe(), k115200);
  Send(d, 5, Probe(), {19200, true});
  Send(d, 10, Probe(), {9600, false});
  EXPECT_EQ(Out(d, 20), "");
  EXPECT_EQ(d.VersionReports(), 0);
}

TEST(Kx420DeviceTest, GarbageAtAnotherSpeedBreaksASentenceInProgress) {
  Kx420Device d(Quiet());
  std::string probe = Probe();
  Send(d, 0, probe.substr(0, 6));
  Send(d, 5, "xyz", k115200);
  Send(d, 10, probe.substr(6));
  EXPECT_EQ(Out(d, 20), "");
}

TEST(Kx420DeviceTest, LateAnswerWaitsForTheDelay) {
  ModuleOptions o = Quiet();
  o.reply_delay_ms = 1500;
  Kx420Device d(o);
  Send(d, 1000, Probe());
  EXPECT_EQ(d.IdleFor(1000), Device::kMaxIdleMs);  // asked again before the answer is due
  EXPECT_EQ(Out(d, 2000), "");
  EXPECT_EQ(d.IdleFor(2000), 500u);
  EXPECT_EQ(Out(d, 2499), "");
  EXPECT_EQ(d.IdleFor(2499), 1u);
  EXPECT_TRUE(StartsWith(Out(d, 2500), "$PQRV100,"));
  EXPECT_EQ(d.IdleFor(2500), Device::kMaxIdleMs);
}

TEST(Kx420DeviceTest, AnswerDueWhileTheProgramIsAtAnotherSpeedIsLost) {
  ModuleOptions o = Quiet();
  o.reply_delay_ms = 500;
  Kx420Device d(o);
  Send(d, 0, Probe());
  EXPECT_EQ(Out(d, 600, k115200), "");
  EXPECT_EQ(Out(d, 700), "");
  EXPECT_EQ(d.VersionReports(), 0);
}

TEST(Kx420DeviceTest, ReportsEveryPeriodWithValidSentences) {
  Kx420Device d(ModuleOptions{});
  EXPECT_EQ(d.IdleFor(0), 0u);
  EXPECT_EQ(Out(d, 0), "");  // the first report comes one period after the start
  EXPECT_EQ(d.IdleFor(0), 1000u);
  EXPECT_EQ(Out(d, 999), "");
  std::string burst = Out(d, 1000);
  EXPECT_EQ(d.IdleFor(1000), 1000u);

  auto sentences = Sentences(burst);
  std::string rebuilt;
  for (const auto& s : sentences) rebuilt += s + "\r\n";
  EXPECT_EQ(rebuilt, burst);  // nothing but sentences, each ending in CR LF
  std::vector<std::string> heads;
  for (const auto& s : sentences) {
    EXPECT_TRUE(ChecksumOk(s)) << s;
    heads.push_back(s.substr(0, s.find(',')));
  }
  EXPECT_EQ(heads, (std::vector<std::string>{"$GPGGA", "$GPGSA", "$GPGSV", "$GPGSV", "$GPGSV",
                                             "$GLGSV", "$GPRMC"}));
  EXPECT_EQ(sentences[1][9], '3');  // GSA fix type, where the program reads it
  EXPECT_EQ(Fields(sentences[0])[0], "080001.00");

  EXPECT_EQ(Out(d, 1999), "");
  EXPECT_NE(Out(d, 2000), "");
}

TEST(Kx420DeviceTest, GsvGroupComesFromTheConfiguredSatellites) {
  ModuleOptions o;
  o.satellites = {{2, 10, 20, 40}, {35, 5, 300, 25}, {7, 80, 0, -1}, {9, 1, 1, 1}, {11, 2, 2, 2}};
  Kx420Device d(o);
  Out(d, 0);
  std::vector<std::string> gsv;
  for (const auto& s : Sentences(Out(d, 1000))) {
    if (StartsWith(s, "$GPGSV")) gsv.push_back(s.substr(0, s.find('*')));
    if (StartsWith(s, "$GPGSA")) {
      EXPECT_EQ(Fields(s)[2], "02");  // the first satellite used
    }
  }
  EXPECT_EQ(gsv, (std::vector<std::string>{
                     "$GPGSV,2,1,05,02,10,020,40,35,05,300,25,07,80,000,,09,01,001,01",
                     "$GPGSV,2,2,05,11,02,002,02"}));
}

TEST(Kx420DeviceTest, DefaultSkyHasNineVariedSatellitesOneAbove32) {
  auto sats = DefaultSatellites();
  ASSERT_EQ(sats.size(), 9u);
  int above32 = 0, strongest = 0, weakest = 99;
  for (const auto& s : sats) {
    above32 += s.prn > 32;
    strongest = std::max(strongest, s.cn0);
    weakest = std::min(weakest, s.cn0);
  }
  EXPECT_EQ(above32, 1);
  EXPECT_GE(strongest - weakest, 15);
}

TEST(Kx420DeviceTest, FixTypeOption) {
  ModuleOptions o;
  o.fix_type = 2;
  Kx420Device d(o);
  Out(d, 0);
  auto sentences = Sentences(Out(d, 1000));
  ASSERT_GE(sentences.size(), 2u);
  EXPECT_EQ(Fields(sentences[1])[1], "2");
}

TEST(Kx420DeviceTest, CorruptGsvOptionSpoilsEveryGpgsvAndNothingElse) {
  ModuleOptions o;
  o.corrupt_gsv_checksum = true;
  Kx420Device d(o);
  Out(d, 0);
  int gsv = 0;
  for (const auto& s : Sentences(Out(d, 1000))) {
    bool is_gsv = StartsWith(s, "$GPGSV");
    gsv += is_gsv;
    EXPECT_EQ(ChecksumOk(s), !is_gsv) << s;
  }
  EXPECT_EQ(gsv, 3);
}

TEST(Kx420DeviceTest, NoiseLiesBetweenSentencesAndNeverLooksLikeOne) {
  ModuleOptions o;
  o.noise_between_sentences = true;
  Kx420Device d(o);
  Out(d, 0);
  std::string burst = Out(d, 1000);
  auto sentences = Sentences(burst);
  ASSERT_EQ(sentences.size(), 7u);
  for (const auto& s : sentences) EXPECT_TRUE(ChecksumOk(s)) << s;
  EXPECT_TRUE(StartsWith(burst, "$GPGGA"));
  EXPECT_NE(burst.find('\x81'), std::string::npos);
  EXPECT_NE(burst.find("$GLGSA"), std::string::npos);  // another talker's fragment

  // Every "$GP" or "$PQ" in the stream starts a whole valid sentence, as the program's reader
  // relies on: junk must not open a sentence it would keep.
  std::string junk_free;
  for (const auto& s : sentences) junk_free += s + "\r\n";
  EXPECT_GT(burst.size(), junk_free.size());
  for (size_t pos = 0; (pos = burst.find('$', pos)) != std::string::npos; ++pos) {
    std::string head = burst.substr(pos, 3);
    if (head != "$GP" && head != "$PQ") continue;
    size_t end = burst.find("\r\n", pos);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(ChecksumOk(burst.substr(pos, end - pos))) << burst.substr(pos, end - pos);
  }
}

TEST(Kx420DeviceTest, OutputAtAnotherSpeedIsLostButTheScheduleRunsOn) {
  Kx420Device d(ModuleOptions{});
  Out(d, 0);
  EXPECT_EQ(Out(d, 1000, k115200), "");
  EXPECT_EQ(Out(d, 1500), "");  // not held back for later
  EXPECT_NE(Out(d, 2000), "");
}

TEST(Kx420DeviceTest, SilentModuleNeitherAnswersNorReports) {
  ModuleOptions o;
  o.silent = true;
  Kx420Device d(o);
  for (uint32_t t = 0; t <= 5000; t += 250) {
    if (t == 500) Send(d, t, Probe());
    EXPECT_EQ(Out(d, t), "") << t;
  }
  EXPECT_EQ(d.VersionReports(), 0);
  EXPECT_EQ(d.IdleFor(0), Device::kMaxIdleMs);
}

TEST(Kx420DeviceTest, TimesRunAcrossTheTickWrap) {
  ModuleOptions o;
  o.reply_delay_ms = 300;
  Kx420Device d(o);
  const uint32_t start = 0xFFFFFF00u;
  Out(d, start);
  Send(d, start + 100, Probe());
  EXPECT_EQ(Out(d, start + 399), "");
  EXPECT_TRUE(StartsWith(Out(d, start + 400), "$PQRV100,"));  // tick 0x90, past the wrap
  EXPECT_EQ(d.IdleFor(start + 400), 600u);
  EXPECT_TRUE(StartsWith(Out(d, start + 1000), "$GPGGA"));
}

}  // namespace
}  // namespace flashpost::sim
