#include "protocol/vbi.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "board/port_board.h"
#include "protocol/nmea.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"

namespace flashpost {
namespace {

using app::kTerminalSlot;
using app::PortBoard;
using app::ReferenceData;

constexpr int kModule = 3;
constexpr size_t kReaderBuffer = 1200;
using Frame = std::array<uint8_t, kReaderBuffer>;

std::string Bytes(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += static_cast<char>(v);
  return out;
}

uint8_t At(const std::string& bytes, size_t i) { return static_cast<uint8_t>(bytes.at(i)); }

// The checksum worked out here rather than by the code under test: bytes 2..5 and the payload
// added up, and the 16-bit value that brings the sum to 0.
uint16_t ExpectedChecksum(const std::string& frame) {
  unsigned sum = 0;
  for (size_t i = 2; i < 6; ++i) sum += At(frame, i);
  for (size_t i = 8; i < frame.size(); ++i) sum += At(frame, i);
  return static_cast<uint16_t>(-sum);
}

uint16_t SentChecksum(const std::string& frame) { return At(frame, 6) | At(frame, 7) << 8; }

// A frame as the reader hands it over: from offset 0, zeros behind it.
Frame Incoming(uint8_t id, const std::vector<uint8_t>& payload, uint8_t sub_id = 0) {
  Frame f{};
  f[0] = 0x81;
  f[1] = 0xFF;
  f[2] = id;
  f[3] = sub_id;
  f[4] = static_cast<uint8_t>(payload.size());
  f[5] = static_cast<uint8_t>(payload.size() >> 8);
  std::copy(payload.begin(), payload.end(), f.begin() + 8);
  return f;
}

// Message 141: an 8-byte header, then a 109-byte record that begins with the satellite number.
Frame EphemerisReport(uint8_t satellite, uint8_t header_fill, uint8_t record_fill) {
  std::vector<uint8_t> payload(117, record_fill);
  std::fill(payload.begin(), payload.begin() + 8, header_fill);
  payload[8] = satellite;
  return Incoming(141, payload);
}

// Message 121 with the fix type in the top bits of byte 5, time at 8..13, position at 18..41.
Frame NavigationReport(uint8_t byte5, uint8_t time_fill, uint8_t position_fill) {
  std::vector<uint8_t> payload(42, 0xEE);
  payload[5] = byte5;
  std::fill(payload.begin() + 8, payload.begin() + 14, time_fill);
  std::fill(payload.begin() + 18, payload.begin() + 42, position_fill);
  return Incoming(121, payload);
}

ReferenceData::Ephemerides Stored(PortBoard& board) {
  return board.Reference.ReadEphemerides([](const auto& e) { return e; });
}

class VbiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(serial::OpenPort(board_, "module", "115200", kModule), 1);
    ASSERT_EQ(serial::OpenPort(board_, "reference", "115200", kTerminalSlot), 1);
    board_.ProtocolMode[kModule].store(1);
    board_.ProtocolMode[kTerminalSlot].store(1);
  }

  std::vector<std::string> Writes(const std::string& port) {
    std::vector<std::string> out;
    for (auto& w : serial_.Log(port)->Writes()) out.push_back(w.bytes);
    return out;
  }
  void Receive(const Frame& frame) { protocol::HandleReferenceMessage(board_, frame); }

  platform::ManualClock clock_{70000};
  testing::FakeSerialSystem serial_{{"module", "reference"}};
  PortBoard board_{clock_, serial_};
};

