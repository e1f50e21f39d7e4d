#include "calib/sequencer.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "board/colors.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"

namespace flashpost::calib {
namespace {

using app::kBlue;
using app::kNavy;
using app::kRed;
using Calls = std::vector<std::string>;

// A frame as the module puts it on the wire, in the worker's zero-filled receive buffer:
// 81 FF id sub len-lo len-hi ck-lo ck-hi payload. The checksum makes the byte sum of the
// identifier, sub-ID, length and payload 0 modulo 2^16.
std::vector<uint8_t> Frame(uint8_t id, uint8_t sub, const std::vector<uint8_t>& payload = {}) {
  std::vector<uint8_t> frame(kModuleFrameBufferSize, 0);
  const auto length = static_cast<uint16_t>(payload.size());
  frame[0] = 0x81;
  frame[1] = 0xFF;
  frame[2] = id;
  frame[3] = sub;
  frame[4] = static_cast<uint8_t>(length & 0xFF);
  frame[5] = static_cast<uint8_t>(length >> 8);
  uint16_t sum = id + sub + frame[4] + frame[5];
  for (size_t i = 0; i < payload.size(); ++i) {
    frame[8 + i] = payload[i];
    sum = static_cast<uint16_t>(sum + payload[i]);
  }
  frame[6] = static_cast<uint8_t>(-sum);
  frame[7] = static_cast<uint8_t>(-sum >> 8);
  return frame;
}

std::vector<uint8_t> VersionReport(uint16_t version, uint8_t minor) {
  return Frame(100, 0,
               {0x11, 0x22, 0x33, minor, static_cast<uint8_t>(version & 0xFF),
                static_cast<uint8_t>(version >> 8), 0x44});
}

// The phase code in bits 19..21, with every other bit of the word set so that a wrong mask or
// shift shows.
std::vector<uint8_t> StatusReport(uint32_t phase) {
  const uint32_t word = (phase << 19) | ~(7u << 19);
  return Frame(101, 0,
               {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24), 0x5A, 0xA5});
}

std::vector<uint8_t> CalibrationData(uint8_t step = 7) {
  std::vector<uint8_t> payload(256);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * step + 3);
  return Frame(109, 0, payload);
}

std::vector<uint8_t> NavigationReport() { return Frame(121, 0, std::vector<uint8_t>(59, 0x21)); }
std::vector<uint8_t> Ack(uint8_t id) { return Frame(200, id, {0x01}); }

class SequencerTest : public ::testing::Test {
 protected:
  // Stands in for the VBI senders and the slot stop: records every call in order and keeps a
  // pending record per slot the way the senders arm it.
  SequencerActions Actions() {
    auto arm = [this](int slot, uint32_t id) {
      pending_[slot] = PendingRecord{id, clock_.Ticks()};
    };
    return {
        .send_pvt_aiding =
            [this, arm](int slot) {
              Record("pvt", slot);
              if (vbi_mode_) arm(slot, 21);  // the sender sends nothing in NMEA mode
            },
        .send_next_ephemeris =
            [this, arm](int slot) {
              Record("eph", slot);
              arm(slot, 41);
            },
        .set_ephemeris_mode = [this](int slot,
                                     int mode) { Record("mode" + std::to_string(mode), slot); },
        .reset_aiding_state =
            [this](int slot) {
              Record("reset", slot);
              pending_.erase(slot);
            },
        .pending_resend = [this](int slot) -> std::optional<PendingRecord> {
          auto it = pending_.find(slot);
          if (it == pending_.end()) return std::nullopt;
          return it->second;
        },
        .clear_pending_resend =
            [this](int slot) {
              Record("clear", slot);
              pending_.erase(slot);
            },
        .stop_slot = [this](int slot) { Record("stop", slot); },
    };
  }
  void Record(const std::string& what, int slot) {
    calls_.push_back(what + ":" + std::to_string(slot));
  }

  void Feed(const std::vector<uint8_t>& frame, int slot) {
    sequencer_.HandleModuleMessage(frame.data(), slot);
  }
  // From Idle: version report, then the status reports that bring the slot to the step.
  void DriveTo(int step, int slot) {
    sequencer_.ResetSequence(slot);
    Feed(VersionReport(103, 2), slot);
    const uint32_t phases[] = {0, 6, 4, 0};
    for (int i = 0; i < step; ++i) Feed(StatusReport(phases[i]), slot);
    ASSERT_EQ(sequencer_.SequenceStep(slot), step);
    calls_.clear();
  }
  std::string Text(int slot) { return board_.StatusText[slot].Get(); }
  uint32_t Color(int slot) { return board_.StatusColor[slot].load(); }

