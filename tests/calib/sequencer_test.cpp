#include "calib/sequencer.h"

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "board/colors.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"

namespace flashpost::calib {
namespace {

using app::kBlue;
using app::kNavy;
using app::kRed;

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
  const auto checksum = static_cast<uint16_t>(0x10000 - sum);
  frame[6] = static_cast<uint8_t>(checksum & 0xFF);
  frame[7] = static_cast<uint8_t>(checksum >> 8);
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

std::vector<uint8_t> CalibrationData() {
  std::vector<uint8_t> payload(256);
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7 + 3);
  return Frame(109, 0, payload);
}

std::vector<uint8_t> NavigationReport() { return Frame(121, 0, std::vector<uint8_t>(59, 0x21)); }
std::vector<uint8_t> Ack(uint8_t id) { return Frame(200, id, {0x01}); }

// Stands in for the VBI senders and the slot stop: records every call in order and keeps a
// pending record per slot the way the senders arm it.
class FakeActions {
 public:
  explicit FakeActions(platform::Clock& clock) : clock_(clock) {}

  SequencerActions Make() {
    return {
        .send_pvt_aiding =
            [this](int slot) {
              Record("pvt", slot);
              if (vbi_mode) Arm(slot, 21);
            },
        .send_next_ephemeris =
            [this](int slot) {
              Record("eph", slot);
              Arm(slot, 41);
            },
        .set_ephemeris_mode = [this](int slot,
                                     int mode) { Record("mode" + std::to_string(mode), slot); },
        .reset_aiding_state =
            [this](int slot) {
              Record("reset", slot);
              Disarm(slot);
            },
        .pending_resend = [this](int slot) -> std::optional<PendingRecord> {
          std::lock_guard lock(mutex_);
          auto it = pending.find(slot);
          if (it == pending.end()) return std::nullopt;
          return it->second;
        },
        .clear_pending_resend =
            [this](int slot) {
              Record("clear", slot);
              Disarm(slot);
            },
        .stop_slot = [this](int slot) { Record("stop", slot); },
    };
  }

  std::vector<std::string> Calls() {
    std::lock_guard lock(mutex_);
    return calls_;
  }
  void ClearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
  }

  bool vbi_mode = true;                  // the slot's protocol mode as the PVT sender sees it
  std::map<int, PendingRecord> pending;  // under mutex_ while workers run

 private:
  void Arm(int slot, uint32_t id) {
    std::lock_guard lock(mutex_);
    pending[slot] = PendingRecord{id, clock_.Ticks()};
  }
  void Disarm(int slot) {
    std::lock_guard lock(mutex_);
    pending.erase(slot);
  }
  void Record(const std::string& what, int slot) {
    std::lock_guard lock(mutex_);
    calls_.push_back(what + ":" + std::to_string(slot));
  }

  platform::Clock& clock_;
  std::mutex mutex_;
  std::vector<std::string> calls_;
};

class SequencerTest : public ::testing::Test {
 protected:
  void Feed(const std::vector<uint8_t>& frame, int slot) {
    sequencer_.HandleModuleMessage(frame.data(), slot);
  }
  // From Idle: version report, then the status reports that bring the slot to the step.
  void DriveTo(int step, int slot) {
    sequencer_.ResetSequence(slot);
    Feed(VersionReport(103, 2), slot);
    const uint32_t phases[] = {0, 6, 4};
    for (int i = 0; i < step; ++i) Feed(StatusReport(phases[i]), slot);
    ASSERT_EQ(sequencer_.SequenceStep(slot), step);
    actions_.ClearCalls();
  }
  std::string Text(int slot) { return board_.StatusText[slot].Get(); }
  uint32_t Color(int slot) { return board_.StatusColor[slot].load(); }

  platform::ManualClock clock_{50000};
  testing::FakeSerialSystem serial_{{"P1"}};
  app::PortBoard board_{clock_, serial_};
  FakeActions actions_{clock_};
  Sequencer sequencer_{board_, actions_.Make()};
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
  EXPECT_TRUE(actions_.Calls().empty());  // nothing goes to the module
}