TEST(VbiChecksumTest, BringsTheHeaderAndPayloadSumToZero) {
  const std::string test_start = Bytes({0x81, 0xFF, 2, 0, 6, 0, 0, 0, 0xD8, 0, 0, 0, 0, 0});
  std::vector<uint8_t> frame(test_start.begin(), test_start.end());
  EXPECT_EQ(protocol::VbiChecksum(frame, 6), 0xFF20);

  // Without a payload only the four header bytes count; what lies behind them does not.
  std::vector<uint8_t> empty = {0x81, 0xFF, 200, 41, 0, 0, 0, 0, 0x55, 0x66};
  EXPECT_EQ(protocol::VbiChecksum(empty, 0), static_cast<uint16_t>(-(200 + 41)));
  std::vector<uint8_t> zero = {0x81, 0xFF, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(protocol::VbiChecksum(zero, 0), 0) << "a sum of 0 needs no complement";

  // The longest frame the readers take: the sum runs far past 16 bits.
  std::vector<uint8_t> longest(8 + 1015, 0xFF);
  longest[4] = 1015 & 0xFF;
  longest[5] = 1015 >> 8;
  std::string as_text(longest.begin(), longest.end());
  EXPECT_EQ(protocol::VbiChecksum(longest, 1015), ExpectedChecksum(as_text));
}

TEST_F(VbiTest, FixedCommandsGoOutByteForByteInOneWrite) {
  protocol::SendTestStartCommand(board_, kModule);
  protocol::RequestReferenceEphemeris(board_);
  EXPECT_EQ(Writes("module"),
            std::vector<std::string>{Bytes({0x81, 0xFF, 0x02, 0x00, 0x06, 0x00, 0x20, 0xFF, 0xD8,
                                            0x00, 0x00, 0x00, 0x00, 0x00})});
  EXPECT_EQ(Writes("reference"), std::vector<std::string>{Bytes({0x81, 0xFF, 0x0E, 0x00, 0x03, 0x00,
                                                                 0x62, 0xFF, 0x8D, 0x00, 0x00})});

  // In NMEA mode the test start is the proprietary sentence and the request is not made.
  board_.ProtocolMode[kModule].store(0);
  board_.ProtocolMode[kTerminalSlot].store(0);
  protocol::SendTestStartCommand(board_, kModule);
  protocol::RequestReferenceEphemeris(board_);
  auto module = Writes("module");
  ASSERT_EQ(module.size(), 2u);
  EXPECT_EQ(module[1], protocol::FrameProprietarySentence("PQRV02,5C"));
  EXPECT_EQ(module[1].size(), 15u);
  EXPECT_EQ(Writes("reference").size(), 1u);
}

TEST_F(VbiTest, PvtAidingCarriesTheLatestNavigationReport) {
  Receive(NavigationReport(0x7F, 0x11, 0x22));
  EXPECT_EQ(board_.FixType[kTerminalSlot].load(), 3) << "the top three bits of byte 5";
  Receive(NavigationReport(0xE0, 0x33, 0x44));
  EXPECT_EQ(board_.FixType[kTerminalSlot].load(), 7);

  protocol::SendPvtAiding(board_, kModule);
  auto writes = Writes("module");
  ASSERT_EQ(writes.size(), 1u);
  const std::string& f = writes[0];
  ASSERT_EQ(f.size(), 67u);
  EXPECT_EQ(f.substr(0, 6), Bytes({0x81, 0xFF, 0x15, 0x70, 0x3B, 0x00}));
  EXPECT_EQ(SentChecksum(f), ExpectedChecksum(f));
  EXPECT_EQ(At(f, 8), 9);
  EXPECT_EQ(f.substr(9, 6), std::string(6, 0x33));
  EXPECT_EQ(f.substr(15, 24), std::string(24, 0x44));
  EXPECT_EQ(f.substr(39), std::string(28, 0));

  auto& pending = board_.PendingResend[kModule];
  EXPECT_EQ(pending.Armed.load(), 1);
  EXPECT_EQ(pending.MessageId.load(), 21);
  EXPECT_EQ(pending.SentTick.load(), 70000u);

  // A module in NMEA mode gets nothing, and its pending record stays as it was.
  pending.Clear();
  board_.ProtocolMode[kModule].store(0);
  protocol::SendPvtAiding(board_, kModule);
  EXPECT_EQ(Writes("module").size(), 1u);
  EXPECT_EQ(pending.Armed.load(), 0);
}

TEST_F(VbiTest, NavigationReportDuringAPvtBuildOnlyUpdatesTheFixType) {
  Receive(NavigationReport(0x00, 0x11, 0x22));
  // Hold the store as a PVT build does, and let the terminal reader deliver a report meanwhile.
  // The reader must not wait for the build; should it, the wait below gives up and fails.
  std::thread reader;
  board_.Reference.ReadAiding([&](const ReferenceData::Aiding&) {
    std::promise<void> delivered;
    auto done = delivered.get_future();
    reader = std::thread([&, delivered = std::move(delivered)]() mutable {
      Receive(NavigationReport(0x60, 0x33, 0x44));
      delivered.set_value();
    });
    EXPECT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready)
        << "the reader waited for the PVT build";
  });
  reader.join();
  EXPECT_EQ(board_.FixType[kTerminalSlot].load(), 3);
  protocol::SendPvtAiding(board_, kModule);
  Receive(NavigationReport(0x60, 0x55, 0x66));
  protocol::SendPvtAiding(board_, kModule);

  auto writes = Writes("module");
  ASSERT_EQ(writes.size(), 2u);
  EXPECT_EQ(writes[0].substr(9, 30), std::string(6, 0x11) + std::string(24, 0x22));
  EXPECT_EQ(writes[1].substr(9, 30), std::string(6, 0x55) + std::string(24, 0x66))
      << "once the build is over, reports are taken again";
}

