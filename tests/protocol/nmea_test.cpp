#include "protocol/nmea.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "board/port_board.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"

namespace flashpost {
namespace {

using app::kTerminalSlot;
using app::PortBoard;

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

// "$" and the rest of a sentence up to its "*"; adds "*", the true checksum and the CR a module
// sends before its LF.
std::string Sentence(std::string_view up_to_star) {
  return std::string(up_to_star) + "*" + Hex(XorOf(up_to_star.substr(1))) + "\r";
}

// The same with a checksum that is one off.
std::string BadSentence(std::string_view up_to_star) {
  return std::string(up_to_star) + "*" + Hex(XorOf(up_to_star.substr(1)) ^ 1) + "\r";
}

// Inserts two characters at pos (inside a field the program passes over) so that the text up
// to the "*" has the wanted checksum; the caller appends "*" and the digits it wants to test.
std::string WithChecksum(std::string up_to_star, size_t pos, uint8_t want) {
  for (int first = '0'; first <= 'z'; ++first) {
    auto second = static_cast<char>(XorOf(std::string_view(up_to_star).substr(1)) ^ first ^ want);
    if (static_cast<uint8_t>(second) > ' ' && second != '*' && second != ',' && second != '$') {
      return up_to_star.insert(pos, std::string{static_cast<char>(first), second});
    }
  }
  ADD_FAILURE() << "no filler found";
  return up_to_star;
}

// Records every write on its ports, one entry per call.
class RecordingSerialSystem final : public platform::SerialSystem {
 public:
  std::vector<std::string> writes;

  std::unique_ptr<platform::SerialDevice> Open(const std::string&, platform::Clock&,
                                               uint32_t) override {
    return std::make_unique<Device>(writes);
  }
  std::vector<std::string> ListPorts() override { return {"COM3"}; }

 private:
  class Device final : public platform::SerialDevice {
   public:
    explicit Device(std::vector<std::string>& writes) : writes_(writes) {}
    bool Configure(uint32_t) override { return true; }
    platform::LineSettings Settings() override { return {}; }
    size_t Read(uint8_t*, size_t) override { return 0; }
    bool Write(const uint8_t* data, size_t n) override {
      writes_.emplace_back(reinterpret_cast<const char*>(data), n);
      return open_;
    }
    size_t BytesWaiting() override { return 0; }
    void Purge(bool, bool) override {}
    void DrainOutput() override {}
    void ClearRtsDtr() override {}
    void RestoreSettings() override {}
    void Close() override { open_ = false; }
    bool IsOpen() const override { return open_; }

   private:
    std::vector<std::string>& writes_;
    bool open_ = true;
  };
};

TEST(NmeaChecksumTest, CoversTheCharactersBetweenDollarAndTheFirstStar) {
  for (std::string_view sentence :
       {"$GPGSA,A,3,20,,,,13,31,,04,,,,,02.7,01.4,02.3*05\r", "$PQRV14,8*x*y", "$GPGGA,,,*",
        "$GPGLL,4808.9993,N", "$", "$*"}) {
    SCOPED_TRACE(sentence);
    std::string_view covered = sentence.substr(1, sentence.find('*') - 1);
    auto checksum = protocol::NmeaChecksum(sentence);
    EXPECT_EQ(checksum.value, XorOf(covered));
    EXPECT_EQ(std::string(checksum.text), Hex(XorOf(covered)));
  }
}

TEST(NmeaChecksumTest, VerifyConvertsDigitsTheWayTheModuleDoes) {
  // GPGSV with two characters put into the elevation of the first satellite, which no one reads.
  const std::string head = "$GPGSV,1,1,01,05,40,083,46";
  const size_t elevation = head.find(",40") + 1;

  std::string to_3a = WithChecksum(head, elevation, 0x3A);
  EXPECT_TRUE(protocol::VerifyNmeaChecksum(to_3a + "*3A\r"));
  EXPECT_FALSE(protocol::VerifyNmeaChecksum(to_3a + "*3a\r"))
      << "a lower-case second digit counts 32 too high";

  // 0xA3 needs a byte above 0x7F in the sentence, as a noisy line can deliver.
  std::string to_a3 = WithChecksum(head, elevation, 0xA3);
  EXPECT_TRUE(protocol::VerifyNmeaChecksum(to_a3 + "*A3\r"));
  EXPECT_TRUE(protocol::VerifyNmeaChecksum(to_a3 + "*a3\r"))
      << "a lower-case first digit loses its excess beyond 8 bits";
  EXPECT_FALSE(protocol::VerifyNmeaChecksum(to_a3 + "*A4\r"));
  EXPECT_FALSE(protocol::VerifyNmeaChecksum(to_a3 + "*B3\r"));
}

TEST(NmeaChecksumTest, VerifyFailsWithoutTwoDigitsInsideTheSentence) {
  const std::string whole = Sentence("$GPGSV,1,1,01,05,40,083,46");
  ASSERT_TRUE(protocol::VerifyNmeaChecksum(whole));
  const size_t star = whole.find('*');
  // Views that end before the second digit, with the true digits still in memory behind them.
  for (size_t length : {star, star + 1, star + 2}) {
    EXPECT_FALSE(protocol::VerifyNmeaChecksum(std::string_view(whole).substr(0, length))) << length;
  }
  EXPECT_FALSE(protocol::VerifyNmeaChecksum("$GPGSV,1,1,01,05,40,083,46"));
  EXPECT_FALSE(protocol::VerifyNmeaChecksum(""));
  EXPECT_FALSE(protocol::VerifyNmeaChecksum("*"));
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

class NmeaSendTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(serial::OpenPort(board_, "COM3", "9600", 4), 1); }

