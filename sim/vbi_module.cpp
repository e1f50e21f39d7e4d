#include "sim/vbi_module.h"

#include <algorithm>
#include <utility>

#include "sim/device.h"

namespace flashpost::sim {

namespace {

// What the version report carries besides the version: hardware revision, build, model.
constexpr uint8_t kHardwareRevision = 0x42;
constexpr uint16_t kBuild = 0x2403;
constexpr char kModel[] = "KX420-AP";

// Status bits the firmware keeps beside the phase (tracking, oscillator and antenna flags); set,
// so that a reader that takes the wrong bits for the phase gets a wrong code.
constexpr uint32_t kStatusFlags = 0x01470042;

// The calibration result this bench's crystal gives.
constexpr int32_t kCrystalOffsetPpb = -1375;
constexpr int32_t kCrystalTemperatureCentiC = 2650;
constexpr uint32_t kCalibrationMagic = 0x4C43584B;  // "KXCL" in the order of the bytes

// How often the firmware looks at the line while it waits to be powered.
constexpr uint32_t kLineLookMs = 5;

// The first status follows the version report at once: a navigation report between them would
// reach a calibration station before it has started its clock.
constexpr uint32_t kNavigationLagMs = VbiFirmware::kNavigationPeriodMs / 2;

bool IsGpsSatellite(uint8_t n) { return n >= 1 && n <= 32; }

}  // namespace

VbiFirmware::VbiFirmware(const VbiOptions& options, int major_version, int minor_version,
                         int fix_type, int satellites_used)
    : options_(options),
      major_(std::clamp(major_version, 0, 655)),
      minor_(std::clamp(minor_version, -128, 127)),
      fix_type_(fix_type),
      satellites_used_(satellites_used) {}

void VbiFirmware::PowerUp(uint32_t tick) {
  stage_ = Stage::kStarting;
  const uint32_t first = tick + options_.first_report_ms;
  Queue(first, VersionFrame());
  Queue(first, StatusFrame(0));
  Queue(first + options_.report_gap_ms, StatusFrame(1), Then::kAwaitAiding);
  next_navigation_ = first + kNavigationLagMs;
}

void VbiFirmware::Receive(uint32_t tick, uint8_t b) {
  if (stage_ == Stage::kBackToNmea) return;
  // Bytes at the module's speed: the program's line is there, so the module is powered.
  if (stage_ == Stage::kPoweredOff) PowerUp(tick);
  const bool framed = cutter_.Feed(tick, b);
  activity_.dropped_frames = cutter_.Dropped();
  if (framed) OnFrame(tick, cutter_.Frame());
}

void VbiFirmware::OnFrame(uint32_t tick, const vbi::Message& m) {
  switch (m.id) {
    case vbi::kPvtAiding:
      OnPvt(tick, m);
      break;
    case vbi::kEphemeris:
      OnEphemeris(tick, m);
      break;
    case vbi::kSwitchToNmea:
      OnSwitchToNmea(tick, m);
      break;
    case vbi::kTestStart:
      Answer(tick, vbi::kAck, m.id);
      break;
    default:
      Answer(tick, vbi::kRefusal, m.id);
      break;
  }
}

void VbiFirmware::OnPvt(uint32_t tick, const vbi::Message& m) {
  ++activity_.pvts_received;
  if (!options_.acknowledge_pvt) return;
  if (m.sub_id != vbi::kPvtSubId || m.payload.size() != vbi::kPvtAidingSize ||
      m.payload[0] != vbi::kPvtKind) {
    Answer(tick, vbi::kRefusal, m.id);
    return;
  }
  std::copy_n(m.payload.begin() + vbi::kPvtTimeOffset, vbi::kNavTimeSize,
              activity_.pvt_time.begin());
  std::copy_n(m.payload.begin() + vbi::kPvtPositionOffset, vbi::kNavPositionSize,
              activity_.pvt_position.begin());
  ++activity_.pvts_acknowledged;
  Answer(tick, vbi::kAck, m.id);
  // Aiding is welcome at any time; it starts the calibration only once the firmware waits for
  // it, and only once.
  if (stage_ == Stage::kWaitingForAiding) {
    StartCalibration(tick);
  } else if (stage_ == Stage::kStarting) {
    aided_ = true;
  }
}

void VbiFirmware::OnEphemeris(uint32_t tick, const vbi::Message& m) {
  const uint8_t satellite =
      m.payload.size() == vbi::kEphemerisSize ? m.payload[vbi::kEphemerisHeaderSize] : 0;
  if (!IsGpsSatellite(satellite)) {
    Answer(tick, vbi::kRefusal, m.id);
    return;
  }
  activity_.ephemeris_satellites.push_back(satellite);
  const auto expected = vbi::EphemerisRecord(satellite);
  if (!std::equal(expected.begin(), expected.end(),
                  m.payload.begin() + vbi::kEphemerisHeaderSize)) {
    ++activity_.damaged_ephemerides;
  }
  Answer(tick, vbi::kAck, m.id);
}

void VbiFirmware::OnSwitchToNmea(uint32_t tick, const vbi::Message& m) {
  // The first message (29 02) names the output protocol, the second (21 02) makes it so.
  const bool prepare = m.payload == std::vector<uint8_t>{0x29, 0x02};
  const bool commit = m.payload == std::vector<uint8_t>{0x21, 0x02};
  if (!(prepare || (commit && nmea_switch_armed_))) {
    nmea_switch_armed_ = false;
    Answer(tick, vbi::kRefusal, m.id);
    return;
  }
  Answer(tick, vbi::kAck, m.id);
  nmea_switch_armed_ = prepare;
  if (commit) Queue(tick, "", Then::kHandBack);
}

void VbiFirmware::StartCalibration(uint32_t tick) {
  stage_ = Stage::kCalibrating;
  const uint32_t calibrating = tick + options_.report_gap_ms;
  const uint32_t data = calibrating + options_.calibration_ms;
  const uint32_t calibrated = data + options_.report_gap_ms;
  Queue(calibrating, StatusFrame(2));
  Queue(data, CalibrationDataFrame());
  Queue(calibrated, StatusFrame(3));
  if (!options_.stay_in_vbi) Queue(calibrated + options_.report_gap_ms, "", Then::kHandBack);
}

void VbiFirmware::Queue(uint32_t at, std::string frame, Then then) {
  // Behind everything due at the same time or earlier, so that answers keep their order.
  auto later = std::find_if(due_.begin(), due_.end(),
                            [at](const Due& d) { return static_cast<int32_t>(d.at - at) > 0; });
  due_.insert(later, Due{at, std::move(frame), then});
}

void VbiFirmware::Answer(uint32_t tick, uint8_t answer_id, uint8_t about) {
  if (answer_id == vbi::kRefusal) activity_.refused.push_back(about);
  Queue(tick, vbi::Frame(answer_id, about, {}));
}

std::string VbiFirmware::Transmit(uint32_t tick, bool heard) {
  if (stage_ == Stage::kPoweredOff) {
    if (!heard) return {};
    PowerUp(tick);
  }
  std::string out;
  while (stage_ != Stage::kBackToNmea && !due_.empty() && Reached(tick, due_.front().at)) {
    Due d = std::move(due_.front());
    due_.erase(due_.begin());
    if (heard) {
      Count(d.frame);
      out += d.frame;
    }
    if (d.then == Then::kAwaitAiding) {
      stage_ = Stage::kWaitingForAiding;
      if (aided_) StartCalibration(d.at);
    } else if (d.then == Then::kHandBack) {
      stage_ = Stage::kBackToNmea;
      due_.clear();
    }
  }
  if (stage_ == Stage::kBackToNmea || !options_.navigation_reports) return out;
  if (Reached(tick, next_navigation_)) {
    std::string report = vbi::Frame(vbi::kNavigation, 0,
                                    vbi::NavigationPayload({tick, fix_type_, satellites_used_}));
    if (heard) {
      Count(report);
      out += report;
    }
    next_navigation_ += kNavigationPeriodMs;
    // A pump that fell far behind starts a fresh period instead of sending a burst.
    if (Reached(tick, next_navigation_)) next_navigation_ = tick + kNavigationPeriodMs;
  }
  return out;
}

uint32_t VbiFirmware::IdleFor(uint32_t tick) const {
  if (stage_ == Stage::kPoweredOff) return kLineLookMs;
  if (stage_ == Stage::kBackToNmea) return Device::kMaxIdleMs;
  uint32_t idle = Device::kMaxIdleMs;
  auto until = [tick, &idle](uint32_t at) {
    idle = std::min(idle, Reached(tick, at) ? 0 : at - tick);
  };
  if (!due_.empty()) until(due_.front().at);
  if (options_.navigation_reports) until(next_navigation_);
  return idle;
}

void VbiFirmware::Count(const std::string& frame) {
  if (frame.size() < vbi::kHeaderSize) return;
  const std::span<const uint8_t> payload(
      reinterpret_cast<const uint8_t*>(frame.data()) + vbi::kHeaderSize,
      frame.size() - vbi::kHeaderSize);
  switch (static_cast<uint8_t>(frame[2])) {
    case vbi::kVersion:
      ++activity_.version_reports;
      break;
    case vbi::kCalibrationStatus:
      activity_.phases_sent.push_back((vbi::GetLe32(payload, 0) >> kPhaseShift) & 7);
      break;
    case vbi::kCalibrationData:
      activity_.calibration_data_sent = true;
      break;
    case vbi::kNavigation:
      ++activity_.navigation_reports;
      break;
    default:
      break;
  }
}

std::string VbiFirmware::VersionFrame() const {
  std::vector<uint8_t> p(vbi::kVersionSize, 0);
  p[0] = kHardwareRevision;
  vbi::PutLe16(p, 1, kBuild);
  p[3] = static_cast<uint8_t>(static_cast<int8_t>(minor_));  // signed
  vbi::PutLe16(p, 4, static_cast<uint16_t>(major_ * 100));
  std::copy(std::begin(kModel), std::end(kModel) - 1, p.begin() + 6);
  return vbi::Frame(vbi::kVersion, 0, p);
}

std::string VbiFirmware::StatusFrame(int report) const {
  std::vector<uint8_t> p(vbi::kCalibrationStatusSize, 0);
  const uint32_t phase = options_.phases[static_cast<size_t>(report)] & 7u;
  vbi::PutLe32(p, 0, kStatusFlags | (phase << kPhaseShift));
  vbi::PutLe16(p, 4, static_cast<uint16_t>(report + 1));
  vbi::PutLe16(p, 6, static_cast<uint16_t>(satellites_used_));
  // The crystal's offset, known once calibrated (the last report).
  vbi::PutLe32(p, 8, static_cast<uint32_t>(report == 3 ? kCrystalOffsetPpb : 0));
  return vbi::Frame(vbi::kCalibrationStatus, 0, p);
}

std::string VbiFirmware::CalibrationDataFrame() const {
  // 64 words: a mark, the crystal's offset and temperature, its curve, and the sum of the rest.
  std::vector<uint8_t> p(vbi::kCalibrationDataSize, 0);
  const size_t words = vbi::kCalibrationDataSize / 4;
  uint32_t sum = 0;
  for (size_t i = 0; i + 1 < words; ++i) {
    uint32_t w = 0;
    if (i == 0) {
      w = kCalibrationMagic;
    } else if (i == 1) {
      w = static_cast<uint32_t>(kCrystalOffsetPpb);
    } else if (i == 2) {
      w = static_cast<uint32_t>(kCrystalTemperatureCentiC);
    } else {
      w = static_cast<uint32_t>(kCrystalOffsetPpb + static_cast<int32_t>(i - 3) * 7);
    }
    vbi::PutLe32(p, 4 * i, w);
    sum += w;
  }
  vbi::PutLe32(p, 4 * (words - 1), sum);
  return vbi::Frame(vbi::kCalibrationData, 0, p);
}

}  // namespace flashpost::sim
