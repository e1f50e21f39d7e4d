#include "calib/sequencer.h"

#include <gtest/gtest.h>

#include <cctype>
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

// A frame as the module sends it (its byte sum from the identifier on is 0 modulo 2^16), in the
// worker's zero-filled receive buffer.
std::vector<uint8_t> Frame(uint8_t id, uint8_t sub, const std::vector<uint8_t>& payload = {}) {
  const auto n = static_cast<uint16_t>(payload.size());
  std::vector<uint8_t> frame = {
      0x81, 0xFF, id, sub, static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), 0, 0};
  frame.resize(kModuleFrameBufferSize, 0);
  std::copy(payload.begin(), payload.end(), frame.begin() + 8);
  uint16_t sum = 0;
  for (size_t i = 2; i < frame.size(); ++i) sum = static_cast<uint16_t>(sum + frame[i]);
  frame[6] = static_cast<uint8_t>(-sum);
  frame[7] = static_cast<uint8_t>(-sum >> 8);
  return frame;
}

std::vector<uint8_t> VersionReport(uint16_t version, uint8_t minor) {
  return Frame(100, 0,
               {0x11, 0x22, 0x33, minor, static_cast<uint8_t>(version & 0xFF),
                static_cast<uint8_t>(version >> 8), 0x44});
}

// The phase in bits 19..21, every other bit set so that a wrong mask or shift shows.
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
  // Stand-ins for the VBI senders and the slot stop: each records its call and arms (id > 0) or
  // disarms (id < 0) the slot's pending record the way the real one does.
  std::function<void(int)> Action(std::string what, int id = 0) {
    return [this, what, id](int slot) {
      calls_.push_back(what + ":" + std::to_string(slot));
      if (id < 0) pending_.erase(slot);
      // The PVT sender sends nothing in NMEA mode and leaves the record as it was.
      if (id > 0 && (id != 21 || vbi_mode_)) {
        pending_[slot] = PendingRecord{static_cast<uint32_t>(id), clock_.Ticks()};
      }
    };
  }
  SequencerActions Actions() {
    return {.send_pvt_aiding = Action("pvt", 21),
            .send_next_ephemeris = Action("eph", 41),
            .set_ephemeris_mode = [this](int slot,
                                         int mode) { Action("mode" + std::to_string(mode))(slot); },
            .reset_aiding_state = Action("reset", -1),
            .pending_resend = [this](int slot) -> std::optional<PendingRecord> {
              auto it = pending_.find(slot);
              if (it == pending_.end()) return std::nullopt;
              return it->second;
            },
            .clear_pending_resend = Action("clear", -1),
            .stop_slot = Action("stop")};
  }

  void Feed(const std::vector<uint8_t>& frame, int slot) {
    sequencer_.HandleModuleMessage(frame.data(), slot);
  }
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

TEST_F(SequencerTest, UnknownUnexpectedAndMalformedMessagesChangeNothing) {
  Feed(VersionReport(103, 2), 0);
  board_.MessageText.Set("before");
  for (uint8_t id : {0, 2, 21, 41, 102, 110, 120, 141, 255}) Feed(Frame(id, 21, {1, 2, 3}), 0);
  Feed(CalibrationData(), 0);  // not awaited yet
  for (uint8_t id : {2, 100}) Feed(Ack(id), 0);
  // Reports cut short of their fields.
  Feed(Frame(100, 0, {0, 0, 0, 2, 103}), 1);
  Feed(Frame(101, 0, {0, 0, 0x30}), 1);
  // A buffer shorter than the length field says: only what the buffer holds is read.
  const std::vector<uint8_t> header = {0x81, 0xFF, 101, 0, 0xF7, 0x03, 0, 0, 0, 0};
  sequencer_.HandleModuleMessage(std::span<const uint8_t>(header), 1);
  sequencer_.HandleModuleMessage(std::span<const uint8_t>(header.data(), 5), 1);
  for (int slot : {-1, app::kSlotCount}) Feed(VersionReport(103, 2), slot);
  sequencer_.HandleModuleMessage(static_cast<const uint8_t*>(nullptr), 0);
  sequencer_.ResetSequence(-3);
  EXPECT_EQ(Text(0), "[ F/W Ver: 1.2 ] - 1 ");
  EXPECT_EQ(Text(1), " ");
  EXPECT_EQ(board_.MessageText.Get(), "before");
  for (int slot : {0, 1, 12}) EXPECT_EQ(sequencer_.SequenceStep(slot), 0) << slot;
  EXPECT_TRUE(calls_.empty());
  for (int slot : {0, -1}) EXPECT_EQ(sequencer_.CalibrationRecord(slot), CalibrationWords{});
  DriveTo(3, 1);
  Feed(Frame(109, 0, std::vector<uint8_t>(255, 0xEE)), 1);
  EXPECT_TRUE(sequencer_.AwaitCalibrationData(1));
  EXPECT_EQ(sequencer_.CalibrationRecord(1), CalibrationWords{});
}