  platform::ManualClock clock_;
  RecordingSerialSystem serial_;
  PortBoard board_{clock_, serial_};
};

TEST_F(NmeaSendTest, EveryProprietaryCommandGoesOutFramedInOneWrite) {
  struct Case {
    std::string_view body;
    size_t bytes;
  };
  for (auto [body, bytes] :
       {Case{protocol::kProbeBody, 14}, Case{protocol::kTestStartBody, 15},
        Case{protocol::kSwitchToVbiBody1, 22}, Case{protocol::kSwitchToVbiBody2, 22},
        Case{protocol::kFwApBody, 22}}) {
    SCOPED_TRACE(body);
    serial_.writes.clear();
    ASSERT_TRUE(protocol::SendProprietarySentence(board_, 4, body));
    ASSERT_EQ(serial_.writes.size(), 1u);
    EXPECT_EQ(serial_.writes[0], "$" + std::string(body) + "*" + Hex(XorOf(body)) + "\r\n");
    EXPECT_EQ(serial_.writes[0].size(), bytes);
  }
  EXPECT_FALSE(protocol::SendProprietarySentence(board_, 5, protocol::kProbeBody))
      << "slot 5 has no open port";
}

TEST_F(NmeaSendTest, CustomerIdGoesOnlyToAModuleInNmeaMode) {
  protocol::SendCustomerId(board_, 4, "ABC");
  ASSERT_EQ(serial_.writes.size(), 1u);
  EXPECT_EQ(serial_.writes[0], "$PQRV29,ABC*" + Hex(XorOf("PQRV29,ABC")) + "\r\n");
  EXPECT_EQ(serial_.writes[0].size(), 16u);

  board_.ProtocolMode[4].store(1);
  protocol::SendCustomerId(board_, 4, "ABC");
  EXPECT_EQ(serial_.writes.size(), 1u) << "there is no VBI form of the command";
}

class NmeaHandlerTest : public ::testing::Test {
 protected:
  static constexpr int kSlot = 2;

  void SetUp() override {
    ASSERT_EQ(serial::OpenPort(board_, "/dev/ttyUSB0", "4800", kSlot), 1);
    // Leftovers of an earlier group, so that clearing and keeping can be told apart.
    for (int slot : {kSlot, kTerminalSlot}) {
      for (int e = 0; e < PortBoard::kGsvSatellites; ++e) {
        board_.SatPrn[slot][e].store(77);
        board_.SatSnr[slot][e].store(77);
      }
    }
  }

