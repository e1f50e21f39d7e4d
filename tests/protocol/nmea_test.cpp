#include "protocol/nmea.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "board/port_board.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"
#include "workers/framing.h"

namespace flashpost {
namespace {

using app::kTerminalSlot;
using app::PortBoard;
using Table = std::vector<int32_t>;
namespace fs = std::filesystem;

Table Of(const std::array<std::atomic<int32_t>, PortBoard::kGsvSatellites>& entries) {
  Table out;
  for (auto& entry : entries) out.push_back(entry.load());
  return out;
}

// The NMEA checksum worked out here rather than by the code under test.
uint8_t XorOf(std::string_view text) {
  uint8_t sum = 0;
  for (char c : text) sum ^= static_cast<uint8_t>(c);
  return sum;
}

std::string Hex(uint8_t value) {
  char text[3];
  std::snprintf(text, sizeof text, "%02X", value);
  return text;
}

// "$" and the rest of a sentence up to its "*"; adds "*", the checksum (one off when bad) and
// the CR a module sends before its LF.
std::string Sentence(std::string_view up_to_star, bool bad = false) {
  return std::string(up_to_star) + "*" + Hex(XorOf(up_to_star.substr(1)) ^ (bad ? 1 : 0)) + "\r";
}

TEST(NmeaChecksumTest, CoversTheCharactersBetweenDollarAndTheFirstStar) {
  for (std::string_view sentence : {"$GPGSA,A,3,20,,,,13,31,,04,,,,,02.7*05\r", "$PQRV14,8*x*y",
                                    "$GPGGA,,,*", "$GPGLL,4808.9993,N", "$", "$*"}) {
    const auto covered = XorOf(sentence.substr(1, sentence.find('*') - 1));
    EXPECT_EQ(std::string(protocol::NmeaChecksum(sentence).text), Hex(covered)) << sentence;
  }
}

TEST(NmeaChecksumTest, VerifyReadsTheDigitsTheWayTheModuleDoes) {
  const std::string head = "$GPGSV,1,1,01,05,40,083,46";
  const struct {
    std::string sentence;
    bool passes;
  } cases[] = {{Sentence(head), true},
               {Sentence(head, true), false},
               {head, false},
               {"", false},
               {"*", false},
               {"$:*3A", true},
               {"$:*3a", false},  // a lower-case second digit counts 32 too high
               {"$\xA3*A3", true},
               {"$\xA3*a3", true},  // a lower-case first digit loses its excess beyond 8 bits
               {"$\xA3*A4", false},
               {"$\xA3*B3", false}};
  for (const auto& c : cases) {
    EXPECT_EQ(protocol::VerifyNmeaChecksum(c.sentence), c.passes) << c.sentence;
  }
  // Views that end before the second digit, with the true digits still in memory behind them.
  const std::string whole = Sentence(head);
  for (size_t length : {head.size(), head.size() + 1, head.size() + 2}) {
    EXPECT_FALSE(protocol::VerifyNmeaChecksum(std::string_view(whole).substr(0, length))) << length;
  }
}

TEST(NmeaFieldTest, OnlyWholeNumbersConvert) {
  EXPECT_EQ(protocol::NmeaFieldToInt("35"), 35);
  EXPECT_EQ(protocol::NmeaFieldToInt("007"), 7);
  EXPECT_EQ(protocol::NmeaFieldToInt("-3"), -3);
  EXPECT_EQ(protocol::NmeaFieldToInt("+3"), 3);
  for (std::string_view not_a_number :
       {"", "-", "+", "+-3", "4F", "46\r", " 46", "1.5", "2147483648", "99999999999999999999"}) {
    EXPECT_EQ(protocol::NmeaFieldToInt(not_a_number), 0) << not_a_number;
  }
}

class NmeaTest : public ::testing::Test {
 protected:
  static constexpr int kSlot = 2;

  void SetUp() override {
    ASSERT_EQ(serial::OpenPort(board_, "/dev/ttyUSB0", "4800", kSlot), 1);
    LeaveAnEarlierGroup();
  }
  // Leftovers of an earlier group, so that clearing and keeping can be told apart.
  void LeaveAnEarlierGroup() {
    for (int slot : {kSlot, kTerminalSlot}) {
      for (auto& e : board_.SatPrn[slot]) e.store(77);
      for (auto& e : board_.SatSnr[slot]) e.store(77);
      board_.GsvComplete[slot].store(0);
    }
  }
  void Slot(std::string_view sentence) { protocol::HandleSlotSentence(board_, sentence, kSlot); }
  void Terminal(std::string_view sentence) { protocol::HandleTerminalSentence(board_, sentence); }
  std::vector<std::string> Writes() {
    std::vector<std::string> out;
    for (auto& w : serial_.Log("/dev/ttyUSB0")->Writes()) out.push_back(w.bytes);
    return out;
  }