  platform::ManualClock clock_{50000};
  testing::FakeSerialSystem serial_{{"P1"}};
  app::PortBoard board_{clock_, serial_};
  bool vbi_mode_ = true;
  std::map<int, PendingRecord> pending_;
  Calls calls_;
  Sequencer sequencer_{board_, Actions()};
};

struct VersionCase {
  uint16_t version;
  uint8_t minor;
  const char* text;
};

class VersionTextTest : public SequencerTest, public ::testing::WithParamInterface<VersionCase> {};

TEST_P(VersionTextTest, ShowsMajorFromVersionFieldAndSignedMinor) {
  board_.StatusColor[2].store(0x123456);
  Feed(VersionReport(GetParam().version, GetParam().minor), 2);
  EXPECT_EQ(Text(2), GetParam().text);
  EXPECT_EQ(Color(2), 0x123456u);
  EXPECT_TRUE(sequencer_.SequenceActive(2));
  EXPECT_EQ(sequencer_.SequenceStep(2), 0);
  EXPECT_TRUE(calls_.empty());  // nothing goes to the module
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionTextTest,
                         ::testing::Values(VersionCase{103, 2, "[ F/W Ver: 1.2 ] - 1 "},
                                           VersionCase{103, 0xFF, "[ F/W Ver: 1.-1 ] - 1 "},
                                           VersionCase{99, 5, "[ F/W Ver: 0.5 ] - 1 "},
                                           VersionCase{0x0401, 0x80, "[ F/W Ver: 10.-128 ] - 1 "},
                                           VersionCase{0xFFFF, 0x7F, "[ F/W Ver: 655.127 ] - 1 "}));

TEST_F(SequencerTest, OnlySlotZeroWritesTheMessageLine) {
  board_.MessageColor.store(kRed);
  Feed(VersionReport(103, 2), 4);
  Feed(StatusReport(0), 4);
  Feed(StatusReport(6), 4);
  EXPECT_EQ(board_.MessageText.Get(), " ");
  EXPECT_EQ(board_.MessageColor.load(), kRed);
  Feed(VersionReport(103, 2), 0);
  EXPECT_EQ(board_.MessageText.Get(), "Send CMD1");
  EXPECT_EQ(board_.MessageColor.load(), kNavy);
  Feed(StatusReport(0), 0);
  board_.StatusColor[0].store(0x123456);
  Feed(StatusReport(6), 0);
  EXPECT_EQ(Text(0), " F1 Success - 2 ");
  EXPECT_EQ(Color(0), 0x123456u);
  EXPECT_EQ(board_.MessageText.Get(), "Send PVT");
  EXPECT_EQ(calls_, (Calls{"pvt:4", "pvt:0"}));
}

TEST_F(SequencerTest, AVersionReportIsIgnoredWhileActiveAndTakenAgainAfterAFailure) {
  Feed(VersionReport(103, 2), 1);
  Feed(StatusReport(3), 1);
  Feed(VersionReport(205, 9), 1);
  EXPECT_EQ(Text(1), " F3 Failure - 1(No Calibration) ");
  EXPECT_EQ(sequencer_.SequenceStep(1), 1);
  Feed(StatusReport(5), 1);  // step 1 wants 6: fail, reset
  EXPECT_FALSE(sequencer_.SequenceActive(1));
  Feed(VersionReport(205, 9), 1);
  EXPECT_EQ(Text(1), "[ F/W Ver: 2.9 ] - 1 ");
  EXPECT_TRUE(sequencer_.SequenceActive(1));
}