TEST_F(VbiTest, PvtAidingIsNeverBuiltFromTwoReports) {
  std::atomic<bool> done{false};
  std::thread reader([&] {
    for (int i = 0; i < 3000; ++i) {
      const auto fill = static_cast<uint8_t>(i);
      Receive(NavigationReport(0x60, fill, fill));
    }
    done = true;
  });
  int sent = 0;
  while (!done.load() || sent == 0) {
    protocol::SendPvtAiding(board_, kModule);
    ++sent;
  }
  reader.join();
  for (const auto& f : Writes("module")) {
    ASSERT_EQ(f.substr(9, 30), std::string(30, f[9])) << "time and position of one report";
  }
}

TEST_F(VbiTest, EphemerisMessageHasTheLatestHeaderAndTheSatellitesRecord) {
  Receive(EphemerisReport(5, 0xA1, 0x05));
  Receive(EphemerisReport(12, 0xA2, 0x0C));
  board_.ProtocolMode[kModule].store(0);  // sent whatever the mode
  protocol::SendEphemerisRecord(board_, 5, kModule);

  auto writes = Writes("module");
  ASSERT_EQ(writes.size(), 1u);
  const std::string& f = writes[0];
  ASSERT_EQ(f.size(), 125u);
  EXPECT_EQ(f.substr(0, 6), Bytes({0x81, 0xFF, 0x29, 0x00, 0x75, 0x00}));
  EXPECT_EQ(SentChecksum(f), ExpectedChecksum(f));
  EXPECT_EQ(f.substr(8, 8), std::string(8, static_cast<char>(0xA2)))
      << "the header came with satellite 12's report";
  EXPECT_EQ(At(f, 16), 5);
  EXPECT_EQ(f.substr(17), std::string(108, 0x05));
  EXPECT_EQ(board_.PendingResend[kModule].MessageId.load(), 41);
  EXPECT_EQ(board_.PendingResend[kModule].Armed.load(), 1);
  EXPECT_EQ(board_.PendingResend[kModule].SentTick.load(), 70000u);

  for (int outside : {0, 33, -1}) protocol::SendEphemerisRecord(board_, outside, kModule);
  EXPECT_EQ(Writes("module").size(), 1u) << "no record outside the table is sent";
}

TEST_F(VbiTest, FramesThatStoreNothing) {
  Receive(EphemerisReport(32, 0xB0, 0x20));
  const auto before = Stored(board_);
  EXPECT_EQ(before.EphemerisTable[31][0], 32);
  EXPECT_EQ(before.EphemerisTable[31][1], 0x20);

  // Satellite numbers the table has no record for: dropped, header included.
  for (uint8_t satellite : {0, 33, 255}) Receive(EphemerisReport(satellite, 0xC0, 0x77));
  // Identifiers the reference's handler does not take, with a 141's payload.
  Frame other = EphemerisReport(7, 0xC1, 0x77);
  for (uint8_t id : {41, 120, 200, 14}) {
    other[2] = id;
    Receive(other);
  }
  const auto after = Stored(board_);
  EXPECT_EQ(after.EphemerisHeader, before.EphemerisHeader);
  EXPECT_EQ(after.EphemerisTable, before.EphemerisTable);
  EXPECT_EQ(board_.FixType[kTerminalSlot].load(), 0);
}

