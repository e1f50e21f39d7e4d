#include "protocol/nmea.h"
#include "protocol/vbi.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "board/port_board.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"
#include "workers/framing.h"

namespace flashpost {
namespace {

using namespace std::string_literals;
using app::kTerminalSlot;
using app::PortBoard;
using app::ReferenceData;
using Bytes = std::vector<uint8_t>;
using Table = std::vector<int32_t>;
namespace fs = std::filesystem;

Table Of(const auto& entries) { return Table(entries.begin(), entries.end()); }

// The NMEA checksum in hex, worked out here rather than by the code under test (off by flip).
std::string Hex(std::string_view text, uint8_t flip = 0) {
  for (char c : text) flip ^= static_cast<uint8_t>(c);
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", flip);
  return hex;
}

// A sentence up to its "*", completed with "*", the checksum (one off when bad) and the CR.
std::string Sentence(std::string_view up_to_star, bool bad = false) {
  return std::string(up_to_star) + "*" + Hex(up_to_star.substr(1), bad) + "\r";
}

TEST(NmeaChecksumTest, CoversDollarToTheFirstStarAndVerifyReadsTheDigitsAsTheModuleDoes) {
  for (std::string_view sentence : {"$GPGSA,A,3,20,,,,13,31,,04,,,,,02.7*05\r", "$PQRV14,8*x*y",
                                    "$GPGGA,,,*", "$GPGLL,4808.9993,N", "$", "$*"}) {
    EXPECT_EQ(std::string(protocol::NmeaChecksum(sentence).text),
              Hex(sentence.substr(1, sentence.find('*') - 1)))
        << sentence;
  }
  const std::string head = "$GPGSV,1,1,01,05,40,083,46";
  // Lower case: a second digit counts 32 too high, a first one loses its excess beyond 8 bits.
  for (std::string passes : {Sentence(head), "$:*3A"s, "$\xA3*A3"s, "$\xA3*a3"s}) {
    EXPECT_TRUE(protocol::VerifyNmeaChecksum(passes)) << passes;
  }
  for (std::string fails :
       {Sentence(head, true), head, ""s, "*"s, "$:*3a"s, "$\xA3*A4"s, "$\xA3*B3"s}) {
    EXPECT_FALSE(protocol::VerifyNmeaChecksum(fails)) << fails;
  }
  // Views that end before the second digit, with the true digits still in memory behind them.
  const std::string whole = Sentence(head);
  for (size_t length : {head.size(), head.size() + 1, head.size() + 2}) {
    EXPECT_FALSE(protocol::VerifyNmeaChecksum(std::string_view(whole).substr(0, length))) << length;
  }
}

TEST(NmeaFieldTest, OnlyWholeNumbersConvert) {
  for (auto [text, value] :
       {std::pair{"35", 35}, std::pair{"007", 7}, std::pair{"-3", -3}, std::pair{"+3", 3}}) {
    EXPECT_EQ(protocol::NmeaFieldToInt(text), value);
  }
  for (std::string_view not_a_number :
       {"", "-", "+", "+-3", "4F", "46\r", " 46", "1.5", "2147483648", "99999999999999999999"}) {
    EXPECT_EQ(protocol::NmeaFieldToInt(not_a_number), 0) << not_a_number;
  }
}

class BoardTest : public ::testing::Test {
 protected:
  template <class Text = Bytes>
  std::vector<Text> Writes(const std::string& port = "module") {
    std::vector<Text> out;
    for (auto& w : serial_.Log(port)->Writes()) out.emplace_back(w.bytes.begin(), w.bytes.end());
    return out;
  }

  platform::ManualClock clock_{70000};
  testing::FakeSerialSystem serial_{{"module", "reference"}};
  PortBoard board_{clock_, serial_};
};

class NmeaTest : public BoardTest {
 protected:
  static constexpr int kSlot = 2;

