#include "protocol/vbi.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "board/port_board.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"

namespace flashpost {
namespace {

using app::kTerminalSlot;
using app::ReferenceData;
using Bytes = std::vector<uint8_t>;

constexpr int kModule = 3;

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A frame with its checksum worked out here rather than by the code under test: bytes 2..5 and
// the payload added up, and the 16-bit value that brings the sum to 0.
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

class VbiTest : public ::testing::Test {
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
  std::vector<Bytes> Writes(const std::string& port = "module") {
    std::vector<Bytes> out;
    for (auto& w : serial_.Log(port)->Writes()) out.emplace_back(w.bytes.begin(), w.bytes.end());
    return out;
  }
  void Receive(const Bytes& frame) { protocol::HandleReferenceMessage(board_, frame); }
  ReferenceData::Ephemerides Stored() {
    return board_.Reference.ReadEphemerides([](const auto& e) { return e; });
  }

  platform::ManualClock clock_{70000};
  testing::FakeSerialSystem serial_{{"module", "reference"}};
  app::PortBoard board_{clock_, serial_};
};

TEST(VbiChecksumTest, BringsTheHeaderAndPayloadSumToZero) {
  const Bytes test_start = {0x81, 0xFF, 2, 0, 6, 0, 0, 0, 0xD8, 0, 0, 0, 0, 0};
  EXPECT_EQ(protocol::VbiChecksum(test_start, 6), 0xFF20);
  // Without a payload only the four header bytes count; what lies behind them does not.
  EXPECT_EQ(protocol::VbiChecksum(Bytes{0x81, 0xFF, 200, 41, 0, 0, 0, 0, 0x55}, 0),
            static_cast<uint16_t>(-(200 + 41)));
  // The longest frame the readers take: the sum runs far past 16 bits.
  const Bytes longest = Framed(0xFF, 0xFF, Bytes(1015, 0xFF));
  EXPECT_EQ(protocol::VbiChecksum(longest, 1015), longest[6] | longest[7] << 8);
}

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
  EXPECT_EQ(
      Writes("module"),
      (std::vector<Bytes>{
          {0x81, 0xFF, 0x02, 0x00, 0x06, 0x00, 0x20, 0xFF, 0xD8, 0x00, 0x00, 0x00, 0x00, 0x00},
          Framed(21, 0x70, Cat({{9}, Bytes(6, 0x33), Bytes(24, 0x44), Bytes(28, 0)})),
          Bytes(sentence.begin(), sentence.end()),
          Framed(41, 0, Cat({Bytes(8, 0xA2), {5}, Bytes(108, 0x05)}))}));
  EXPECT_EQ(
      Writes("reference"),
      (std::vector<Bytes>{{0x81, 0xFF, 0x0E, 0x00, 0x03, 0x00, 0x62, 0xFF, 0x8D, 0x00, 0x00}}));
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