INSTANTIATE_TEST_SUITE_P(Versions, VersionTextTest,
                         ::testing::Values(VersionCase{103, 2, "[ F/W Ver: 1.2 ] - 1 "},
                                           VersionCase{103, 0xFF, "[ F/W Ver: 1.-1 ] - 1 "},
                                           VersionCase{99, 5, "[ F/W Ver: 0.5 ] - 1 "},
                                           VersionCase{0x0401, 0x80, "[ F/W Ver: 10.-128 ] - 1 "},
                                           VersionCase{0xFFFF, 0x7F, "[ F/W Ver: 655.127 ] - 1 "}));

TEST_F(SequencerTest, VersionReportWritesMessageLineForSlotZeroOnly) {
  board_.MessageColor.store(kRed);
  Feed(VersionReport(103, 2), 4);
  EXPECT_EQ(board_.MessageText.Get(), " ");
  EXPECT_EQ(board_.MessageColor.load(), kRed);
  Feed(VersionReport(103, 2), 0);
  EXPECT_EQ(board_.MessageText.Get(), "Send CMD1");
  EXPECT_EQ(board_.MessageColor.load(), kNavy);
}

TEST_F(SequencerTest, VersionReportIgnoredWhileActiveAndTakenAgainAfterFailure) {
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

TEST_F(SequencerTest, UnknownAndUnexpectedMessagesChangeNothing) {
  Feed(VersionReport(103, 2), 0);
  board_.MessageText.Set("before");
  for (uint8_t id : {0, 2, 21, 41, 102, 110, 120, 141, 255}) Feed(Frame(id, 21, {1, 2, 3}), 0);
  Feed(CalibrationData(), 0);  // not awaited yet
  Feed(Ack(2), 0);
  Feed(Ack(100), 0);
  EXPECT_EQ(Text(0), "[ F/W Ver: 1.2 ] - 1 ");
  EXPECT_EQ(board_.MessageText.Get(), "before");
  EXPECT_EQ(sequencer_.SequenceStep(0), 0);
  EXPECT_TRUE(actions_.Calls().empty());
  EXPECT_EQ(sequencer_.CalibrationRecord(0), CalibrationWords{});
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
  EXPECT_EQ(sequencer_.AwaitCalibrationData(3), c.next_step >= 3);
  if (c.fails) {
    EXPECT_EQ(actions_.Calls(), (std::vector<std::string>{"reset:3", "stop:3"}));
    EXPECT_FALSE(sequencer_.SequenceActive(3));
    EXPECT_FALSE(sequencer_.AwaitCalibrationData(3));
    EXPECT_EQ(board_.VersionSeen[3].load(), 0);
  } else {
    EXPECT_TRUE(sequencer_.SequenceActive(3));
    EXPECT_EQ(board_.VersionSeen[3].load(), 1);
  }
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
                      StatusCase{3, 4, " F3 Failure - 4(Test Fail!) ", kRed, 0, true}));

TEST_F(SequencerTest, CodeSixAtStepOneSendsPvtAndKeepsColour) {
  DriveTo(1, 0);
  board_.StatusColor[0].store(0x123456);
  Feed(StatusReport(6), 0);
  EXPECT_EQ(Text(0), " F1 Success - 2 ");
  EXPECT_EQ(Color(0), 0x123456u);
  EXPECT_EQ(actions_.Calls(), (std::vector<std::string>{"pvt:0"}));
  EXPECT_EQ(board_.MessageText.Get(), "Send PVT");
  EXPECT_EQ(board_.MessageColor.load(), kNavy);

  DriveTo(1, 5);
  Feed(StatusReport(6), 5);
  EXPECT_EQ(actions_.Calls(), (std::vector<std::string>{"pvt:5"}));
  EXPECT_EQ(board_.MessageText.Get(), "Send PVT");  // still slot 0's line
}

TEST_F(SequencerTest, DoneStepIgnoresFurtherStatusReports) {
  DriveTo(3, 6);
  Feed(StatusReport(0), 6);
  board_.StatusColor[6].store(0x123456);
  for (uint32_t phase : {0u, 3u, 6u}) Feed(StatusReport(phase), 6);
  EXPECT_EQ(Text(6), " F3 Success - 4(Test OK!)");
  EXPECT_EQ(Color(6), 0x123456u);
  EXPECT_EQ(sequencer_.SequenceStep(6), 4);
  EXPECT_TRUE(actions_.Calls().empty());
}