  void SetUp() override {
    ASSERT_EQ(serial::OpenPort(board_, "module", "4800", kSlot), 1);
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
};

TEST_F(NmeaTest, ProprietaryCommandsGoOutFramedInOneWrite) {
  std::vector<std::string> expected;
  for (std::string_view body : {protocol::kProbeBody, protocol::kFwApBody}) {
    ASSERT_TRUE(protocol::SendProprietarySentence(board_, kSlot, body));
    expected.push_back("$" + std::string(body) + "*" + Hex(body) + "\r\n");
  }
  protocol::SendCustomerId(board_, kSlot, "ABC");
  expected.push_back("$PQRV29,ABC*" + Hex("PQRV29,ABC") + "\r\n");
  board_.ProtocolMode[kSlot].store(1);
  protocol::SendCustomerId(board_, kSlot, "ABC");  // there is no VBI form of the command
  EXPECT_EQ(Writes<std::string>(), expected);
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
    auto twelve = [&](Table t) { return c.prn.empty() ? Table(12, 77) : (t.resize(12, 0), t); };
    for (int slot : {kSlot, kTerminalSlot}) {
      EXPECT_EQ(Of(board_.SatPrn[slot]), twelve(c.prn)) << slot;
      EXPECT_EQ(Of(board_.SatSnr[slot]), twelve(c.snr)) << slot;
      EXPECT_EQ(board_.GsvComplete[slot].load(), c.complete) << slot;
    }
  }
}

TEST_F(NmeaTest, VersionReportIsShownClosesThePortAndIsTakenOnce) {
  Slot(Sentence("$PQRV100,KX420,ROM,3,10,20120305"));
  EXPECT_EQ(board_.VersionSeen[kSlot].load(), 1);
  EXPECT_EQ(board_.StatusText[kSlot].Get(), " F/W Ver: 3.10");
  EXPECT_EQ(serial_.Log("module")->closes.load(), 1);
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

// Real receivers' sessions, replayed through the framing into the handlers: after every GSV
// group the tables hold what an independent decode of the capture says the group reported.
std::string ReadWhole(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The decode's groups by their last line, the first 12 satellites as the tables keep them (above
// 32 moved up by 87, null C/N0 as 0, zeros behind); "sats" pairs end at "strongest".
std::map<int, std::pair<Table, Table>> ReadDecode(const std::string& json) {
  static const std::regex token(R"("last_line":\s*(\d+)|"sats"|"strongest"|\b(\d+|null)\b)");
  std::map<int, std::pair<Table, Table>> groups;
  int line = 0;
  std::optional<Table> values;  // number, C/N0, number, ... inside "sats"
  for (std::sregex_iterator it(json.begin(), json.end(), token), end; it != end; ++it) {
    const std::smatch& m = *it;
    if (m[1].matched) line = std::stoi(m[1]);
    if (m[2].matched && values) values->push_back(m[2] == "null" ? 0 : std::stoi(m[2]));
    if (m[0] == "\"sats\"") values.emplace();
    if (m[0] != "\"strongest\"" || !values) continue;
    auto& [prn, snr] = groups[line];
    for (size_t i = 0; i + 1 < values->size() && i < 24; i += 2) {
      prn.push_back(values->at(i) > 32 ? values->at(i) + 87 : values->at(i));
      snr.push_back(values->at(i + 1));
    }
    prn.resize(12, 0);
    snr.resize(12, 0);
    values.reset();
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
      workers::Framer::Hooks hooks;  // NMEA only: the hooks for VBI payloads are never asked
      hooks.mode = [] { return 0; };
      hooks.sentence = [&](std::string_view sentence) {
        board.GsvComplete[slot].store(0);
        slot == app::kTerminalSlot ? protocol::HandleTerminalSentence(board, sentence)
                                   : protocol::HandleSlotSentence(board, sentence, slot);
        auto group = decoded.find(line);
        if (group == decoded.end()) return;
        ++groups_checked;
        EXPECT_EQ(board.GsvComplete[slot].load(), 1) << "line " << line;
        EXPECT_EQ(Of(board.SatPrn[slot]), group->second.first) << "line " << line;
        EXPECT_EQ(Of(board.SatSnr[slot]), group->second.second) << "line " << line;
      };
      workers::Framer framer(hooks);
      for (char byte : ReadWhole(log)) {
        framer.Feed(static_cast<uint8_t>(byte));
        if (byte == '\n') ++line;
      }
      EXPECT_EQ(groups_checked, decoded.size()) << "every decoded group must reach the handler";
    }
  }
  EXPECT_GT(captures, 0);
}

constexpr int kModule = 3;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A frame with its checksum (bytes 2.. summing to 0) worked out here, not by the code under test.
Bytes Framed(uint8_t id, uint8_t sub_id, const Bytes& payload) {
  const auto n = static_cast<uint16_t>(payload.size());
  Bytes f =
      Cat({{0x81, 0xFF, id, sub_id, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), 0, 0},
           payload});
  unsigned sum = 0;
  for (size_t i = 2; i < f.size(); ++i) sum += f[i];
  f[6] = static_cast<uint8_t>(-sum);
  f[7] = static_cast<uint8_t>(-sum >> 8);
  return f;
}

// Message 141: an 8-byte header, then a 109-byte record that begins with the satellite number.
Bytes EphemerisReport(uint8_t satellite, uint8_t header_fill, uint8_t record_fill) {
  return Framed(141, 0, Cat({Bytes(8, header_fill), {satellite}, Bytes(108, record_fill)}));
}

// Message 121 with the fix type in the top bits of byte 5, time at 8..13, position at 18..41.
Bytes NavigationReport(uint8_t byte5, uint8_t time_fill, uint8_t position_fill) {
  Bytes payload(42, 0xEE);
  payload[5] = byte5;
  std::fill_n(payload.begin() + 8, 6, time_fill);
  std::fill_n(payload.begin() + 18, 24, position_fill);
  return Framed(121, 0, payload);
}

class VbiTest : public BoardTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(serial::OpenPort(board_, "module", "115200", kModule), 1);
    ASSERT_EQ(serial::OpenPort(board_, "reference", "115200", kTerminalSlot), 1);
    Mode(1);
  }
  void Mode(int mode) {
    board_.ProtocolMode[kModule].store(mode);
    board_.ProtocolMode[kTerminalSlot].store(mode);
  }
  void Receive(const Bytes& frame) { protocol::HandleReferenceMessage(board_, frame); }
  ReferenceData::Ephemerides Stored() {
    return board_.Reference.ReadEphemerides([](const auto& e) { return e; });
  }
};