// The calibration data by the output protocol the operator chose; a second one is not taken.
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

// The sequence driven by a script of events on the row's slot: "+ms" moves the clock on, "@tick"
// sets it, "t<ms>" is the run's waiting time; V is a version report (v<number>/<minor> one with
// those fields), a digit a status report with that phase, N a navigation report, W the worker's
// watch, A<id> an acknowledgement, a<id> a pending record armed now, nmea the PVT sender in NMEA
// mode, and c puts the status colour back to kUntouched.
constexpr uint32_t kUntouched = 0x123456;

struct ScriptCase {
  const char* name;
  int slot;
  const char* script;
  const char* calls;  // the actions run, in order
  const char* text;   // the status line at the end
  uint32_t color;     // its colour
  int step;
  const char* message = " ";  // the message line at the end
};

class ScriptTest : public SequencerTest, public ::testing::WithParamInterface<ScriptCase> {};

TEST_P(ScriptTest, LinesActionsAndStepAtTheEnd) {
  const auto& c = GetParam();
  const int slot = c.slot;
  board_.StatusColor[slot].store(kUntouched);
  board_.MessageColor.store(kRed);
  board_.VersionSeen[slot].store(1);
  board_.WaitTimeoutMs.store(10000);
  board_.StartTick[slot].store(clock_.Ticks() - 60000);  // left from an earlier wait
  std::istringstream script(c.script);
  for (std::string e; script >> e;) {
    const auto number = [&e] { return static_cast<uint32_t>(std::stoul(e.substr(1))); };
    if (e[0] == '+') clock_.Advance(number());
    if (e[0] == '@') {
      clock_.Advance(number() - clock_.Ticks());
      board_.StartTick[slot].store(clock_.Ticks() - 60000);
    }
    if (e[0] == 't') board_.WaitTimeoutMs.store(static_cast<int32_t>(number()));
    if (e == "V") Feed(VersionReport(103, 2), slot);
    if (e[0] == 'v') Feed(VersionReport(number(), std::stoul(e.substr(e.find('/') + 1))), slot);
    if (e == "N") Feed(NavigationReport(), slot);
    if (e == "W") sequencer_.WatchCalibration(slot);
    if (e[0] == 'A') Feed(Ack(static_cast<uint8_t>(number())), slot);
    if (e == "nmea") vbi_mode_ = false;
    if (e[0] == 'a') pending_[slot] = PendingRecord{number(), clock_.Ticks()};
    if (e == "c") board_.StatusColor[slot].store(kUntouched);
    if (std::isdigit(static_cast<unsigned char>(e[0]))) Feed(StatusReport(std::stoul(e)), slot);
  }
  std::string calls;
  const std::string own = ":" + std::to_string(slot);
  for (const auto& call : calls_) {
    calls +=
        (calls.empty() ? "" : " ") + (call.ends_with(own) ? call.substr(0, call.find(':')) : call);
  }
  EXPECT_EQ(calls, c.calls);
  EXPECT_EQ(Text(slot), c.text);
  EXPECT_EQ(Color(slot), c.color);
  EXPECT_EQ(board_.MessageText.Get(), c.message);
  const std::string message = c.message;
  EXPECT_EQ(board_.MessageColor.load(),
            message == " " || message == "Resend ID 21!" ? kRed : kNavy);
  EXPECT_EQ(sequencer_.SequenceStep(slot), c.step);
  // A failure or a time-out resets the slot; nothing else does.
  EXPECT_EQ(board_.VersionSeen[slot].load(), calls.find("stop") != std::string::npos ? 0 : 1);
}

constexpr const char* kTimedOut = "Time out : 10S";
constexpr const char* kCalibrated = " F3 Success - 4(Test OK!)";