TEST_F(SequencerTest, TheWorkersWatchTimesOutARunWithoutVersionOrWithoutReports) {
  board_.WaitTimeoutMs.store(10000);
  // No version report: the status reports move the steps on, and the run's clock, started by
  // the worker's first watch, still holds.
  sequencer_.WatchCalibration(2);
  Feed(StatusReport(1), 2);
  Feed(StatusReport(6), 2);
  EXPECT_EQ(sequencer_.SequenceStep(2), 2);
  EXPECT_EQ(actions_.Calls(), (std::vector<std::string>{"pvt:2"}));
  clock_.Advance(9999);
  sequencer_.WatchCalibration(2);
  EXPECT_EQ(Text(2), " F1 Success - 2 ");
  clock_.Advance(1);
  sequencer_.WatchCalibration(2);
  EXPECT_EQ(Text(2), "Time out : 10S");
  EXPECT_EQ(Color(2), kRed);
  EXPECT_EQ(actions_.Calls().back(), "stop:2");

  // A module that says nothing at all.
  sequencer_.WatchCalibration(5);
  clock_.Advance(10000);
  sequencer_.WatchCalibration(5);
  EXPECT_EQ(Text(5), "Time out : 10S");

  // A finished calibration keeps its verdict.
  DriveTo(3, 3);
  Feed(StatusReport(0), 3);
  sequencer_.WatchCalibration(3);
  clock_.Advance(100000);
  sequencer_.WatchCalibration(3);
  EXPECT_EQ(Text(3), " F3 Success - 4(Test OK!)");
}

class DataStepTest : public SequencerTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(serial::OpenPort(board_, "P1", "115200", 1), 1);
    board_.ProtocolMode[1].store(1);
    DriveTo(3, 1);
  }
  CalibrationWords ExpectedWords() {
    CalibrationWords words{};
    for (size_t i = 0; i < words.size(); ++i) {
      uint32_t w = 0;
      for (int b = 3; b >= 0; --b) w = w << 8 | static_cast<uint8_t>((i * 4 + b) * 7 + 3);
      words[i] = w;
    }
    return words;
  }
};

TEST_F(DataStepTest, VbiOutputKeepsPortOpenAndAwaitsVerdict) {
  board_.OutputProtocolIndex.store(1);
  Feed(CalibrationData(), 1);
  EXPECT_EQ(Text(1), "VBI mode!");
  EXPECT_EQ(Color(1), kBlue);
  EXPECT_EQ(sequencer_.CalibrationRecord(1), ExpectedWords());
  EXPECT_FALSE(sequencer_.AwaitCalibrationData(1));
  EXPECT_EQ(board_.ReadEnabled[1].load(), 1);
  EXPECT_EQ(board_.ProtocolMode[1].load(), 1);
  EXPECT_EQ(sequencer_.SequenceStep(1), 3);

  Feed(StatusReport(0), 1);
  EXPECT_EQ(Text(1), " F3 Success - 4(Test OK!)");
  EXPECT_EQ(Color(1), kNavy);
}

TEST_F(DataStepTest, NmeaOutputSwitchesModeAndClosesPort) {
  board_.OutputProtocolIndex.store(2);
  Feed(CalibrationData(), 1);
  EXPECT_EQ(Text(1), "Close ComPort for NMEA mode!");
  EXPECT_EQ(Color(1), kBlue);
  EXPECT_EQ(board_.ProtocolMode[1].load(), 0);
  EXPECT_EQ(board_.ReadEnabled[1].load(), 0);
  EXPECT_EQ(serial_.Log("P1")->closes.load(), 1);
  EXPECT_EQ(sequencer_.CalibrationRecord(1), ExpectedWords());
  EXPECT_TRUE(actions_.Calls().empty());
}