TEST_F(SequencerTest, UnknownUnexpectedAndMalformedMessagesChangeNothing) {
  Feed(VersionReport(103, 2), 0);
  board_.MessageText.Set("before");
  for (uint8_t id : {0, 2, 21, 41, 102, 110, 120, 141, 255}) Feed(Frame(id, 21, {1, 2, 3}), 0);
  Feed(CalibrationData(), 0);  // not awaited yet
  Feed(Ack(2), 0);
  Feed(Ack(100), 0);
  // Reports cut short of their fields.
  Feed(Frame(100, 0, {0, 0, 0, 2, 103}), 1);
  Feed(Frame(101, 0, {0, 0, 0x30}), 1);
  // A buffer shorter than the length field says: only what the buffer holds is read.
  const std::vector<uint8_t> header = {0x81, 0xFF, 101, 0, 0xF7, 0x03, 0, 0, 0, 0};
  sequencer_.HandleModuleMessage(std::span<const uint8_t>(header), 1);
  sequencer_.HandleModuleMessage(std::span<const uint8_t>(header.data(), 5), 1);
  Feed(VersionReport(103, 2), -1);
  Feed(VersionReport(103, 2), app::kSlotCount);
  sequencer_.HandleModuleMessage(static_cast<const uint8_t*>(nullptr), 0);
  sequencer_.ResetSequence(-3);
  EXPECT_EQ(Text(0), "[ F/W Ver: 1.2 ] - 1 ");
  EXPECT_EQ(Text(1), " ");
  EXPECT_EQ(board_.MessageText.Get(), "before");
  EXPECT_EQ(sequencer_.SequenceStep(0), 0);
  EXPECT_EQ(sequencer_.SequenceStep(1), 0);
  EXPECT_EQ(sequencer_.SequenceStep(12), 0);
  EXPECT_TRUE(calls_.empty());
  EXPECT_EQ(sequencer_.CalibrationRecord(0), CalibrationWords{});
  EXPECT_EQ(sequencer_.CalibrationRecord(-1), CalibrationWords{});
  DriveTo(3, 1);
  Feed(Frame(109, 0, std::vector<uint8_t>(255, 0xEE)), 1);
  EXPECT_TRUE(sequencer_.AwaitCalibrationData(1));
  EXPECT_EQ(sequencer_.CalibrationRecord(1), CalibrationWords{});
}

struct StatusCase {
  int step;
  uint32_t phase;
  const char* text;
  uint32_t color;  // 0x123456: left as it was
  int next_step;
  bool fails;
};

class StatusTableTest : public SequencerTest, public ::testing::WithParamInterface<StatusCase> {};