const ScriptCase kScripts[] = {
    // The version report: the major from the version number, the minor signed; nothing is sent.
    {"LowestMinor", 2, "v1025/128", "", "[ F/W Ver: 10.-128 ] - 1 ", kUntouched, 0},
    {"Highest", 2, "v65535/127", "", "[ F/W Ver: 655.127 ] - 1 ", kUntouched, 0},
    {"VersionOnSlotZero", 0, "V", "", "[ F/W Ver: 1.2 ] - 1 ", kUntouched, 0, "Send CMD1"},
    {"VersionIgnoredInARun", 1, "V 3 v205/9", "", " F3 Failure - 1(No Calibration) ", kNavy, 1},
    {"VersionTakenAgainAfterAFailure", 1, "V 3 5 v205/9", "reset stop", "[ F/W Ver: 2.9 ] - 1 ",
     kRed, 0},
    // The status reports, step by step.
    {"Calibrated", 3, "V 0", "", " F3 Success - 1(Calibrated) ", kNavy, 1},
    {"StepOneWantsSixNotZero", 3, "V 0 0", "reset stop", " F1 Failure - 2(Test Fail!)", kRed, 0},
    {"StepOneWantsSixNotSeven", 3, "V 0 7", "reset stop", " F1 Failure - 2(Test Fail!)", kRed, 0},
    {"StepOneOnSlotZero", 0, "V 0 c 6", "pvt", " F1 Success - 2 ", kUntouched, 2, "Send PVT"},
    {"StepTwoWantsFour", 3, "V 0 6 c 4", "pvt", " F2 Success - 3 ", kNavy, 3},
    {"StepTwoFails", 3, "V 0 6 6", "pvt reset stop", " F2 Failure - 3(Test Fail!) ", kRed, 0},
    {"StepThreeWantsZero", 3, "V 0 6 4 c 0", "pvt", kCalibrated, kNavy, 4},
    {"StepThreeFails", 3, "V 0 6 4 4", "pvt reset stop", " F3 Failure - 4(Test Fail!) ", kRed, 0},
    {"DoneTakesNoMoreReports", 3, "V 0 6 4 0 c 0 3 6", "pvt", kCalibrated, kUntouched, 4},
    // The acknowledgements.
    {"Ack1And9", 0, "A1 A9", "clear clear", " ", kUntouched, 0},
    {"Ack11", 0, "A11", "clear", " ", kUntouched, 0, "Get ACK command(VBI->NMEA)!"},
    {"Ack11And21OnSlotTwo", 2, "A11 A21", "clear mode0 eph clear", " ", kUntouched, 0},
    {"Ack21", 0, "A21", "mode0 eph clear", " ", kUntouched, 0, "Send EPH"},
    {"Ack41", 0, "A41", "mode1 eph clear", " ", kUntouched, 0},
    {"OtherAcks", 1, "A0 A2 A14 A200", "", " ", kUntouched, 0},
    // The time-out, counted from leaving step 0; the reset disarms the PVT: no resend follows.
    {"TimeOutExactlyAtTheLimit", 3, "V +3000 0 6 +9999 N +1 N +5000 N", "pvt pvt reset stop",
     kTimedOut, kRed, 0, "Resend ID 21!"},
    {"TimeOutFromTheVersionReportUntilTheFirstStatus", 3, "V +500 N +9499 N +1 N", "reset stop",
     kTimedOut, kRed, 0},
    {"TimeOutAcrossTheTickWrapInWholeSeconds", 3, "@4294963200 t35999 V 0 +35998 N +1 N",
     "reset stop", "Time out : 35S", kRed, 0},
    {"NoTimeOutAfterTheVerdict", 3, "V 0 6 A21 4 0 +100000 N W +100000 W", "pvt mode0 eph clear",
     kCalibrated, kNavy, 4},
    // The worker's watch starts the run's clock without a version report.
    {"WatchedWithoutAVersionReport", 3, "W 1 6 +9999 W +1 W", "pvt reset stop", kTimedOut, kRed, 0},
    // The PVT is resent 2 s after its last send until acknowledged; any slot writes the message.
    {"PvtResentUntilAcknowledged", 3, "t60000 V 0 6 +1999 N +1 N +1999 N +2500 N A21 +5000 N",
     "pvt pvt pvt mode0 eph clear", " F1 Success - 2 ", kNavy, 2, "Resend ID 21!"},
    // Only the PVT; a sender in NMEA mode cannot re-arm it, so it goes again.
    {"OnlyThePvtAndAgainWhenTheSenderCannotRearm", 3, "a41 +10000 N nmea a21 +2000 N +100 N",
     "pvt pvt", " ", kUntouched, 0, "Resend ID 21!"},
};

INSTANTIATE_TEST_SUITE_P(Sequence, ScriptTest, ::testing::ValuesIn(kScripts),
                         [](const auto& info) { return std::string(info.param.name); });

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