TEST_F(DataStepTest, OtherOutputIndexKeepsTextAndSecondDataIsIgnored) {
  for (int32_t index : {0, 3, 7}) {
    DriveTo(3, 1);
    board_.OutputProtocolIndex.store(index);
    Feed(CalibrationData(), 1);
    EXPECT_EQ(Text(1), " F2 Success - 3 ");
    EXPECT_EQ(Color(1), kBlue);
    EXPECT_EQ(board_.ReadEnabled[1].load(), 1);
    EXPECT_EQ(sequencer_.CalibrationRecord(1), ExpectedWords());
    Feed(StatusReport(1), 1);  // a failure resets the slot for the next round
  }

  DriveTo(3, 1);
  board_.OutputProtocolIndex.store(1);
  Feed(CalibrationData(), 1);
  Feed(Frame(109, 0, std::vector<uint8_t>(256, 0xEE)), 1);
  EXPECT_EQ(sequencer_.CalibrationRecord(1), ExpectedWords());
}

TEST_F(SequencerTest, TimeOutExactlyAtLimitFromLeavingStepZero) {
  board_.WaitTimeoutMs.store(10000);
  DriveTo(1, 4);
  EXPECT_EQ(board_.StartTick[4].load(), clock_.Ticks());
  Feed(StatusReport(6), 4);  // PVT out and never acknowledged
  actions_.ClearCalls();
  clock_.Advance(9999);
  Feed(NavigationReport(), 4);
  EXPECT_TRUE(sequencer_.SequenceActive(4));
  EXPECT_EQ(actions_.Calls(), (std::vector<std::string>{"pvt:4"}));  // the resend only
  actions_.ClearCalls();

  clock_.Advance(1);
  Feed(NavigationReport(), 4);
  EXPECT_EQ(Text(4), "Time out : 10S");
  EXPECT_EQ(Color(4), kRed);
  EXPECT_FALSE(sequencer_.SequenceActive(4));
  EXPECT_EQ(sequencer_.SequenceStep(4), 0);
  // The reset disarms the PVT, so no resend follows the stop.
  EXPECT_EQ(actions_.Calls(), (std::vector<std::string>{"reset:4", "stop:4"}));
  EXPECT_EQ(board_.MessageText.Get(), "Resend ID 21!");

  actions_.ClearCalls();
  clock_.Advance(5000);
  Feed(NavigationReport(), 4);  // the reset slot is idle: no second time-out
  EXPECT_TRUE(actions_.Calls().empty());
}

TEST_F(SequencerTest, TimeOutSurvivesTickWrapAndShowsWholeSeconds) {
  platform::ManualClock clock(0xFFFFF000u);
  app::PortBoard board(clock, serial_);
  FakeActions actions(clock);
  Sequencer sequencer(board, actions.Make());
  board.WaitTimeoutMs.store(35999);

  sequencer.HandleModuleMessage(VersionReport(103, 2).data(), 7);
  sequencer.HandleModuleMessage(StatusReport(0).data(), 7);
  clock.Advance(35998);  // past the wrap
  sequencer.HandleModuleMessage(NavigationReport().data(), 7);
  EXPECT_TRUE(sequencer.SequenceActive(7));
  clock.Advance(1);
  sequencer.HandleModuleMessage(NavigationReport().data(), 7);
  EXPECT_EQ(board.StatusText[7].Get(), "Time out : 35S");
}

TEST_F(SequencerTest, TimeOutRunsFromVersionReportUntilFirstStatus) {
  board_.StartTick[2].store(clock_.Ticks() - 60000);  // left from an earlier wait
  Feed(VersionReport(103, 2), 2);
  clock_.Advance(500);
  Feed(NavigationReport(), 2);
  EXPECT_TRUE(sequencer_.SequenceActive(2));
  clock_.Advance(9500);
  Feed(NavigationReport(), 2);
  EXPECT_EQ(Text(2), "Time out : 10S");
}

TEST_F(SequencerTest, FinishedCalibrationKeepsItsVerdict) {
  DriveTo(3, 3);
  Feed(StatusReport(0), 3);
  actions_.pending.clear();  // the PVT was acknowledged
  clock_.Advance(100000);
  Feed(NavigationReport(), 3);
  EXPECT_EQ(Text(3), " F3 Success - 4(Test OK!)");
  EXPECT_EQ(sequencer_.SequenceStep(3), 4);
  EXPECT_TRUE(actions_.Calls().empty());
}