TEST_P(StatusTableTest, TextColourAndNextStep) {
  const auto& c = GetParam();
  DriveTo(c.step, 3);
  board_.VersionSeen[3].store(1);
  board_.StatusColor[3].store(0x123456);
  Feed(StatusReport(c.phase), 3);
  EXPECT_EQ(Text(3), c.text);
  EXPECT_EQ(Color(3), c.color);
  EXPECT_EQ(sequencer_.SequenceStep(3), c.next_step);
  // A verdict before the data leaves the data awaited.
  EXPECT_EQ(sequencer_.AwaitCalibrationData(3), c.next_step >= 3 && !c.fails);
  EXPECT_EQ(calls_, (c.fails ? Calls{"reset:3", "stop:3"} : Calls{}));
  EXPECT_EQ(sequencer_.SequenceActive(3), !c.fails);
  EXPECT_EQ(board_.VersionSeen[3].load(), c.fails ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StatusTableTest,
    ::testing::Values(StatusCase{0, 0, " F3 Success - 1(Calibrated) ", kNavy, 1, false},
                      StatusCase{0, 6, " F3 Failure - 1(No Calibration) ", kNavy, 1, false},
                      StatusCase{1, 0, " F1 Failure - 2(Test Fail!)", kRed, 0, true},
                      StatusCase{1, 4, " F1 Failure - 2(Test Fail!)", kRed, 0, true},
                      StatusCase{1, 7, " F1 Failure - 2(Test Fail!)", kRed, 0, true},
                      StatusCase{2, 4, " F2 Success - 3 ", kNavy, 3, false},
                      StatusCase{2, 6, " F2 Failure - 3(Test Fail!) ", kRed, 0, true},
                      StatusCase{3, 0, " F3 Success - 4(Test OK!)", kNavy, 4, false},
                      StatusCase{3, 4, " F3 Failure - 4(Test Fail!) ", kRed, 0, true},
                      StatusCase{4, 3, " F3 Success - 4(Test OK!)", 0x123456, 4, false}));

// What the calibration data does by the output protocol the operator chose; a second one is
// not taken.
TEST_F(SequencerTest, CalibrationDataByOutputProtocol) {
  ASSERT_EQ(serial::OpenPort(board_, "P1", "115200", 1), 1);
  CalibrationWords expected{};
  for (size_t i = 0; i < expected.size(); ++i) {
    for (int b = 3; b >= 0; --b) expected[i] = expected[i] << 8 | ((i * 4 + b) * 7 + 3) % 256;
  }
  for (auto [index, text, closed] :
       {std::tuple{0, " F2 Success - 3 ", false}, std::tuple{1, "VBI mode!", false},
        std::tuple{2, "Close ComPort for NMEA mode!", true},
        std::tuple{3, " F2 Success - 3 ", false}}) {
    SCOPED_TRACE(index);
    board_.ProtocolMode[1].store(1);
    DriveTo(3, 1);
    board_.OutputProtocolIndex.store(index);
    Feed(CalibrationData(), 1);
    Feed(CalibrationData(3), 1);
    EXPECT_EQ(Text(1), text);
    EXPECT_EQ(Color(1), kBlue);
    EXPECT_EQ(sequencer_.CalibrationRecord(1), expected);
    EXPECT_FALSE(sequencer_.AwaitCalibrationData(1));
    EXPECT_EQ(board_.ProtocolMode[1].load(), closed ? 0 : 1);
    EXPECT_EQ(board_.ReadEnabled[1].load(), closed ? 0 : 1);
    EXPECT_EQ(sequencer_.SequenceStep(1), 3);
    EXPECT_TRUE(calls_.empty());
    if (closed) {
      ASSERT_EQ(serial::OpenPort(board_, "P1", "115200", 1), 1);
    }
  }
  Feed(StatusReport(0), 1);  // the verdict follows the data
  EXPECT_EQ(Text(1), " F3 Success - 4(Test OK!)");
  EXPECT_EQ(Color(1), kNavy);
}

// The run's time-out and the PVT resend, paced by the navigation reports and the worker's
// watch. A script's events, on slot 3: "+ms" moves the clock on; V a version report, 0, 1 or 6
// a status report with that phase, N a navigation report, W the worker's watch, A the PVT's
// acknowledgement, a21 or a41 a pending record armed now, nmea the PVT sender in NMEA mode.
struct TimingCase {
  const char* name;
  uint32_t start_tick;
  int32_t wait_ms;
  const char* script;
  const char* calls;    // in order
  const char* text;     // the status line at the end
  const char* message;  // the message line at the end
};

class TimingTest : public SequencerTest, public ::testing::WithParamInterface<TimingCase> {};

TEST_P(TimingTest, CallsAndLinesAtTheEnd) {
  const auto& c = GetParam();
  clock_.Advance(c.start_tick - clock_.Ticks());
  board_.WaitTimeoutMs.store(c.wait_ms);
  board_.StartTick[3].store(clock_.Ticks() - 60000);  // left from an earlier wait
  std::istringstream script(c.script);
  for (std::string e; script >> e;) {
    if (e[0] == '+') {
      clock_.Advance(std::stoul(e.substr(1)));
    } else if (e == "V") {
      Feed(VersionReport(103, 2), 3);
    } else if (e == "N") {
      Feed(NavigationReport(), 3);
    } else if (e == "W") {
      sequencer_.WatchCalibration(3);
    } else if (e == "A") {
      Feed(Ack(21), 3);
    } else if (e == "nmea") {
      vbi_mode_ = false;
    } else if (e[0] == 'a') {
      pending_[3] = PendingRecord{static_cast<uint32_t>(std::stoul(e.substr(1))), clock_.Ticks()};
    } else {
      Feed(StatusReport(std::stoul(e)), 3);
    }
  }
  std::string calls;
  for (const auto& call : calls_)
    calls += (calls.empty() ? "" : " ") + call.substr(0, call.find(':'));
  EXPECT_EQ(calls, c.calls);
  EXPECT_EQ(Text(3), c.text);
  EXPECT_EQ(board_.MessageText.Get(), c.message);
  if (std::string(c.text).starts_with("Time out")) {
    EXPECT_EQ(Color(3), kRed);
    EXPECT_FALSE(sequencer_.SequenceActive(3));
  }
}

constexpr const char* kTimedOut = "Time out : 10S";

INSTANTIATE_TEST_SUITE_P(
    Timing, TimingTest,
    ::testing::Values(
        // Counted from leaving step 0; the reset disarms the PVT, so no resend follows the stop.
        TimingCase{"ExactlyAtTheLimit", 50000, 10000, "V +3000 0 6 +9999 N +1 N +5000 N",
                   "pvt pvt reset stop", kTimedOut, "Resend ID 21!"},
        TimingCase{"FromTheVersionReportUntilTheFirstStatus", 50000, 10000, "V +500 N +9499 N +1 N",
                   "reset stop", kTimedOut, " "},
        TimingCase{"AcrossTheTickWrapInWholeSeconds", 0xFFFFF000u, 35999, "V 0 +35998 N +1 N",
                   "reset stop", "Time out : 35S", " "},
        TimingCase{"NotAfterTheVerdict", 50000, 10000, "V 0 6 A 4 0 +100000 N W +100000 W",
                   "pvt mode0 eph clear", " F3 Success - 4(Test OK!)", " "},
        // The worker's watch starts the run's clock without a version report; the status
        // reports still move the steps on.
        TimingCase{"WatchedWithoutAVersionReport", 50000, 10000, "W 1 6 +9999 W +1 W",
                   "pvt reset stop", kTimedOut, " "},
        TimingCase{"WatchedAndSilent", 50000, 10000, "W +10000 W", "reset stop", kTimedOut, " "},
        // Counted from the fresh send; any slot writes the message.
        TimingCase{"PvtResentEveryTwoSecondsUntilAcknowledged", 50000, 60000,
                   "V 0 6 +1999 N +1 N +1999 N +2500 N A +5000 N", "pvt pvt pvt mode0 eph clear",
                   " F1 Success - 2 ", "Resend ID 21!"},
        // Only the PVT is resent; a sender in NMEA mode cannot re-arm, so it goes again.
        TimingCase{"OnlyThePvtAndAgainWhenTheSenderCannotRearm", 50000, 10000,
                   "a41 +10000 N nmea a21 +2000 N +100 N", "pvt pvt", " ", "Resend ID 21!"}),
    [](const auto& info) { return std::string(info.param.name); });

struct AckCase {
  uint8_t id;
  int slot;
  Calls calls;
  const char* message;  // the message line afterwards
};

class AckTableTest : public SequencerTest, public ::testing::WithParamInterface<AckCase> {};

TEST_P(AckTableTest, ActionsInOrder) {
  const auto& c = GetParam();
  board_.MessageColor.store(kRed);
  Feed(Ack(c.id), c.slot);
  EXPECT_EQ(calls_, c.calls);
  EXPECT_EQ(board_.MessageText.Get(), c.message);
  EXPECT_EQ(board_.MessageColor.load(), std::string(c.message) == " " ? kRed : kNavy);
}

INSTANTIATE_TEST_SUITE_P(
    Acknowledged, AckTableTest,
    ::testing::Values(AckCase{1, 0, {"clear:0"}, " "}, AckCase{9, 3, {"clear:3"}, " "},
                      AckCase{11, 0, {"clear:0"}, "Get ACK command(VBI->NMEA)!"},
                      AckCase{11, 2, {"clear:2"}, " "},
                      AckCase{21, 0, {"mode0:0", "eph:0", "clear:0"}, "Send EPH"},
                      AckCase{21, 5, {"mode0:5", "eph:5", "clear:5"}, " "},
                      AckCase{41, 0, {"mode1:0", "eph:0", "clear:0"}, " "}, AckCase{0, 0, {}, " "},
                      AckCase{2, 1, {}, " "}, AckCase{14, 0, {}, " "}, AckCase{200, 0, {}, " "}));

TEST_F(SequencerTest, ResetSlotTablesPutsEverySlotToIdleAndKeepsRecords) {
  board_.OutputProtocolIndex.store(1);
  DriveTo(3, 8);
  Feed(CalibrationData(), 8);
  const auto record = sequencer_.CalibrationRecord(8);
  ASSERT_NE(record, CalibrationWords{});
  DriveTo(3, 0);
  for (int slot = 0; slot < app::kSlotCount; ++slot) {
    board_.VersionSeen[slot].store(1);
    board_.StatusColor[slot].store(kRed);
  }
  calls_.clear();
  sequencer_.ResetSlotTables();
  Calls resets;
  for (int slot = 0; slot < app::kSlotCount; ++slot) {
    EXPECT_EQ(board_.VersionSeen[slot].load(), 0);
    EXPECT_EQ(Color(slot), kNavy);
    EXPECT_EQ(sequencer_.SequenceStep(slot), 0);
    EXPECT_FALSE(sequencer_.SequenceActive(slot));
    EXPECT_FALSE(sequencer_.AwaitCalibrationData(slot));
    resets.push_back("reset:" + std::to_string(slot));
  }
  EXPECT_EQ(calls_, resets);
  EXPECT_EQ(sequencer_.CalibrationRecord(8), record);
}

}  // namespace
}  // namespace flashpost::calib
