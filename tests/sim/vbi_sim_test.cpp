// The VBI side of the simulator: frames, the module's calibration road and its faults, the
// reference receiver and its log replay, driven directly with ticks (no pty, no sleep) apart
// from runs through real pseudo-terminals and the program. Frames are built and checked here,
// apart from the simulator's own code, and a model of the calibration station's documented
// reactions plays the other end, so that the module's road is checked against its counterpart.

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "payloads/payloads.h"
#include "platform/clock.h"
#include "platform/serial_device.h"
#include "sim/kx420_device.h"
#include "sim/reference_receiver.h"
#include "sim/sim_args.h"
#include "sim/sim_test_util.h"
#include "sim/vbi.h"

namespace flashpost::sim {
namespace {

using testing::ChecksumOk;
using testing::Fields;
using testing::KernelEntry;
using testing::Packet;
using testing::Probe;
using testing::Sentences;
using testing::StartsWith;

constexpr LineState k9600{9600, true};
constexpr LineState k115200{115200, true};

uint8_t U8(char c) { return static_cast<uint8_t>(c); }

std::string Bytes(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

// A frame as a sender builds it: the checksum is what makes the 16-bit sum of the bytes from
// the id on, plus the checksum, zero.
std::string Frame(uint8_t id, uint8_t sub, const std::vector<uint8_t>& payload) {
  unsigned sum = id + sub + (payload.size() & 0xFF) + (payload.size() >> 8);
  for (uint8_t b : payload) sum += b;
  const unsigned check = (0x10000 - (sum & 0xFFFF)) & 0xFFFF;
  std::string f = Bytes({0x81, 0xFF, id, sub, static_cast<int>(payload.size() & 0xFF),
                         static_cast<int>(payload.size() >> 8), static_cast<int>(check & 0xFF),
                         static_cast<int>(check >> 8)});
  return f + std::string(payload.begin(), payload.end());
}

struct Seen {
  uint8_t id = 0, sub = 0;
  std::vector<uint8_t> payload;
};

// Every whole frame in a stretch of output; bytes outside frames are counted in `skipped`, and
// a frame whose checksum does not add up is a failure.
std::vector<Seen> Frames(const std::string& s, size_t* skipped = nullptr) {
  std::vector<Seen> out;
  size_t junk = 0;
  for (size_t i = 0; i < s.size();) {
    const size_t length = i + 6 <= s.size() ? U8(s[i + 4]) | U8(s[i + 5]) << 8 : 0;
    if (U8(s[i]) != 0x81 || i + 1 >= s.size() || U8(s[i + 1]) != 0xFF ||
        i + 8 + length > s.size()) {
      ++junk;
      ++i;
      continue;
    }
    unsigned sum = U8(s[i + 6]) | U8(s[i + 7]) << 8;
    for (size_t k = i + 2; k < i + 8 + length; ++k) sum += k < i + 6 || k >= i + 8 ? U8(s[k]) : 0;
    EXPECT_EQ(sum & 0xFFFF, 0u) << "frame " << int(U8(s[i + 2])) << " with a bad checksum";
    out.push_back({U8(s[i + 2]), U8(s[i + 3]), {s.begin() + i + 8, s.begin() + i + 8 + length}});
    i += 8 + length;
  }
  if (skipped) *skipped = junk;
  return out;
}

uint32_t Le32(const std::vector<uint8_t>& p, size_t at) {
  return p.at(at) | p.at(at + 1) << 8 | p.at(at + 2) << 16 |
         static_cast<uint32_t>(p.at(at + 3)) << 24;
}

double DoubleAt(const std::vector<uint8_t>& p, size_t at) {
  uint64_t bits = 0;
  for (size_t i = 0; i < 8; ++i) bits |= static_cast<uint64_t>(p.at(at + i)) << (8 * i);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

int Phase(const Seen& status) { return (Le32(status.payload, 0) >> 19) & 7; }

std::vector<uint8_t> Ids(const std::vector<Seen>& frames) {
  std::vector<uint8_t> ids;
  for (const Seen& f : frames) ids.push_back(f.id);
  return ids;
}

// Frames the program sends, byte for byte.
const std::string kTestStart =
    Bytes({0x81, 0xFF, 0x02, 0x00, 0x06, 0x00, 0x20, 0xFF, 0xD8, 0, 0, 0, 0, 0});
const std::string kEphemerisRequest =
    Bytes({0x81, 0xFF, 0x0E, 0x00, 0x03, 0x00, 0x62, 0xFF, 0x8D, 0, 0});
const std::string kToNmeaFirst =
    Bytes({0x81, 0xFF, 0x0B, 0x00, 0x02, 0x00, 0xC8, 0xFF, 0x29, 0x02});
const std::string kToNmeaSecond =
    Bytes({0x81, 0xFF, 0x0B, 0x00, 0x02, 0x00, 0xD0, 0xFF, 0x21, 0x02});
// A proprietary sentence as the program frames it: "$", body, "*", XOR in upper-case hex, CR LF.
std::string Sentence(const std::string& body) {
  unsigned x = 0;
  for (char c : body) x ^= U8(c);
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", x);
  return "$" + body + "*" + hex + "\r\n";
}
const std::string kToVbiFirst = Sentence("PQRV11,1,1,1,2,0");
const std::string kToVbiSecond = Sentence("PQRV11,1,0,1,2,0");

// The program's end of one line, with the time in the test's hands.
struct Wire {
  Device& d;
  LineState line;
  uint32_t now = 1000;

  void Send(const std::string& bytes) {
    d.Receive(now, line, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  }
  // Everything the device transmits while `ms` pass, the time moving on as it asks.
  std::string Run(uint32_t ms) {
    std::string out;
    const uint32_t end = now + ms;
    while (true) {
      auto bytes = d.Transmit(now, line);
      out.append(bytes.begin(), bytes.end());
      if (now == end) return out;
      now += std::clamp<uint32_t>(d.IdleFor(now), 1, end - now);
    }
  }
};

// A PVT aiding as the program builds it from the reference's navigation report.
std::string Pvt(const std::vector<uint8_t>& navigation) {
  std::vector<uint8_t> p(59, 0);
  p[0] = 9;
  std::copy_n(navigation.begin() + 8, 6, p.begin() + 1);
  std::copy_n(navigation.begin() + 18, 24, p.begin() + 7);
  return Frame(21, 0x70, p);
}

// The calibration station's reactions to one module, reduced to what decides a run: the step
// table with its status texts, the aiding it sends, its PVT resend and its time-out. It is not
// the program's code; it is what the module must satisfy.
class Station {
 public:
  Station(std::vector<uint8_t> navigation, std::vector<std::vector<uint8_t>> ephemerides)
      : navigation_(std::move(navigation)), ephemerides_(std::move(ephemerides)) {}

  // The bytes the station sends back for one frame of the module.
  std::string Take(uint32_t now, const Seen& f) {
    if (stopped) return "";
    std::string reply;
    if (f.id == 100 && !active_) {
      const int major = (f.payload.at(5) * 256 + f.payload.at(4)) / 100;
      Show("[ F/W Ver: " + std::to_string(major) + "." +
           std::to_string(static_cast<int8_t>(f.payload.at(3))) + " ] - 1 ");
      active_ = true;
    } else if (f.id == 101) {
      const int phase = Phase(f);
      if (step_ == 0) {
        Show(phase == 0 ? " F3 Success - 1(Calibrated) " : " F3 Failure - 1(No Calibration) ");
        start_ = now;
        step_ = 1;
      } else if (step_ == 1) {
        if (phase != 6) return Fail(" F1 Failure - 2(Test Fail!)");
        Show(" F1 Success - 2 ");
        reply += SendPvt(now);
        step_ = 2;
      } else if (step_ == 2) {
        if (phase != 4) return Fail(" F2 Failure - 3(Test Fail!) ");
        Show(" F2 Success - 3 ");
        await_data_ = true;
        step_ = 3;
      } else if (step_ == 3) {
        if (phase != 0) return Fail(" F3 Failure - 4(Test Fail!) ");
        Show(" F3 Success - 4(Test OK!)");
        step_ = 4;
      }
    } else if (f.id == 109 && await_data_) {
      calibration_data = f.payload;
      await_data_ = false;
      Show("VBI mode!");
    } else if (f.id == 121) {
      if (active_ && now - start_ >= kWaitLimitMs) return Fail("Time out : 35S");
      if (pvt_pending_ && now - pvt_sent_ >= 2000) {
        reply += SendPvt(now);
        ++resends;
      }
    } else if (f.id == 200 && (f.sub == 21 || f.sub == 41)) {
      // After the PVT only the first record goes, and only if none has gone yet.
      if ((f.sub == 41 || sent_ == 0) && sent_ < ephemerides_.size()) {
        reply += Frame(41, 0, ephemerides_[sent_++]);
      }
      pvt_pending_ = false;
    }
    return reply;
  }

  std::string text;
  std::vector<std::string> texts;
  bool stopped = false;
  int pvts_sent = 0, resends = 0;
  std::vector<uint8_t> calibration_data;

  static constexpr uint32_t kWaitLimitMs = 35000;

 private:
  void Show(const std::string& t) {
    text = t;
    texts.push_back(t);
  }
  std::string Fail(const std::string& t) {
    Show(t);
    stopped = true;
    return "";
  }
  std::string SendPvt(uint32_t now) {
    ++pvts_sent;
    pvt_pending_ = true;
    pvt_sent_ = now;
    return Pvt(navigation_);
  }

  const std::vector<uint8_t> navigation_;
  const std::vector<std::vector<uint8_t>> ephemerides_;
  bool active_ = false, await_data_ = false, pvt_pending_ = false;
  int step_ = 0;
  uint32_t start_ = 0, pvt_sent_ = 0;
  size_t sent_ = 0;
};

// What the reference receiver gives the station: a navigation report and its ephemerides, the
// latest header in front of every record, as the station keeps them.
struct Aiding {
  std::vector<uint8_t> navigation;
  std::vector<std::vector<uint8_t>> ephemerides;
};

Aiding FromReference() {
  ReferenceOptions o;
  o.start_in_vbi = true;
  ReferenceReceiver ref(o);
  Wire w{ref, k115200};
  Aiding a;
  for (const Seen& f : Frames(w.Run(1000))) {
    if (f.id == 121) a.navigation = f.payload;
  }
  w.Send(kEphemerisRequest);
  std::vector<uint8_t> header;
  for (const Seen& f : Frames(w.Run(500))) {
    if (f.id != 141) continue;
    header.assign(f.payload.begin(), f.payload.begin() + 8);
    a.ephemerides.push_back(f.payload);
  }
  for (auto& e : a.ephemerides) std::copy(header.begin(), header.end(), e.begin());
  return a;
}

struct Road {
  Station station;
  std::string nmea_after;  // what the module sent once it no longer spoke VBI
  std::vector<uint8_t> ids;
  size_t junk_while_vbi = 0;
};

// Runs a module against the station for `ms`, the station answering each frame at once.
Road RunStation(Kx420Device& d, uint32_t ms, const Aiding& aiding) {
  Road road{Station(aiding.navigation, aiding.ephemerides), "", {}, 0};
  Wire w{d, k9600};
  for (uint32_t t = 0; t < ms; t += 10) {
    const bool was_vbi = d.SpeaksVbi();
    std::string out = w.Run(10);
    if (!was_vbi) {
      road.nmea_after += out;
      continue;
    }
    size_t junk = 0;
    for (const Seen& f : Frames(out, &junk)) {
      road.ids.push_back(f.id);
      w.Send(road.station.Take(w.now, f));
    }
    road.junk_while_vbi += junk;
  }
  return road;
}

ModuleOptions VbiModule() {
  ModuleOptions o;
  o.vbi.at_boot = true;
  return o;
}

TEST(VbiFrameTest, TheProgramsFixedFramesAreWhatTheReceiversBuildAndTake) {
  const struct {
    std::string bytes;
    uint8_t id, sub;
    std::vector<uint8_t> payload;
  } fixed[] = {
      {kTestStart, 2, 0, {0xD8, 0, 0, 0, 0, 0}},
      {kEphemerisRequest, 14, 0, {141, 0, 0}},
      {kToNmeaFirst, 11, 0, {0x29, 0x02}},
      {kToNmeaSecond, 11, 0, {0x21, 0x02}},
  };
  for (const auto& f : fixed) {
    SCOPED_TRACE(int(f.id));
    EXPECT_EQ(vbi::Frame(f.id, f.sub, f.payload), f.bytes);
    EXPECT_EQ(Frame(f.id, f.sub, f.payload), f.bytes);  // the test's own builder agrees
    vbi::FrameCutter cutter;
    int frames = 0;
    for (size_t i = 0; i < f.bytes.size(); ++i) frames += cutter.Feed(0, U8(f.bytes[i]));
    ASSERT_EQ(frames, 1);
    EXPECT_EQ(cutter.Frame().id, f.id);
    EXPECT_EQ(cutter.Frame().payload, f.payload);
  }
  // With no payload only the four header bytes count.
  EXPECT_EQ(vbi::Checksum(200, 21, {}), (0x10000 - 221) & 0xFFFF);
}

TEST(VbiFrameTest, CutterFindsGoodFramesInJunkAndDropsBadOnes) {
  const std::string good = Frame(21, 0x70, std::vector<uint8_t>(59, 0x81));  // leads inside
  const std::string empty = Frame(200, 41, {});
  std::string bad_sum = Frame(41, 0, {1, 2, 3});
  bad_sum[6] ^= 1;
  const struct Case {
    const char* name;
    std::vector<std::pair<uint32_t, std::string>> chunks;  // arrival tick, bytes
    std::vector<uint8_t> ids;
    uint32_t dropped;
  } cases[] = {
      {"junk and false leads before",
       {{0, Bytes({0, 0x81, 0x81, 0x81, 0x00, 0xFF}) + good}},
       {21},
       0},
      {"empty payload", {{0, empty + empty}}, {200, 200}, 0},
      {"split across reads",
       {{0, good.substr(0, 3)}, {40, good.substr(3, 30)}, {80, good.substr(33)}},
       {21},
       0},
      {"bad checksum, then good", {{0, bad_sum + empty}}, {200}, 1},
      {"length beyond the buffer", {{0, Bytes({0x81, 0xFF, 5, 0, 0xF8, 0x03}) + empty}}, {200}, 1},
      {"a lead inside a bad header", {{0, Bytes({0x81, 0xFF, 0xFF, 0xFF}) + empty}}, {200}, 1},
      {"pause inside a frame", {{0, good.substr(0, 20)}, {600, good}}, {21}, 1},
      {"short pauses are no gap", {{0, good.substr(0, 20)}, {499, good.substr(20)}}, {21}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    vbi::FrameCutter cutter;
    std::vector<uint8_t> ids;
    for (const auto& [tick, bytes] : c.chunks) {
      for (char b : bytes) {
        if (cutter.Feed(tick, U8(b))) ids.push_back(cutter.Frame().id);
      }
    }
    EXPECT_EQ(ids, c.ids);
    EXPECT_EQ(cutter.Dropped(), c.dropped);
  }
}

TEST(VbiModuleTest, PassingRoadEndsInSuccessWithTheReferencesAidingAndBackInNmea) {
  const Aiding aiding = FromReference();
  ASSERT_EQ(aiding.navigation.size(), vbi::kNavigationSize);
  ASSERT_EQ(aiding.ephemerides.size(), 8u);  // the default sky's tracked GPS satellites
  Kx420Device d(VbiModule());
  Road road = RunStation(d, 20000, aiding);

  const Station& st = road.station;
  EXPECT_EQ(st.texts,
            (std::vector<std::string>{"[ F/W Ver: 5.1 ] - 1 ", " F3 Failure - 1(No Calibration) ",
                                      " F1 Success - 2 ", " F2 Success - 3 ", "VBI mode!",
                                      " F3 Success - 4(Test OK!)"}));
  EXPECT_EQ(st.resends, 0);
  EXPECT_EQ(road.junk_while_vbi, 0u);
  // The version report opens, the first status follows it before any navigation report.
  ASSERT_GE(road.ids.size(), 3u);
  EXPECT_EQ(std::vector<uint8_t>(road.ids.begin(), road.ids.begin() + 3),
            (std::vector<uint8_t>{100, 101, 121}));

  // The calibration data: 64 words, the last the sum of the others.
  ASSERT_EQ(st.calibration_data.size(), 256u);
  uint32_t sum = 0;
  for (size_t i = 0; i < 63; ++i) sum += Le32(st.calibration_data, 4 * i);
  EXPECT_EQ(Le32(st.calibration_data, 252), sum);

  const VbiActivity a = d.Vbi();
  EXPECT_EQ(a.phases_sent, (std::vector<uint8_t>{7, 6, 4, 0}));
  EXPECT_EQ(a.pvts_acknowledged, 1);
  EXPECT_TRUE(std::equal(a.pvt_time.begin(), a.pvt_time.end(), aiding.navigation.begin() + 8));
  EXPECT_TRUE(
      std::equal(a.pvt_position.begin(), a.pvt_position.end(), aiding.navigation.begin() + 18));
  EXPECT_EQ(a.ephemeris_satellites, (std::vector<uint8_t>{3, 6, 9, 12, 17, 19, 24, 28}));
  EXPECT_EQ(a.damaged_ephemerides, 0);
  EXPECT_TRUE(a.refused.empty());
  EXPECT_GE(a.navigation_reports, 5);

  // Back in NMEA: reports and the probe answered.
  EXPECT_FALSE(d.SpeaksVbi());
  EXPECT_NE(road.nmea_after.find("$GPGGA"), std::string::npos);
  Wire w{d, k9600, 30000};
  w.Send(Probe());
  EXPECT_TRUE(StartsWith(w.Run(0), "$PQRV100,"));
}

TEST(VbiModuleTest, FaultsEndTheRunWhereTheStationSays) {
  const Aiding aiding = FromReference();
  struct Case {
    const char* name;
    void (*set)(VbiOptions&);
    std::string last_text;
  } cases[] = {
      {"wrong phase in report 2", [](VbiOptions& o) { o.phases[1] = 7; },
       " F1 Failure - 2(Test Fail!)"},
      {"wrong phase in report 3", [](VbiOptions& o) { o.phases[2] = 5; },
       " F2 Failure - 3(Test Fail!) "},
      {"wrong phase in report 4", [](VbiOptions& o) { o.phases[3] = 1; },
       " F3 Failure - 4(Test Fail!) "},
      {"PVT never acknowledged", [](VbiOptions& o) { o.acknowledge_pvt = false; },
       "Time out : 35S"},
      {"calibration slower than the limit", [](VbiOptions& o) { o.calibration_ms = 40000; },
       "Time out : 35S"},
      {"no navigation reports", [](VbiOptions& o) { o.navigation_reports = false; },
       " F3 Success - 4(Test OK!)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ModuleOptions o = VbiModule();
    c.set(o.vbi);
    o.vbi.stay_in_vbi = true;  // so that the station still hears it when its limit runs out
    Kx420Device d(o);
    Road road = RunStation(d, 45000, aiding);
    EXPECT_EQ(road.station.text, c.last_text);
    const VbiActivity a = d.Vbi();
    if (!o.vbi.acknowledge_pvt) {
      // Resent every 2 s until the limit, none of them taken.
      EXPECT_GE(road.station.resends, 15);
      EXPECT_EQ(a.pvts_received, road.station.pvts_sent);
      EXPECT_EQ(a.pvts_acknowledged, 0);
      EXPECT_EQ(a.phases_sent, (std::vector<uint8_t>{7, 6}));
    } else {
      EXPECT_EQ(road.station.resends, 0);
    }
    if (!o.vbi.navigation_reports) {
      EXPECT_EQ(a.navigation_reports, 0);
      EXPECT_EQ(std::count(road.ids.begin(), road.ids.end(), 121), 0);
    }
  }
}

TEST(VbiModuleTest, StartsOnlyOnceItHearsItsLine) {
  Kx420Device d(VbiModule());
  Wire w{d, k115200};
  EXPECT_EQ(w.Run(5000), "");  // the program is elsewhere: nothing goes out, nothing starts
  EXPECT_EQ(d.Vbi().version_reports, 0);
  w.line = k9600;
  EXPECT_EQ(w.Run(d.Options().vbi.first_report_ms - 1), "");
  auto frames = Frames(w.Run(1));
  ASSERT_EQ(Ids(frames), (std::vector<uint8_t>{100, 101}));
  EXPECT_EQ(frames[0].payload.at(3), 1);                                   // minor
  EXPECT_EQ(frames[0].payload.at(4) | frames[0].payload.at(5) << 8, 500);  // major × 100
  EXPECT_EQ(Phase(frames[1]), 7);
  EXPECT_EQ(d.ModeName(), "firmware (VBI at 9600)");
}

TEST(VbiModuleTest, BadFramesAreRefusedOrDroppedAndNeverStopTheModule) {
  Kx420Device d(VbiModule());
  Wire w{d, k9600};
  w.Run(5000);  // waiting for aiding now
  std::string bad_sum = Pvt(std::vector<uint8_t>(60, 1));
  bad_sum[7] ^= 0x40;
  std::vector<uint8_t> eph(117, 0);
  std::vector<uint8_t> damaged(117, 0);
  const auto record = vbi::EphemerisRecord(5);
  std::copy(record.begin(), record.end(), damaged.begin() + 8);
  damaged[60] ^= 0x10;
  const struct {
    const char* name;
    std::string bytes;
    std::vector<uint8_t> answer;  // ids of the answers, sub-ids in `about`
    uint8_t about;
  } cases[] = {
      {"PVT one byte short", Frame(21, 0x70, std::vector<uint8_t>(58, 9)), {255}, 21},
      {"PVT without its sub-id", Frame(21, 0, std::vector<uint8_t>(59, 9)), {255}, 21},
      {"PVT with a bad checksum", bad_sum, {}, 0},
      {"ephemeris of satellite 0", Frame(41, 0, eph), {255}, 41},
      {"ephemeris with a damaged record", Frame(41, 0, damaged), {200}, 41},
      {"unknown message", Frame(77, 0, {1}), {255}, 77},
      {"second half of a switch alone", kToNmeaSecond, {255}, 11},
      {"test start", kTestStart, {200}, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    w.Send(c.bytes);
    std::vector<Seen> answers;
    for (const Seen& f : Frames(w.Run(0))) answers.push_back(f);
    EXPECT_EQ(Ids(answers), c.answer);
    if (!answers.empty()) {
      EXPECT_EQ(answers[0].sub, c.about);
    }
  }
  EXPECT_EQ(d.Vbi().dropped_frames, 1u);
  EXPECT_EQ(d.Vbi().damaged_ephemerides, 1);

  // A storm of junk, then a pause: the next good PVT is taken and the calibration goes on.
  uint32_t x = 12345;
  std::string junk;
  for (int i = 0; i < 20000; ++i) {
    x = x * 1103515245u + 12345u;
    junk += static_cast<char>(i % 97 == 0 ? 0x81 : x >> 16);
  }
  w.Send(junk);
  w.Run(vbi::FrameCutter::kGapMs);
  EXPECT_TRUE(d.SpeaksVbi());
  w.Send(Pvt(vbi::NavigationPayload({0, 3, 8})));
  auto answer = Frames(w.Run(0));
  ASSERT_EQ(Ids(answer), (std::vector<uint8_t>{200}));
  EXPECT_EQ(answer[0].sub, 21);
  std::vector<int> phases;
  for (const Seen& f : Frames(w.Run(10000))) {
    if (f.id == 101) phases.push_back(Phase(f));
  }
  EXPECT_EQ(phases, (std::vector<int>{4, 0}));
}

TEST(VbiModuleTest, MessageElevenPairTurnsTheModuleToNmea) {
  Kx420Device d(VbiModule());
  Wire w{d, k9600};
  w.Run(3000);
  w.Send(kToNmeaFirst);
  auto acks = Frames(w.Run(0));
  ASSERT_EQ(acks.size(), 1u);
  EXPECT_EQ(acks[0].id, 200);
  EXPECT_EQ(acks[0].sub, 11);
  w.Run(500);
  EXPECT_TRUE(d.SpeaksVbi());
  w.Send(kToNmeaSecond);
  acks = Frames(w.Run(0));
  ASSERT_EQ(Ids(acks), (std::vector<uint8_t>{200}));  // acknowledged before it turns
  EXPECT_FALSE(d.SpeaksVbi());
  w.Send(Probe());
  EXPECT_TRUE(StartsWith(w.Run(0), "$PQRV100,"));
}

TEST(VbiModuleTest, AllImageDownloadBringsUpVbiAndAnImageAloneDoesNot) {
  for (bool with_loader : {true, false}) {
    SCOPED_TRACE(with_loader ? "loader, then image" : "image only");
    ModuleOptions o;
    o.vbi.after_all_image = true;
    o.baud = 115200;
    Kx420Device d(o);
    Wire w{d, k115200};
    w.Send(KernelEntry());
    ASSERT_EQ(w.Run(0), "\x15");
    auto send_all = [&w](std::span<const uint8_t> payload, size_t size) {
      std::string answers;
      for (uint32_t b = 1; b <= testing::BlockCount(payload, size); ++b) {
        w.Send(Packet(payload, size, b));
        answers += w.Run(0);
      }
      return answers;
    };
    if (with_loader) {
      ASSERT_EQ(send_all(payloads::LoaderImage2(), 128), std::string(28, '\x06'));
      ASSERT_EQ(w.Run(Kx420Device::kLoaderStartMs), "\x15");
    }
    ASSERT_EQ(send_all(payloads::ImageP1(), 1024), std::string(480, '\x06'));
    std::string after = w.Run(Kx420Device::kRebootMs + 1000);
    EXPECT_EQ(d.SpeaksVbi(), with_loader);
    if (with_loader) {
      auto frames = Frames(after);
      ASSERT_FALSE(frames.empty());
      EXPECT_EQ(frames[0].id, 100);
      EXPECT_EQ(frames[0].payload.at(4), 300 & 0xFF);  // the new image's major version, 3
      EXPECT_EQ(frames[0].payload.at(5), 300 >> 8);
    } else {
      w.Send(Probe());
      EXPECT_TRUE(StartsWith(w.Run(0), "$PQRV100,"));
    }
  }
}

TEST(ReferenceReceiverTest, NmeaReportsCarryA3dFixAndTheConfiguredSky) {
  ReferenceOptions o;
  o.satellites = {{5, 40, 90, 45}, {13, 20, 180, 30}, {40, 35, 200, 38}};
  ReferenceReceiver ref(o);
  Wire w{ref, k115200};
  w.Run(0);
  std::vector<std::string> sentences = Sentences(w.Run(1000));
  std::vector<std::string> gsv, gsa;
  for (const auto& s : sentences) {
    EXPECT_TRUE(ChecksumOk(s)) << s;
    if (StartsWith(s, "$GPGSV")) gsv.push_back(s.substr(0, s.find('*')));
    if (StartsWith(s, "$GPGSA")) gsa.push_back(s);
  }
  EXPECT_EQ(gsv,
            (std::vector<std::string>{"$GPGSV,1,1,03,05,40,090,45,13,20,180,30,40,35,200,38"}));
  ASSERT_EQ(gsa.size(), 1u);
  EXPECT_EQ(gsa[0][9], '3');  // where the station reads the fix type
  EXPECT_EQ(Fields(gsa[0]).at(2), "05");
  EXPECT_FALSE(ref.Understands(k9600));
}

TEST(ReferenceReceiverTest, TwoSwitchSentencesHalfASecondApartTurnItToVbi) {
  const struct {
    const char* name;
    std::vector<std::pair<uint32_t, std::string>> sends;  // pause before, bytes
    bool switches;
  } cases[] = {
      {"500 ms apart", {{0, kToVbiFirst}, {500, kToVbiSecond}}, true},
      {"back to back", {{0, kToVbiFirst + kToVbiSecond}}, false},
      {"the second alone", {{0, kToVbiSecond}}, false},
      {"in the wrong order", {{0, kToVbiSecond}, {500, kToVbiFirst}}, false},
      {"a bad checksum", {{0, kToVbiFirst}, {500, "$PQRV11,1,0,1,2,0*2C\r\n"}}, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    ReferenceReceiver ref{ReferenceOptions{}};
    Wire w{ref, k115200};
    w.Run(1500);
    for (const auto& [pause, bytes] : c.sends) {
      w.Run(pause);
      w.Send(bytes);
    }
    EXPECT_EQ(ref.SpeaksVbi(), c.switches);
    std::string next = w.Run(1000);
    if (!c.switches) {
      EXPECT_FALSE(Sentences(next).empty());
      continue;
    }
    EXPECT_TRUE(Sentences(next).empty());
    auto frames = Frames(next);
    ASSERT_EQ(Ids(frames), (std::vector<uint8_t>{121}));
    const auto& p = frames[0].payload;
    EXPECT_EQ(p.at(5) >> 5, 3);
    EXPECT_EQ(p.at(11), 8);  // 08:00:0x, the receiver's clock
    EXPECT_NEAR(DoubleAt(p, 18), 24.78443, 1e-6);
  }
}

TEST(ReferenceReceiverTest, AnswersTheEphemerisRequestOneTrackedGpsSatelliteAtATime) {
  ReferenceOptions o;
  o.start_in_vbi = true;
  o.satellites = {{2, 10, 20, 40}, {35, 5, 300, 25}, {7, 80, 0, -1}, {30, 1, 1, 33}};
  o.stray_ephemeris_satellite = 0;
  ReferenceReceiver ref(o);
  Wire w{ref, k115200};
  w.Run(10);
  w.Send(kEphemerisRequest);
  std::vector<Seen> reports;
  for (uint32_t t = 0; t < 500; ++t) {
    auto frames = Frames(w.Run(1));
    EXPECT_LE(frames.size(), 1u) << "a burst at " << t;  // paced, not all at once
    for (const Seen& f : frames) {
      if (f.id == 141) reports.push_back(f);
    }
  }
  // 2 and 30 are tracked GPS satellites; 35 is SBAS, 7 is not tracked; then the stray record.
  ASSERT_EQ(reports.size(), 3u);
  std::vector<int> satellites;
  for (size_t i = 0; i < reports.size(); ++i) {
    ASSERT_EQ(reports[i].payload.size(), 117u);
    satellites.push_back(reports[i].payload[8]);
    EXPECT_EQ(int(reports[i].payload[6]), static_cast<int>(i) + 1);  // which record of how many
    EXPECT_EQ(int(reports[i].payload[7]), 3);
  }
  EXPECT_EQ(satellites, (std::vector<int>{2, 30, 0}));
  EXPECT_NE(std::vector<uint8_t>(reports[0].payload.begin() + 9, reports[0].payload.end()),
            std::vector<uint8_t>(reports[1].payload.begin() + 9, reports[1].payload.end()));
  EXPECT_EQ(ref.EphemerisReportsSent(), 3);

  // It hands out nothing else on request.
  w.Send(Frame(14, 0, {121, 0, 0}));
  auto refusal = Frames(w.Run(0));
  ASSERT_EQ(Ids(refusal), (std::vector<uint8_t>{255}));
  EXPECT_EQ(refusal[0].sub, 14);
}

TEST(ReferenceReceiverTest, MessageElevenPairTurnsItBackToNmea) {
  ReferenceOptions o;
  o.start_in_vbi = true;
  ReferenceReceiver ref(o);
  Wire w{ref, k115200};
  w.Run(1500);
  w.Send(kToNmeaFirst);
  std::string answers = w.Run(500);
  w.Send(kToNmeaSecond);
  answers += w.Run(0);
  std::vector<uint8_t> acked;
  for (const Seen& f : Frames(answers)) {
    if (f.id == 200) acked.push_back(f.sub);
  }
  EXPECT_EQ(acked, (std::vector<uint8_t>{11, 11}));
  EXPECT_FALSE(ref.SpeaksVbi());
  EXPECT_EQ(ref.SwitchesToNmea(), 1);
  std::string next = w.Run(1000);
  EXPECT_TRUE(Frames(next).empty());
  EXPECT_FALSE(Sentences(next).empty());
}

// A recorded log: junk before the first fix, CR LF and bare LF lines, a wrong checksum.
const std::string kLog =
    "garbage\x81\r\n"
    "$GPGGA,080000.00,2447.0658,N,12100.4583,E,1,08,0.9,112.3,M,17.8,M,,*61\r\n"
    "$GPGSA,A,3,03,06,,,,,,,,,,,1.8,0.9,1.5*00\n"
    "$GPGGA,080001.00,2447.0658,N,12100.4583,E,1,08,0.9,112.3,M,17.8,M,,*60\r\n"
    "$GPRMC,broken*7F\r\n"
    "$GPGGA,080002.00,2447.0658,N,12100.4583,E,1,08,0.9,112.3,M,17.8,M,,*63";

TEST(ReplayTest, StretchesKeepEveryByteAndTheReceiverPlaysOnePerPeriodOverAndOver) {
  auto stretches = ReplayStretches(kLog);
  ASSERT_EQ(stretches.size(), 3u);
  std::string joined;
  for (const auto& s : stretches) joined += s;
  EXPECT_EQ(joined, kLog);
  EXPECT_TRUE(StartsWith(stretches[0], "garbage"));
  EXPECT_TRUE(StartsWith(stretches[1], "$GPGGA,080001"));
  EXPECT_TRUE(StartsWith(stretches[2], "$GPGGA,080002"));

  ReferenceOptions o;
  o.replay_log = kLog;
  ReferenceReceiver ref(o);
  Wire w{ref, k115200};
  w.Run(0);
  std::string played;
  for (int i = 0; i < 4; ++i) played += w.Run(1000);
  EXPECT_EQ(played, joined + stretches[0]);
}

TEST(ReplayTest, LoadTakesARecordedLogAndRefusesWhatIsNone) {
  const auto dir =
      std::filesystem::temp_directory_path() / ("vbi_sim_test_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  auto write = [&dir](const char* name, const std::string& bytes) {
    std::ofstream(dir / name, std::ios::binary) << bytes;
    return (dir / name).string();
  };
  std::string log, error;
  EXPECT_TRUE(LoadReplayLog(write("good.nmea", kLog), log, error)) << error;
  EXPECT_EQ(log, kLog);

  const struct {
    std::string path;
    const char* reason;
  } bad[] = {
      {(dir / "missing.nmea").string(), "does not exist"},
      {dir.string(), "not a regular file"},
      {write("empty.nmea", ""), "no NMEA sentence"},
      {write("binary.bin", std::string("\x00\x81\xFF$\x01*", 6) + std::string(5000, '\xA5')),
       "no NMEA sentence"},
      {write("text.txt", "$GPGGA without a checksum\r\nhello\r\n"), "no NMEA sentence"},
  };
  for (const auto& b : bad) {
    SCOPED_TRACE(b.path);
    log = "untouched";
    error.clear();
    EXPECT_FALSE(LoadReplayLog(b.path, log, error));
    EXPECT_NE(error.find(b.reason), std::string::npos) << error;
    EXPECT_NE(error.find(b.path), std::string::npos) << error;
    EXPECT_EQ(log, "untouched");
  }
  std::filesystem::remove_all(dir);
}

TEST(VbiSimArgsTest, VbiAndReferenceFlags) {
  SimArgs a;
  std::string error;
  ASSERT_TRUE(ParseSimArgs({}, a, error)) << error;
  EXPECT_FALSE(a.vbi.at_boot);
  EXPECT_FALSE(a.reference);
  EXPECT_EQ(a.vbi.phases, (std::array<uint8_t, 4>{7, 6, 4, 0}));

  ASSERT_TRUE(ParseSimArgs({"--vbi", "--vbi-after-download", "--phases=0,6,4,0", "--wrong-phase",
                            "3", "--calibration-ms", "40000", "--no-pvt-ack", "--no-navigation",
                            "--stay-vbi", "--replay", "log.nmea", "--reference-baud=9600"},
                           a, error))
      << error;
  EXPECT_TRUE(a.vbi.at_boot);
  EXPECT_TRUE(a.vbi.after_all_image);
  EXPECT_EQ(a.vbi.phases, (std::array<uint8_t, 4>{0, 6, 5, 0}));
  EXPECT_EQ(a.vbi.calibration_ms, 40000u);
  EXPECT_FALSE(a.vbi.acknowledge_pvt);
  EXPECT_FALSE(a.vbi.navigation_reports);
  EXPECT_TRUE(a.vbi.stay_in_vbi);
  EXPECT_TRUE(a.reference);  // implied by --replay
  EXPECT_EQ(a.replay, "log.nmea");
  EXPECT_EQ(a.reference_baud, 9600u);

  for (const auto& args : std::vector<std::vector<std::string>>{{"--phases", "7,6,4"},
                                                                {"--phases", "7,6,4,0,1"},
                                                                {"--phases", "7,6,8,0"},
                                                                {"--phases", "7,,4,0"},
                                                                {"--wrong-phase", "1"},
                                                                {"--wrong-phase", "5"},
                                                                {"--calibration-ms", "x"},
                                                                {"--replay"},
                                                                {"--replay="},
                                                                {"--reference-baud", "0"},
                                                                {"--vbi=1"},
                                                                {"--reference=yes"}}) {
    EXPECT_FALSE(ParseSimArgs(args, a, error)) << args[0];
    EXPECT_FALSE(error.empty());
  }
}

TEST(VbiSimProgramTest, AReplayFileThatIsNoLogStopsTheStartWithItsReason) {
  const std::string err = (std::filesystem::temp_directory_path() /
                           ("kx420_sim_replay_err_" + std::to_string(::getpid())))
                              .string();
  const std::string command =
      std::string(KX420_SIM_PATH) + " --replay /nonexistent/capture.nmea >/dev/null 2>" + err;
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::ifstream in(err);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::filesystem::remove(err);
  EXPECT_EQ(text, "kx420-sim: replay file \"/nonexistent/capture.nmea\" does not exist\n");
}

TEST(VbiSimProgramTest, PrintsTheReferencePortLastAndServesItAtTheModulesSpeed) {
  // The shell's first line is its pid, which the program then takes over.
  const std::string command =
      std::string("echo $$; exec ") + KX420_SIM_PATH + " --vbi --reference --export --baud 4800";
  FILE* out = ::popen(command.c_str(), "r");
  ASSERT_NE(out, nullptr);
  std::vector<std::string> lines;
  char line[512];
  while (lines.size() < 4 && std::fgets(line, sizeof line, out)) {
    lines.push_back(std::string(line, std::strcspn(line, "\n")));
  }
  ASSERT_EQ(lines.size(), 4u);
  const pid_t pid = std::stoi(lines[0]);
  ASSERT_TRUE(StartsWith(lines[1], "module 0: /dev/pts/")) << lines[1];
  ASSERT_TRUE(StartsWith(lines[2], "reference: /dev/pts/")) << lines[2];
  const std::string module_port = lines[1].substr(10), reference_port = lines[2].substr(11);
  EXPECT_EQ(lines[3], "FLASHPOST_PORTS=" + module_port + ":" + reference_port);

  platform::SystemClock clock;
  auto dev = platform::MakeHostSerialSystem()->Open(reference_port, clock, 100);
  ASSERT_NE(dev, nullptr);
  ASSERT_TRUE(dev->Configure(4800));
  std::string text;
  uint8_t buf[256];
  for (int i = 0; i < 50 && Sentences(text).empty(); ++i) {
    text.append(reinterpret_cast<char*>(buf), dev->Read(buf, sizeof buf));
  }
  EXPECT_FALSE(Sentences(text).empty()) << text;
  dev->Close();
  ::kill(pid, SIGTERM);
  EXPECT_EQ(::pclose(out), 0);
}

// The reference on a real pseudo-terminal, reached through the program's serial layer and
// switched the way the terminal page does it.
TEST(SimulatedReferenceTest, SwitchesOverAPtyAndAnswersTheEphemerisRequest) {
  platform::ScaledClock clock(10);
  SimulatedReference ref(ReferenceOptions{}, clock);
  ASSERT_TRUE(ref.ok());
  ref.Start();
  auto dev = platform::MakeHostSerialSystem()->Open(ref.PortPath(), clock, 100);
  ASSERT_NE(dev, nullptr);
  ASSERT_TRUE(dev->Configure(115200));
  auto write = [&dev](const std::string& bytes) {
    ASSERT_TRUE(dev->Write(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
  };
  auto read_for = [&](uint32_t ms) {
    std::string text;
    uint8_t buf[512];
    for (uint32_t start = clock.Ticks(); !platform::Elapsed(clock.Ticks(), start, ms);) {
      text.append(reinterpret_cast<char*>(buf), dev->Read(buf, sizeof buf));
    }
    return text;
  };
  EXPECT_FALSE(Sentences(read_for(2500)).empty());
  write(kToVbiFirst);
  clock.Sleep(500);
  write(kToVbiSecond);
  read_for(200);
  ASSERT_TRUE(ref.SpeaksVbi());
  write(kEphemerisRequest);
  int reports = 0;
  for (const Seen& f : Frames(read_for(2500))) reports += f.id == 141;
  EXPECT_EQ(reports, 8);
  EXPECT_GE(ref.NavigationReportsSent(), 1);
  dev->Close();
  ref.Stop();
}

}  // namespace
}  // namespace flashpost::sim