TEST_F(SequencerTest, PvtResentEveryTwoSecondsUntilAcknowledged) {
  board_.WaitTimeoutMs.store(60000);
  DriveTo(1, 6);
  Feed(StatusReport(6), 6);
  actions_.ClearCalls();

  clock_.Advance(1999);
  Feed(NavigationReport(), 6);
  EXPECT_TRUE(actions_.Calls().empty());
  EXPECT_EQ(board_.MessageText.Get(), " ");

  clock_.Advance(1);
  Feed(NavigationReport(), 6);
  EXPECT_EQ(actions_.Calls(), (std::vector<std::string>{"pvt:6"}));
  EXPECT_EQ(board_.MessageText.Get(), "Resend ID 21!");  // any slot writes this one
  EXPECT_EQ(board_.MessageColor.load(), kRed);

  // Counted from the fresh send, not the first one.
  clock_.Advance(1999);
  Feed(NavigationReport(), 6);
  EXPECT_EQ(actions_.Calls().size(), 1u);
  clock_.Advance(2500);
  Feed(NavigationReport(), 6);
  EXPECT_EQ(actions_.Calls().size(), 2u);

  Feed(Ack(21), 6);
  actions_.ClearCalls();
  clock_.Advance(5000);
  Feed(NavigationReport(), 6);
  EXPECT_TRUE(actions_.Calls().empty());
}

TEST_F(SequencerTest, ResendOnlyForPvtAndRepeatedWhenSenderCannotRearm) {
  actions_.pending[1] = PendingRecord{41, clock_.Ticks()};
  clock_.Advance(10000);
  Feed(NavigationReport(), 1);
  EXPECT_TRUE(actions_.Calls().empty());

  // A slot not in VBI mode: the sender sends nothing and leaves the old record armed.
  actions_.vbi_mode = false;
  actions_.pending[1] = PendingRecord{21, clock_.Ticks()};
  clock_.Advance(2000);
  Feed(NavigationReport(), 1);
  clock_.Advance(100);
  Feed(NavigationReport(), 1);
  EXPECT_EQ(actions_.Calls(), (std::vector<std::string>{"pvt:1", "pvt:1"}));
}

struct AckCase {
  uint8_t id;
  int slot;
  std::vector<std::string> calls;
  const char* message;  // the message line afterwards
};

class AckTableTest : public SequencerTest, public ::testing::WithParamInterface<AckCase> {};

TEST_P(AckTableTest, ActionsInOrder) {
  const auto& c = GetParam();
  board_.MessageColor.store(kRed);
  Feed(Ack(c.id), c.slot);
  EXPECT_EQ(actions_.Calls(), c.calls);
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
  DriveTo(2, 0);
  Feed(StatusReport(4), 0);
  for (int slot = 0; slot < app::kSlotCount; ++slot) {
    board_.VersionSeen[slot].store(1);
    board_.StatusColor[slot].store(kRed);
  }
  actions_.ClearCalls();

  sequencer_.ResetSlotTables();
  std::vector<std::string> resets;
  for (int slot = 0; slot < app::kSlotCount; ++slot) {
    EXPECT_EQ(board_.VersionSeen[slot].load(), 0);
    EXPECT_EQ(Color(slot), kNavy);
    EXPECT_EQ(sequencer_.SequenceStep(slot), 0);
    EXPECT_FALSE(sequencer_.SequenceActive(slot));
    EXPECT_FALSE(sequencer_.AwaitCalibrationData(slot));
    resets.push_back("reset:" + std::to_string(slot));
  }
  EXPECT_EQ(actions_.Calls(), resets);
  EXPECT_EQ(sequencer_.CalibrationRecord(8), record);
  EXPECT_NE(record, CalibrationWords{});
}