TEST_F(VbiTest, OutgoingFramesByteForByteOneWriteEach) {
  Receive(NavigationReport(0x7F, 0x11, 0x22));
  Receive(NavigationReport(0xE0, 0x33, 0x44));  // the latest report is sent
  Receive(EphemerisReport(5, 0xA1, 0x05));
  Receive(EphemerisReport(12, 0xA2, 0x0C));  // the latest header goes with every record
  auto& pending = board_.PendingResend[kModule];
  protocol::SendTestStartCommand(board_, kModule);
  protocol::RequestReferenceEphemeris(board_);
  protocol::SendPvtAiding(board_, kModule);
  EXPECT_EQ(pending.MessageId.load(), 21);
  EXPECT_EQ(pending.SentTick.load(), 70000u);
  for (int outside : {0, 33, -1}) protocol::SendEphemerisRecord(board_, outside, kModule);
  EXPECT_EQ(pending.MessageId.load(), 21) << "nothing is sent for a satellite outside the table";
  // In NMEA mode the test start is the proprietary sentence, the request and the PVT aiding are
  // not sent, and an ephemeris record goes out all the same.
  Mode(0);
  pending.Clear();
  protocol::SendTestStartCommand(board_, kModule);
  protocol::RequestReferenceEphemeris(board_);
  protocol::SendPvtAiding(board_, kModule);
  EXPECT_EQ(pending.Armed.load(), 0);
  clock_.Advance(5);
  protocol::SendEphemerisRecord(board_, 5, kModule);
  EXPECT_EQ(pending.Armed.load(), 1);
  EXPECT_EQ(pending.MessageId.load(), 41);
  EXPECT_EQ(pending.SentTick.load(), 70005u);

  const std::string sentence = "$PQRV02,5C*5D\r\n";
  EXPECT_EQ(Writes("module"),
            (std::vector<Bytes>{
                Framed(2, 0, {0xD8, 0, 0, 0, 0, 0}),
                Framed(21, 0x70, Cat({{9}, Bytes(6, 0x33), Bytes(24, 0x44), Bytes(28, 0)})),
                Bytes(sentence.begin(), sentence.end()),
                Framed(41, 0, Cat({Bytes(8, 0xA2), {5}, Bytes(108, 0x05)}))}));
  EXPECT_EQ(Writes("reference"), std::vector<Bytes>{Framed(14, 0, {0x8D, 0, 0})});
}

