#include "sim/nmea.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/sim_test_util.h"

namespace flashpost::sim::nmea {
namespace {

using sim::testing::ChecksumOk;
using sim::testing::Fields;

TEST(SimNmeaTest, FramesWithUpperCaseChecksumAndCrLf) {
  EXPECT_EQ(Checksum("PQRV14,8"), 0x14);
  EXPECT_EQ(Frame("PQRV14,8"), "$PQRV14,8*14\r\n");
  EXPECT_EQ(Frame("PQRV02,5C"), "$PQRV02,5C*5D\r\n");  // letters come out upper-case
  EXPECT_EQ(Frame("PQRV11,1,0,6,2,0").size(), 22u);
  EXPECT_EQ(Frame(""), "$*00\r\n");
}

TEST(SimNmeaTest, WrongChecksumIsStillHexadecimalButDoesNotMatch) {
  std::string bad = FrameWithWrongChecksum("GPGSV,1,1,00");
  ASSERT_EQ(bad.size(), Frame("GPGSV,1,1,00").size());
  EXPECT_NE(bad, Frame("GPGSV,1,1,00"));
  EXPECT_TRUE(isxdigit(bad[bad.size() - 4]) && isxdigit(bad[bad.size() - 3]));
  EXPECT_FALSE(ChecksumOk(bad.substr(0, bad.size() - 2)));
}

TEST(SimNmeaTest, CheckedBodyTakesOnlyMatchingUpperCaseDigits) {
  struct Case {
    const char* text;
    bool ok;
  };
  const Case cases[] = {
      {"PQRV14,8*14", true},   {"PQRV14,8*15", false},   // wrong value
      {"PQRV02,5C*5D", true},  {"PQRV02,5C*5d", false},  // lower-case digit
      {"PQRV14,8", false},                               // no checksum
      {"PQRV14,8*1", false},                             // one digit
      {"PQRV14,8*144", false},                           // trailing character
      {"PQRV14,8*G4", false},                            // not hexadecimal
      {"*00", true},                                     // empty body
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto body = CheckedBody(c.text);
    EXPECT_EQ(body.has_value(), c.ok);
    if (body) {
      EXPECT_EQ(*body, std::string(c.text).substr(0, std::string(c.text).find('*')));
    }
  }
}

std::vector<std::string> Cut(LineCutter& cutter, const std::string& bytes) {
  std::vector<std::string> lines;
  for (char c : bytes) {
    if (cutter.Feed(static_cast<uint8_t>(c))) lines.push_back(cutter.Text());
  }
  return lines;
}

TEST(SimNmeaTest, LineCutterFindsSentencesInJunk) {
  LineCutter cutter;
  static const char kStream[] = "\x81\xFF junk\r\n$PQRV14,8*14\r\n\x00$AB*03\r\n";
  EXPECT_EQ(Cut(cutter, std::string(kStream, sizeof kStream - 1)),
            (std::vector<std::string>{"PQRV14,8*14", "AB*03"}));
}

TEST(SimNmeaTest, LineCutterRestartsAtDollarAndDropsBrokenLines) {
  LineCutter cutter;
  EXPECT_EQ(Cut(cutter, "$PQRV1$PQRV14,8*14\r\n"), (std::vector<std::string>{"PQRV14,8*14"}));
  EXPECT_TRUE(Cut(cutter, "$PQRV14,8*14\n").empty());     // no CR before the LF
  EXPECT_TRUE(Cut(cutter, "$PQRV14,8*14\rx\n").empty());  // CR not followed by LF
  EXPECT_TRUE(Cut(cutter, "PQRV14,8*14\r\n").empty());    // no "$"
  EXPECT_EQ(Cut(cutter, "$AB*03\r\n"), (std::vector<std::string>{"AB*03"}));
}

TEST(SimNmeaTest, LineCutterDropsOverLongLinesAndResets) {
  LineCutter cutter;
  EXPECT_TRUE(Cut(cutter, "$" + std::string(LineCutter::kMaxText + 1, 'A') + "\r\n").empty());
  EXPECT_EQ(Cut(cutter, "$" + std::string(LineCutter::kMaxText, 'A') + "\r\n").size(), 1u);
  Cut(cutter, "$PQRV14,");
  cutter.Reset();
  EXPECT_TRUE(Cut(cutter, "8*14\r\n").empty());
}

TEST(SimNmeaTest, GsvGroupsHoldFourSatellitesPerSentence) {
  std::vector<Satellite> sats;
  for (int i = 0; i < 9; ++i) sats.push_back({i + 1, 10 + i, 100 + i, 30 + i});
  sats[8].prn = 46;
  sats[8].cn0 = -1;  // in view, not tracked
  auto bodies = GsvBodies("GP", sats);
  ASSERT_EQ(bodies.size(), 3u);
  EXPECT_EQ(bodies[0], "GPGSV,3,1,09,01,10,100,30,02,11,101,31,03,12,102,32,04,13,103,33");
  EXPECT_EQ(bodies[1], "GPGSV,3,2,09,05,14,104,34,06,15,105,35,07,16,106,36,08,17,107,37");
  EXPECT_EQ(bodies[2], "GPGSV,3,3,09,46,18,108,");

  EXPECT_EQ(GsvBodies("GP", {}), (std::vector<std::string>{"GPGSV,1,1,00"}));
  EXPECT_EQ(GsvBodies("GL", {{65, 40, 100, 35}}),
            (std::vector<std::string>{"GLGSV,1,1,01,65,40,100,35"}));

  std::vector<Satellite> many(40, Satellite{1, 2, 3, 4});
  auto capped = GsvBodies("GP", many);
  ASSERT_EQ(capped.size(), 9u);  // the sentence count is a single digit
  EXPECT_EQ(Fields(Frame(capped[8]).substr(0, Frame(capped[8]).size() - 2))[2], "36");
}

TEST(SimNmeaTest, FixSentencesCarryTimeFixTypeAndUsedSatellites) {
  FixReport fix;
  fix.time_of_day_s = 8 * 3600 + 61;
  fix.fix_type = 3;
  fix.used_prns = {3, 46};
  EXPECT_EQ(GgaBody(fix), "GPGGA,080101.00,2447.0658,N,12100.4583,E,1,02,0.9,112.3,M,17.8,M,,");
  EXPECT_EQ(GsaBody(fix), "GPGSA,A,3,03,46,,,,,,,,,,,1.8,0.9,1.5");
  EXPECT_EQ(RmcBody(fix), "GPRMC,080101.00,A,2447.0658,N,12100.4583,E,0.0,0.0,010324,,,A");

  fix.fix_type = 1;
  EXPECT_EQ(Fields(GgaBody(fix))[5], "0");  // no fix: quality 0
  EXPECT_EQ(GsaBody(fix), "GPGSA,A,1,,,,,,,,,,,,,99.9,99.9,99.9");
  EXPECT_EQ(Fields(RmcBody(fix))[1], "V");
}

}  // namespace
}  // namespace flashpost::sim::nmea