  void Slot(std::string_view sentence) { protocol::HandleSlotSentence(board_, sentence, kSlot); }
  std::vector<int32_t> Prn(int slot = kSlot) {
    std::vector<int32_t> out;
    for (auto& entry : board_.SatPrn[slot]) out.push_back(entry.load());
    return out;
  }
  std::vector<int32_t> Snr(int slot = kSlot) {
    std::vector<int32_t> out;
    for (auto& entry : board_.SatSnr[slot]) out.push_back(entry.load());
    return out;
  }
  int Complete(int slot = kSlot) { return board_.GsvComplete[slot].load(); }

  platform::ManualClock clock_;
  testing::FakeSerialSystem serial_{{"/dev/ttyUSB0"}};
  PortBoard board_{clock_, serial_};
};

TEST_F(NmeaHandlerTest, VersionReportShowsTheVersionClosesThePortAndIsTakenOnce) {
  Slot(Sentence("$PQRV100,KX420,ROM,3,10,20120305"));
  EXPECT_EQ(board_.VersionSeen[kSlot].load(), 1);
  EXPECT_EQ(board_.VersionField3[kSlot].Get(), "3");
  EXPECT_EQ(board_.VersionField4[kSlot].Get(), "10");
  EXPECT_EQ(board_.StatusText[kSlot].Get(), " F/W Ver: 3.10");
  EXPECT_EQ(serial_.Log("/dev/ttyUSB0")->closes.load(), 1);
  EXPECT_EQ(board_.ReadEnabled[kSlot].load(), 0);

  Slot(Sentence("$PQRV100,KX420,ROM,4,2,20130101"));
  EXPECT_EQ(board_.VersionField3[kSlot].Get(), "3") << "a repeated report is ignored";
  EXPECT_EQ(board_.StatusText[kSlot].Get(), " F/W Ver: 3.10");

  board_.VersionSeen[kSlot].store(0);  // the next job starts
  Slot("$PQRV100,a,b,1234567890123,v2\r");
  EXPECT_EQ(board_.VersionField3[kSlot].Get(), "123456789") << "cut to 9 characters";
  EXPECT_EQ(board_.StatusText[kSlot].Get(), " F/W Ver: 123456789.0");

  board_.VersionSeen[kSlot].store(0);
  Slot("$PQRV100,a");
  EXPECT_EQ(board_.VersionSeen[kSlot].load(), 1);
  EXPECT_EQ(board_.VersionField3[kSlot].Get(), "");
  EXPECT_EQ(board_.StatusText[kSlot].Get(), " F/W Ver: 0.0");
}

TEST_F(NmeaHandlerTest, CustomerIdReplyAndReply200AreTakenOnce) {
  const std::string forty = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789abcd";
  Slot(Sentence("$PQRV28,01," + forty));
  EXPECT_EQ(board_.CustomerIdReplySeen[kSlot].load(), 1);
  EXPECT_EQ(board_.CustomerIdReply[kSlot].Get(), forty.substr(0, 32));
  Slot(Sentence("$PQRV28,01,OTHER"));
  EXPECT_EQ(board_.CustomerIdReply[kSlot].Get(), forty.substr(0, 32));

  board_.CustomerIdReplySeen[kSlot].store(0);
  Slot("$PQRV28,01*33\r");
  EXPECT_EQ(board_.CustomerIdReply[kSlot].Get(), "") << "nothing stands before the '*'";

  EXPECT_EQ(board_.Reply200Seen[kSlot].load(), 0);
  Slot(Sentence("$PQRV200,1"));
  EXPECT_EQ(board_.Reply200Seen[kSlot].load(), 1);
}

TEST_F(NmeaHandlerTest, GroupOfThreeClearsThenFillsAllTwelveAndCompletesOnItsLast) {
  Slot(Sentence("$GPGSV,3,1,11,03,03,111,00,04,15,270,,06,01,010,00,13,06,292,00"));
  EXPECT_EQ(Prn(), (std::vector<int32_t>{3, 4, 6, 13, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Snr(), (std::vector<int32_t>{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Complete(), 0);

  Slot(Sentence("$GPGSV,3,2,11,14,25,170,00,16,57,208,39,18,67,296,40,19,40,246,00"));
  EXPECT_EQ(Complete(), 0);
  // 35 and 48 are SBAS satellites, kept as 122 and 135; the empty C/N0 before "*" gives 0.
  Slot(Sentence("$GPGSV,3,3,11,22,42,067,42,35,14,311,43,48,48,000,"));
  EXPECT_EQ(Prn(), (std::vector<int32_t>{3, 4, 6, 13, 14, 16, 18, 19, 22, 122, 135, 0}));
  EXPECT_EQ(Snr(), (std::vector<int32_t>{0, 0, 0, 0, 0, 39, 40, 0, 42, 43, 0, 0}));
  EXPECT_EQ(Complete(), 1);
}

TEST_F(NmeaHandlerTest, OnlyTheFirstThreeSentencesFillTheTable) {
  Slot(Sentence("$GPGSV,4,1,14,01,,,31,02,,,32,03,,,33,04,,,34"));
  Slot(Sentence("$GPGSV,4,2,14,05,,,35,06,,,36,07,,,37,08,,,38"));
  Slot(Sentence("$GPGSV,4,3,14,09,,,39,10,,,40,11,,,41,12,,,42"));
  EXPECT_EQ(Complete(), 0) << "the third sentence of four does not end the group";
  Slot(Sentence("$GPGSV,4,4,14,13,,,43,14,,,44"));
  EXPECT_EQ(Complete(), 1);
  EXPECT_EQ(Prn(), (std::vector<int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12}));
  EXPECT_EQ(Snr(), (std::vector<int32_t>{31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42}));
}

TEST_F(NmeaHandlerTest, ACnoOf100IsStoredAndAbandonsTheRestOfItsSentence) {
  Slot(Sentence("$GPGSV,1,1,04,01,,,99,02,,,100,03,,,45,04,,,46"));
  EXPECT_EQ(Prn(), (std::vector<int32_t>{1, 2, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Snr(), (std::vector<int32_t>{99, 100, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Complete(), 0);

  Slot(Sentence("$GPGSV,1,1,04,01,,,99,02,,,99,03,,,45,04,,,46"));
  EXPECT_EQ(Snr(), (std::vector<int32_t>{99, 99, 45, 46, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Complete(), 1);
}

TEST_F(NmeaHandlerTest, AnEmptyLastCnoBeforeTheStarEndsTheBlocks) {
  // No CR and the checksum "35": read on as a satellite number it would be stored as 122.
  std::string sentence = WithChecksum("$GPGSV,1,1,02,05,40,083,46,07,10,200,", 17, 0x35) + "*35";
  ASSERT_TRUE(protocol::VerifyNmeaChecksum(sentence));
  Slot(sentence);
  EXPECT_EQ(Prn(), (std::vector<int32_t>{5, 7, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Snr(), (std::vector<int32_t>{46, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Complete(), 1);
}

TEST_F(NmeaHandlerTest, NothingAtOrBeyondIndex100IsRead) {
  // Long elevation fields push the third C/N0 across index 100 and the fourth block behind it.
  std::string up_to_star = "$GPGSV,1,1,04,01," + std::string(20, '0') + ",001,41,02," +
                           std::string(20, '0') + ",002,42,03," + std::string(15, '0') + ",003,";
  ASSERT_EQ(up_to_star.size(), 99u);
  up_to_star += "45,04,00,004,46";
  Slot(Sentence(up_to_star));
  EXPECT_EQ(Prn(), (std::vector<int32_t>{1, 2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Snr(), (std::vector<int32_t>{41, 42, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(Complete(), 1);
}

TEST_F(NmeaHandlerTest, GsvThatIsBrokenOrOutOfRangeChangesNothing) {
  const auto prn = Prn();
  for (std::string sentence : {
           Sentence("$GPGSV,1,0,01,05,40,083,46"),   // message 0 would address entries -4..-1
           Sentence("$GPGSV,0,0,01,05,40,083,46"),   // and 0 equal to a total of 0
           Sentence("$GPGSV,1,-1,01,05,40,083,46"),  // negative
           Sentence("$GPGSV,1,x1,01,05,40,083,46"),  // garbage, taken as 0
           Sentence("$GPGSV,1,"),                    // no message number at all
           std::string("$GPGSV,1,1,01,05,40,083,46\r"),
           BadSentence("$GPGSV,1,1,01,05,40,083,46"),
           // A NUL leaves the XOR as it is, but ends the reader's text before the "*".
           Sentence("$GPGSV,1,1,01,05,40,083,46").insert(14, 1, '\0'),
       }) {
    SCOPED_TRACE(sentence);
    Slot(sentence);
    protocol::HandleTerminalSentence(board_, sentence);
    EXPECT_EQ(Prn(), prn);
    EXPECT_EQ(Prn(kTerminalSlot), prn);
    EXPECT_EQ(Complete(), 0);
    EXPECT_EQ(Complete(kTerminalSlot), 0);
  }
}

TEST_F(NmeaHandlerTest, EveryCutOfASentenceStaysInsideIt) {
  const std::vector<std::string> sentences = {
      Sentence("$GPGSV,3,1,11,03,03,111,00,04,15,270,,06,01,010,00,13,06,292,00"),
      Sentence("$GPGSA,A,3,20,,,,13,31,,04,,,,,02.7,01.4,02.3"),
      Sentence("$PQRV100,KX420,ROM,3,10,20120305"), Sentence("$PQRV28,01,ABC"),
      Sentence("$PQRV200")};
  for (const auto& whole : sentences) {
    for (size_t length = 0; length <= whole.size(); ++length) {
      // Exactly as long as the cut, so that a read past its end is an address error.
      auto cut = std::make_unique<char[]>(length);
      whole.copy(cut.get(), length);
      board_.VersionSeen[kSlot].store(0);
      board_.CustomerIdReplySeen[kSlot].store(0);
      protocol::HandleSlotSentence(board_, {cut.get(), length}, kSlot);
      protocol::HandleTerminalSentence(board_, {cut.get(), length});
    }
  }
  // The cuts that still hold both checksum digits are the whole GSV sentence and its CR-less one.
  EXPECT_EQ(Prn()[0], 3);
  EXPECT_EQ(board_.FixType[kTerminalSlot].load(), 3);
}

TEST_F(NmeaHandlerTest, TerminalTakesGsvAndTheGsaFixTypeForItsOwnSlot) {
  const std::string gsa_3d = Sentence("$GPGSA,A,3,20,,,,13,31,,04,,,,,02.7,01.4,02.3");
  protocol::HandleSlotSentence(board_, gsa_3d, kSlot);
  EXPECT_EQ(board_.FixType[kSlot].load(), 0) << "module slots do not take GSA";
  protocol::HandleTerminalSentence(board_, gsa_3d);
  EXPECT_EQ(board_.FixType[kTerminalSlot].load(), 3);

  protocol::HandleTerminalSentence(board_, Sentence("$GPGSA,A,2,20,,,,13,31"));
  EXPECT_EQ(board_.FixType[kTerminalSlot].load(), 2);
  protocol::HandleTerminalSentence(board_, Sentence("$GPGSA,A,x,20"));
  EXPECT_EQ(board_.FixType[kTerminalSlot].load(), 0) << "not a digit";
  board_.FixType[kTerminalSlot].store(3);
  protocol::HandleTerminalSentence(board_, Sentence("$GPGSA,A,,,,"));
  EXPECT_EQ(board_.FixType[kTerminalSlot].load(), 0) << "empty field";
  board_.FixType[kTerminalSlot].store(3);
  protocol::HandleTerminalSentence(board_, BadSentence("$GPGSA,A,1,20"));
  EXPECT_EQ(board_.FixType[kTerminalSlot].load(), 3) << "a bad checksum drops the sentence";

  protocol::HandleTerminalSentence(board_, Sentence("$GPGSV,1,1,01,05,40,083,46"));
  EXPECT_EQ(Prn(kTerminalSlot)[0], 5);
  EXPECT_EQ(Complete(kTerminalSlot), 1);
  EXPECT_EQ(Prn()[0], 77) << "the module slot is not touched";
  protocol::HandleTerminalSentence(board_, Sentence("$PQRV100,a,b,3,10"));
  EXPECT_EQ(board_.VersionSeen[kTerminalSlot].load(), 0);
}

}  // namespace
}  // namespace flashpost