  platform::ManualClock clock_;
  testing::FakeSerialSystem serial_{{"/dev/ttyUSB0"}};
  PortBoard board_{clock_, serial_};
};

TEST_F(NmeaTest, ProprietaryCommandsGoOutFramedInOneWrite) {
  std::vector<std::string> expected;
  for (std::string_view body : {protocol::kProbeBody, protocol::kFwApBody}) {
    ASSERT_TRUE(protocol::SendProprietarySentence(board_, kSlot, body));
    expected.push_back("$" + std::string(body) + "*" + Hex(XorOf(body)) + "\r\n");
  }
  protocol::SendCustomerId(board_, kSlot, "ABC");
  expected.push_back("$PQRV29,ABC*" + Hex(XorOf("PQRV29,ABC")) + "\r\n");
  board_.ProtocolMode[kSlot].store(1);
  protocol::SendCustomerId(board_, kSlot, "ABC");  // there is no VBI form of the command
  EXPECT_EQ(Writes(), expected);
  EXPECT_FALSE(protocol::SendProprietarySentence(board_, 5, protocol::kProbeBody)) << "not open";
}

// A GSV sentence (or a group) into the module slot and the terminal: both keep the same tables.
TEST_F(NmeaTest, GsvSentencesFillTheSatelliteTables) {
  const std::string long_fields = "$GPGSV,1,1,04,01," + std::string(20, '0') + ",001,41,02," +
                                  std::string(20, '0') + ",002,42,03," + std::string(15, '0') +
                                  ",003,";
  ASSERT_EQ(long_fields.size(), 99u);
  const std::string g1 =
      Sentence("$GPGSV,3,1,11,03,03,111,00,04,15,270,,06,01,010,00,13,06,292,00");
  const std::string f1 = Sentence("$GPGSV,4,1,14,01,,,31,02,,,32,03,,,33,04,,,34");
  const struct {
    std::vector<std::string> sentences;
    Table prn, snr;  // the first entries, zeros behind; no prn: the tables are left as they were
    int complete;
  } cases[] = {
      // clang-format off
      {{g1}, {3, 4, 6, 13}, {0}, 0},
      // 33 and up are SBAS satellites, kept as 120 and up; the empty C/N0 before "*" gives 0.
      {{g1, Sentence("$GPGSV,3,2,11,14,25,170,00,16,57,208,39,18,67,296,40,32,40,246,00"),
        Sentence("$GPGSV,3,3,11,22,42,067,42,33,14,311,43,48,48,000,")},
       {3, 4, 6, 13, 14, 16, 18, 32, 22, 120, 135}, {0, 0, 0, 0, 0, 39, 40, 0, 42, 43}, 1},
      // Only the first three sentences of a group fill the table; the third of four ends nothing.
      {{f1, Sentence("$GPGSV,4,2,14,05,,,35,06,,,36,07,,,37,08,,,38"),
        Sentence("$GPGSV,4,3,14,09,,,39,10,,,40,11,,,41,12,,,42")},
       {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},
       {31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42}, 0},
      {{f1, Sentence("$GPGSV,4,4,14,13,,,43,14,,,44")}, {1, 2, 3, 4}, {31, 32, 33, 34}, 1},
      // A C/N0 of 100 is stored and abandons the rest of its sentence; 99 does not.
      {{Sentence("$GPGSV,1,1,04,01,,,99,02,,,100,03,,,45,04,,,46")}, {1, 2}, {99, 100}, 0},
      {{Sentence("$GPGSV,1,1,04,01,,,99,02,,,99,03,,,45,04,,,46")}, {1, 2, 3, 4}, {99, 99, 45, 46},
       1},
      // No CR and the checksum "35": read on as a satellite number it would be stored as 122.
      {{"$GPGSV,1,1,02,05,p6,083,46,07,10,200,*35"}, {5, 7}, {46, 0}, 1},
      // Long elevation fields push the third C/N0 across index 100 and the fourth block behind it.
      {{Sentence(long_fields + "45,04,00,004,46")}, {1, 2, 3}, {41, 42, 4}, 1},
      // Broken or out of range: nothing changes.
      {{Sentence("$GPGSV,1,0,01,05,40,083,46")}, {}, {}, 0},   // would address entries -4..-1
      {{Sentence("$GPGSV,0,0,01,05,40,083,46")}, {}, {}, 0},   // and equal a total of 0
      {{Sentence("$GPGSV,1,x1,01,05,40,083,46")}, {}, {}, 0},  // garbage, taken as 0
      {{"$GPGSV,1,1,01,05,40,083,46\r"}, {}, {}, 0},
      {{Sentence("$GPGSV,1,1,01,05,40,083,46", true)}, {}, {}, 0},
      // A NUL leaves the XOR as it is, but ends the reader's text before the "*".
      {{Sentence("$GPGSV,1,1,01,05,40,083,46").insert(14, 1, '\0')}, {}, {}, 0},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sentences.back());
    LeaveAnEarlierGroup();
    for (const auto& sentence : c.sentences) {
      Slot(sentence);
      Terminal(sentence);
    }
    Table prn = c.prn.empty() ? Table(12, 77) : c.prn;
    Table snr = c.prn.empty() ? Table(12, 77) : c.snr;
    prn.resize(12, 0);
    snr.resize(12, 0);
    for (int slot : {kSlot, kTerminalSlot}) {
      EXPECT_EQ(Of(board_.SatPrn[slot]), prn) << slot;
      EXPECT_EQ(Of(board_.SatSnr[slot]), snr) << slot;
      EXPECT_EQ(board_.GsvComplete[slot].load(), c.complete) << slot;
    }
  }
}

TEST_F(NmeaTest, VersionReportIsShownClosesThePortAndIsTakenOnce) {
  Slot(Sentence("$PQRV100,KX420,ROM,3,10,20120305"));
  EXPECT_EQ(board_.VersionSeen[kSlot].load(), 1);
  EXPECT_EQ(board_.StatusText[kSlot].Get(), " F/W Ver: 3.10");
  EXPECT_EQ(serial_.Log("/dev/ttyUSB0")->closes.load(), 1);
  EXPECT_EQ(board_.ReadEnabled[kSlot].load(), 0);
  Slot(Sentence("$PQRV100,KX420,ROM,4,2,20130101"));
  EXPECT_EQ(board_.StatusText[kSlot].Get(), " F/W Ver: 3.10") << "a repeated report is ignored";

  for (auto [sentence, field3, text] :
       {std::tuple{"$PQRV100,a,b,1234567890123,v2\r", "123456789", " F/W Ver: 123456789.0"},
        std::tuple{"$PQRV100,a", "", " F/W Ver: 0.0"}}) {
    board_.VersionSeen[kSlot].store(0);  // the next job starts
    Slot(sentence);
    EXPECT_EQ(board_.VersionSeen[kSlot].load(), 1);
    EXPECT_EQ(board_.VersionField3[kSlot].Get(), field3) << "cut to 9 characters";
    EXPECT_EQ(board_.StatusText[kSlot].Get(), text);
  }
  Terminal(Sentence("$PQRV100,a,b,3,10"));
  EXPECT_EQ(board_.VersionSeen[kTerminalSlot].load(), 0) << "the terminal takes no version";
}

TEST_F(NmeaTest, CustomerIdReplyAndReply200AreTakenOnce) {
  const std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";
  for (auto [sentence, id] : {std::pair{Sentence("$PQRV28,01," + forty), forty.substr(0, 32)},
                              std::pair{Sentence("$PQRV28,01,ABC"), std::string("ABC")},
                              std::pair{std::string("$PQRV28,01*33\r"), std::string()}}) {
    board_.CustomerIdReplySeen[kSlot].store(0);
    Slot(sentence);
    Slot(Sentence("$PQRV28,01,OTHER"));
    EXPECT_EQ(board_.CustomerIdReplySeen[kSlot].load(), 1);
    EXPECT_EQ(board_.CustomerIdReply[kSlot].Get(), id) << "up to the '*', at most 32";
  }
  EXPECT_EQ(board_.Reply200Seen[kSlot].load(), 0);
  Slot(Sentence("$PQRV200,1"));
  EXPECT_EQ(board_.Reply200Seen[kSlot].load(), 1);
}

TEST_F(NmeaTest, TheTerminalTakesTheGsaFixType) {
  const std::string gsa_3d = Sentence("$GPGSA,A,3,20,,,,13,31,,04,,,,,02.7,01.4,02.3");
  Slot(gsa_3d);
  EXPECT_EQ(board_.FixType[kSlot].load(), 0) << "module slots do not take GSA";
  for (auto [sentence, before, after] :
       {std::tuple{gsa_3d, 0, 3}, std::tuple{Sentence("$GPGSA,A,2,20,,,,13,31"), 0, 2},
        std::tuple{Sentence("$GPGSA,A,x,20"), 3, 0}, std::tuple{Sentence("$GPGSA,A,,,,"), 3, 0},
        std::tuple{Sentence("$GPGSA,A,1,20", true), 3, 3}}) {
    board_.FixType[kTerminalSlot].store(before);
    Terminal(sentence);
    EXPECT_EQ(board_.FixType[kTerminalSlot].load(), after) << sentence;
  }
}

// Sessions recorded from real receivers, replayed byte by byte through the receive framing into
// the sentence handlers. After every GSV group the tables must hold what an independent decode
// of the same capture says the group reported.
std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The decode's groups by their last line: the first 12 satellites as the tables keep them
// (numbers above 32 moved up by 87, an empty C/N0 as 0, zeros behind the last one). Reads only
// "last_line" and the [number, C/N0 or null] pairs of "sats".
std::map<int, std::pair<Table, Table>> ReadDecode(const std::string& json) {
  std::map<int, std::pair<Table, Table>> groups;
  for (size_t pos = 0; (pos = json.find("\"last_line\"", pos)) != std::string::npos;) {
    const int last_line = std::atoi(json.c_str() + json.find(':', pos) + 1);
    pos = json.find('[', json.find("\"sats\"", pos));
    if (pos == std::string::npos) return {};
    Table values;  // number, C/N0, number, ...
    for (int depth = 0; pos < json.size(); ++pos) {
      const char c = json[pos];
      if (c == '[') ++depth;
      if (c == ']' && --depth == 0) break;
      if (c == 'n') values.push_back(0);  // null
      if (c == 'n' || std::isdigit(static_cast<unsigned char>(c))) {
        char* end = nullptr;
        if (c != 'n') values.push_back(static_cast<int32_t>(std::strtol(&json[pos], &end, 10)));
        pos = c == 'n' ? pos + 3 : static_cast<size_t>(end - json.c_str()) - 1;
      }
    }
    auto& [prn, snr] = groups[last_line];
    for (size_t i = 0; i + 1 < values.size() && i < 24; i += 2) {
      prn.push_back(values[i] > 32 ? values[i] + 87 : values[i]);
      snr.push_back(values[i + 1]);
    }
    prn.resize(12, 0);
    snr.resize(12, 0);
  }
  return groups;
}

TEST(NmeaCaptureTest, ModuleSlotAndTerminalTakeEveryGsvGroupOfRealReceivers) {
  const fs::path folder = FLASHPOST_NMEA_CAPTURES;
  if (!fs::is_directory(folder)) GTEST_SKIP() << "no recorded sessions at " << folder;
  int captures = 0;
  for (const auto& entry : fs::directory_iterator(folder)) {
    const fs::path log = entry.path();
    if (log.extension() != ".log") continue;
    ++captures;
    const auto decoded = ReadDecode(ReadWhole(log.string() + ".gsv.json"));
    ASSERT_FALSE(decoded.empty()) << log << ": the decode did not read";
    for (int slot : {1, app::kTerminalSlot}) {
      SCOPED_TRACE(log.filename().string() + " slot " + std::to_string(slot));
      platform::ManualClock clock;
      testing::FakeSerialSystem serial;
      PortBoard board{clock, serial};
      int line = 1;
      size_t groups_checked = 0;
      workers::Framer framer({
          .mode = [] { return 0; },
          .display = [] {},
          .sentence =
              [&](std::string_view sentence) {
                board.GsvComplete[slot].store(0);
                slot == app::kTerminalSlot ? protocol::HandleTerminalSentence(board, sentence)
                                           : protocol::HandleSlotSentence(board, sentence, slot);
                auto group = decoded.find(line);
                if (group == decoded.end()) return;
                ++groups_checked;
                EXPECT_EQ(board.GsvComplete[slot].load(), 1) << "line " << line;
                EXPECT_EQ(Of(board.SatPrn[slot]), group->second.first) << "line " << line;
                EXPECT_EQ(Of(board.SatSnr[slot]), group->second.second) << "line " << line;
              },
          .frame = [](const uint8_t*) {},
          .read_byte = []() -> std::optional<uint8_t> { return std::nullopt; },
          .now = [] { return uint32_t{0}; },
          .stop_requested = [] { return false; },
      });
      for (char byte : ReadWhole(log)) {
        framer.Feed(static_cast<uint8_t>(byte));
        if (byte == '\n') ++line;
      }
      EXPECT_EQ(groups_checked, decoded.size()) << "every decoded group must reach the handler";
    }
  }
  EXPECT_GT(captures, 0);
}

}  // namespace
}  // namespace flashpost