TEST_F(SequencerTest, WholeRunWithAidingChain) {
  board_.OutputProtocolIndex.store(1);
  Feed(VersionReport(103, 2), 0);
  Feed(StatusReport(2), 0);
  Feed(StatusReport(6), 0);
  Feed(Ack(21), 0);
  Feed(Ack(41), 0);
  Feed(Ack(41), 0);
  Feed(StatusReport(4), 0);
  Feed(CalibrationData(), 0);
  EXPECT_EQ(Text(0), "VBI mode!");
  Feed(StatusReport(0), 0);
  EXPECT_EQ(Text(0), " F3 Success - 4(Test OK!)");
  EXPECT_EQ(Color(0), kNavy);
  EXPECT_EQ(board_.MessageText.Get(), "Send EPH");
  EXPECT_EQ(actions_.Calls(),
            (std::vector<std::string>{"pvt:0", "mode0:0", "eph:0", "clear:0", "mode1:0", "eph:0",
                                      "clear:0", "mode1:0", "eph:0", "clear:0"}));
}

TEST_F(SequencerTest, MalformedInputIsIgnored) {
  Feed(VersionReport(103, 2), -1);
  Feed(VersionReport(103, 2), app::kSlotCount);
  sequencer_.HandleModuleMessage(static_cast<const uint8_t*>(nullptr), 0);
  sequencer_.ResetSequence(-3);
  EXPECT_EQ(sequencer_.SequenceStep(12), 0);
  EXPECT_EQ(sequencer_.CalibrationRecord(-1), CalibrationWords{});

  // Reports cut short of their fields.
  Feed(Frame(100, 0, {0, 0, 0, 2, 103}), 1);
  Feed(Frame(101, 0, {0, 0, 0x30}), 1);
  EXPECT_EQ(Text(1), " ");
  EXPECT_EQ(sequencer_.SequenceStep(1), 0);

  // A buffer shorter than the length field says: only what the buffer holds is read.
  const std::vector<uint8_t> header = {0x81, 0xFF, 101, 0, 0xF7, 0x03, 0, 0, 0, 0};
  sequencer_.HandleModuleMessage(std::span<const uint8_t>(header), 1);
  sequencer_.HandleModuleMessage(std::span<const uint8_t>(header.data(), 5), 1);
  EXPECT_EQ(sequencer_.SequenceStep(1), 0);
  EXPECT_TRUE(actions_.Calls().empty());

  DriveTo(3, 1);
  Feed(Frame(109, 0, std::vector<uint8_t>(255, 0xEE)), 1);
  EXPECT_TRUE(sequencer_.AwaitCalibrationData(1));
  EXPECT_EQ(sequencer_.CalibrationRecord(1), CalibrationWords{});
}

// The slot workers drive the sequence while the main thread's timer reads the board and the
// sequencer's state; run under ThreadSanitizer this shows any field that is not shared safely.
TEST_F(SequencerTest, WorkersAndTimerShareStateSafely) {
  board_.OutputProtocolIndex.store(1);
  std::atomic<bool> done{false};
  std::vector<std::thread> workers;
  for (int slot : {1, 2}) {
    workers.emplace_back([this, slot] {
      for (int round = 0; round < 50; ++round) {
        Feed(VersionReport(103, 2), slot);
        for (uint32_t phase : {0u, 6u, 4u}) Feed(StatusReport(phase), slot);
        Feed(CalibrationData(), slot);
        Feed(StatusReport(round % 2 == 0 ? 0u : 1u), slot);
        sequencer_.ResetSequence(slot);
      }
    });
  }
  size_t reads = 0;
  std::thread timer([&] {
    do {
      for (int slot : {1, 2}) {
        reads += board_.StatusText[slot].Get().size() + board_.StatusColor[slot].load();
        reads += static_cast<size_t>(sequencer_.SequenceStep(slot)) +
                 sequencer_.CalibrationRecord(slot)[0];
      }
    } while (!done.load());
  });
  for (auto& w : workers) w.join();
  done.store(true);
  timer.join();
  EXPECT_GT(reads, 0u);
  EXPECT_EQ(sequencer_.CalibrationRecord(1), sequencer_.CalibrationRecord(2));
}

}  // namespace
}  // namespace flashpost::calib