TEST_F(VbiTest, ReferenceReportsThatAreStoredAndThoseThatAreNot) {
  for (uint8_t byte5 : {0x7F, 0xE0, 0x20}) {
    Receive(NavigationReport(byte5, 0, 0));
    EXPECT_EQ(board_.FixType[kTerminalSlot].load(), byte5 >> 5) << "the top three bits of byte 5";
  }
  // Satellites 1..32 have a record; any other report is dropped, header and all.
  for (uint8_t satellite : {1, 32, 0, 33, 255}) {
    const auto before = Stored();
    Receive(EphemerisReport(satellite, satellite, 0x77));
    const auto after = Stored();
    const bool kept = satellite >= 1 && satellite <= 32;
    EXPECT_EQ(after.EphemerisHeader[0], kept ? satellite : before.EphemerisHeader[0]);
    if (kept) {
      const auto& record = after.EphemerisTable[satellite - 1];
      EXPECT_EQ(Bytes(record.begin(), record.end()), Cat({{satellite}, Bytes(108, 0x77)}));
    } else {
      EXPECT_EQ(after.EphemerisTable, before.EphemerisTable) << int{satellite};
    }
  }
  // Identifiers the reference's handler does not take, with a 141's payload.
  const auto before = Stored();
  Bytes other = EphemerisReport(7, 0xC1, 0x77);
  for (uint8_t id : {41, 120, 200, 14}) {
    other[2] = id;
    Receive(other);
  }
  EXPECT_EQ(Stored().EphemerisTable, before.EphemerisTable);
  EXPECT_EQ(board_.FixType[kTerminalSlot].load(), 1);
}

TEST_F(VbiTest, FieldsBeyondThePayloadReadAsZeros) {
  // Exactly as long as the frame: the time runs past its end.
  Receive({0x81, 0xFF, 121, 0, 12, 0, 0, 0, 1, 2, 3, 4, 5, 0x7F, 7, 8, 9, 10, 11, 12});
  EXPECT_EQ(board_.FixType[kTerminalSlot].load(), 3);
  protocol::SendPvtAiding(board_, kModule);
  const auto writes = Writes();
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(Bytes(writes[0].begin() + 9, writes[0].begin() + 39),
            Cat({{9, 10, 11, 12}, Bytes(26, 0)}));
  // A buffer that holds more than the header says: only the payload counts.
  Bytes padded = Framed(141, 0, {1, 2, 3, 4, 5, 6, 7, 8, 10, 0x98});
  padded.resize(1200, 0x55);
  Receive(padded);
  const auto ten = Stored().EphemerisTable[9];
  EXPECT_EQ(Bytes(ten.begin(), ten.end()), Cat({{10, 0x98}, Bytes(107, 0)}));
}

// The scan for the next record starts at the count of records sent: in mode 1 always, in mode 0
// only while nothing was sent, in any other mode never.
TEST_F(VbiTest, NextEphemerisByModeAndCount) {
  const struct {
    int mode;
    std::vector<uint8_t> stored;  // satellites with a record
    int32_t count;                // sent before
    std::vector<int> sent;        // per call: the satellite sent, 0 for nothing
    int32_t count_after;
  } cases[] = {
      {1, {5, 11}, 0, {5, 5, 5, 5, 5, 11, 11, 11, 11, 11, 11, 0, 0}, 11},
      {1, {32}, 32, {0}, 32},  // 32 sent: the scan has nowhere to start
      {1, {5}, -1, {0}, -1},   // a count below zero is no place to start either
      {0, {5, 11}, 0, {5, 0, 0}, 1},
      {2, {5, 11}, 0, {0}, 0},
      {0, {}, 0, {0, 0}, 0},
      {1, {}, 0, {0, 0}, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    board_.Reference.WithEphemerides([](auto& e) { e = {}; });
    for (uint8_t satellite : c.stored) Receive(EphemerisReport(satellite, 0xA0, satellite));
    board_.EphemerisMode[kModule].store(c.mode);
    board_.EphemerisSentCount[kModule].store(c.count);
    std::vector<int> sent;
    for (size_t i = 0; i < c.sent.size(); ++i) {
      const size_t before = Writes().size();
      protocol::SendNextEphemeris(board_, kModule);
      sent.push_back(Writes().size() == before ? 0 : Writes().back()[16]);
    }
    EXPECT_EQ(sent, c.sent);
    EXPECT_EQ(board_.EphemerisSentCount[kModule].load(), c.count_after);
  }
}

}  // namespace
}  // namespace flashpost