TEST_F(VbiTest, ShortPayloadsReadAsZeros) {
  // Exactly as long as the frame, so that a read past its payload is caught by the sanitizers.
  std::vector<uint8_t> navigation = {0x81, 0xFF, 121, 0,    12, 0, 0, 0,  1,  2,
                                     3,    4,    5,   0x7F, 7,  8, 9, 10, 11, 12};
  protocol::HandleReferenceMessage(board_, navigation);
  EXPECT_EQ(board_.FixType[kTerminalSlot].load(), 3);
  protocol::SendPvtAiding(board_, kModule);

  std::vector<uint8_t> ephemeris = {0x81, 0xFF, 141, 0, 10, 0, 0, 0, 1,
                                    2,    3,    4,   5, 6,  7, 8, 9, 0x99};
  protocol::HandleReferenceMessage(board_, ephemeris);
  // A buffer that holds more than the header says: only the payload counts.
  Frame padded = Incoming(141, {1, 2, 3, 4, 5, 6, 7, 8, 10, 0x98});
  std::fill(padded.begin() + 18, padded.end(), 0x55);
  Receive(padded);

  const auto stored = Stored(board_);
  EXPECT_EQ(stored.EphemerisTable[8][0], 9);
  EXPECT_EQ(stored.EphemerisTable[8][1], 0x99);
  EXPECT_EQ(stored.EphemerisTable[8][2], 0);
  EXPECT_EQ(stored.EphemerisTable[9][1], 0x98);
  EXPECT_EQ(stored.EphemerisTable[9][2], 0);
  EXPECT_EQ(stored.EphemerisTable[9][108], 0);

  auto writes = Writes("module");
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(writes[0].substr(9, 6), Bytes({9, 10, 11, 12, 0, 0}));
  EXPECT_EQ(writes[0].substr(15, 24), std::string(24, 0));
}

class NextEphemerisTest : public VbiTest {
 protected:
  // The satellite each call sends; 0 for a call that sends nothing.
  std::vector<int> Calls(int n) {
    std::vector<int> sent;
    for (int i = 0; i < n; ++i) {
      const size_t before = Writes("module").size();
      protocol::SendNextEphemeris(board_, kModule);
      auto writes = Writes("module");
      sent.push_back(writes.size() == before ? 0 : At(writes.back(), 16));
    }
    return sent;
  }
};

TEST_F(NextEphemerisTest, ModeOneScansFromTheCountOfRecordsSent) {
  // Records stored at indices 4 and 10 only.
  Receive(EphemerisReport(5, 0xA0, 0x01));
  Receive(EphemerisReport(11, 0xA0, 0x02));
  board_.EphemerisMode[kModule].store(1);
  EXPECT_EQ(Calls(13), (std::vector<int>{5, 5, 5, 5, 5, 11, 11, 11, 11, 11, 11, 0, 0}));
  EXPECT_EQ(board_.EphemerisSentCount[kModule].load(), 11);

  board_.EphemerisSentCount[kModule].store(32);
  Receive(EphemerisReport(32, 0xA0, 0x03));
  EXPECT_EQ(Calls(1), std::vector<int>{0}) << "32 sent: the scan has nowhere to start";
}

TEST_F(NextEphemerisTest, ModeZeroSendsOnlyTheFirstRecordAndOnlyOnce) {
  Receive(EphemerisReport(5, 0xA0, 0x01));
  Receive(EphemerisReport(11, 0xA0, 0x02));
  EXPECT_EQ(Calls(3), (std::vector<int>{5, 0, 0}));
  EXPECT_EQ(board_.EphemerisSentCount[kModule].load(), 1);

  board_.EphemerisSentCount[kModule].store(0);
  board_.EphemerisMode[kModule].store(2);
  EXPECT_EQ(Calls(1), std::vector<int>{0}) << "no other mode sends";
}

TEST_F(NextEphemerisTest, AnEmptyTableSendsNothingAndKeepsTheCount) {
  for (int mode : {0, 1}) {
    board_.EphemerisMode[kModule].store(mode);
    EXPECT_EQ(Calls(2), (std::vector<int>{0, 0})) << mode;
    EXPECT_EQ(board_.EphemerisSentCount[kModule].load(), 0);
  }
  EXPECT_EQ(board_.PendingResend[kModule].Armed.load(), 0);
}

}  // namespace
}  // namespace flashpost
