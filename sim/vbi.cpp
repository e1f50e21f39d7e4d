#include "sim/vbi.h"

#include "sim/nmea.h"

#include <algorithm>
#include <bit>

namespace flashpost::sim::vbi {

namespace {

// 1 March 2024 08:00:00 UTC in GPS terms: week 2303, a Friday, GPS ahead of UTC by 18 s.
constexpr uint32_t kFirstGpsWeek = 2303;
constexpr uint32_t kFirstDaySecondsOfWeek = 5 * 86400 + 18;  // Friday 00:00 UTC, in GPS seconds
constexpr uint32_t kSecondsPerWeek = 7 * 86400;

// Month lengths of 2024 and 2025 from March 2024 on: far enough for a 32-bit millisecond tick.
constexpr int kMonthDays[] = {31, 30, 31, 30, 31, 31, 30, 31, 30, 31, 31, 28};

struct Date {
  int year, month, day;
};

Date DateAfter(uint32_t days) {
  Date d{2024, 3, 1};
  for (int m = 0; days > 0 && m < 12; ++m) {
    const uint32_t left_in_month = static_cast<uint32_t>(kMonthDays[m] - d.day + 1);
    if (days < left_in_month) {
      d.day += static_cast<int>(days);
      return d;
    }
    days -= left_in_month;
    d.day = 1;
    if (++d.month > 12) {
      d.month = 1;
      ++d.year;
    }
  }
  return d;
}

}  // namespace

uint16_t Checksum(uint8_t id, uint8_t sub_id, std::span<const uint8_t> payload) {
  uint32_t sum = id + sub_id + (payload.size() & 0xFF) + ((payload.size() >> 8) & 0xFF);
  for (uint8_t b : payload) sum += b;
  return static_cast<uint16_t>(0x10000 - (sum & 0xFFFF));
}

std::string Frame(uint8_t id, uint8_t sub_id, std::span<const uint8_t> payload) {
  const uint16_t sum = Checksum(id, sub_id, payload);
  std::string f = {static_cast<char>(kLead0),
                   static_cast<char>(kLead1),
                   static_cast<char>(id),
                   static_cast<char>(sub_id),
                   static_cast<char>(payload.size() & 0xFF),
                   static_cast<char>((payload.size() >> 8) & 0xFF),
                   static_cast<char>(sum & 0xFF),
                   static_cast<char>(sum >> 8)};
  f.append(payload.begin(), payload.end());
  return f;
}

std::string Frame(const Message& m) { return Frame(m.id, m.sub_id, m.payload); }

bool FrameCutter::Feed(uint32_t tick, uint8_t b) {
  if (!bytes_.empty() && static_cast<uint32_t>(tick - last_tick_) >= kGapMs) {
    // The sender stopped in mid-frame; a lone lead byte is no frame to count.
    if (bytes_.size() > 1) ++dropped_;
    Reset();
  }
  last_tick_ = tick;
  return Take(b);
}

void FrameCutter::Reset() {
  bytes_.clear();
  want_ = kHeaderSize;
}

bool FrameCutter::Take(uint8_t b) {
  if (bytes_.empty()) {
    if (b == kLead0) bytes_.push_back(b);
    return false;
  }
  if (bytes_.size() == 1) {
    if (b == kLead1) {
      bytes_.push_back(b);
    } else if (b != kLead0) {
      bytes_.clear();  // a second 0x81 may be the real lead, so it stays
    }
    return false;
  }
  bytes_.push_back(b);
  if (bytes_.size() == 6) {
    const size_t length = bytes_[4] | (bytes_[5] << 8);
    if (length > kMaxPayload) {
      GiveUpHeader();
      return false;
    }
    want_ = kHeaderSize + length;
  }
  if (bytes_.size() < kHeaderSize || bytes_.size() < want_) return false;

  const std::span<const uint8_t> payload(bytes_.data() + kHeaderSize, want_ - kHeaderSize);
  const uint16_t sum = static_cast<uint16_t>(bytes_[6] | (bytes_[7] << 8));
  const bool good = Checksum(bytes_[2], bytes_[3], payload) == sum;
  if (good) {
    frame_.id = bytes_[2];
    frame_.sub_id = bytes_[3];
    frame_.payload.assign(payload.begin(), payload.end());
  } else {
    ++dropped_;
  }
  Reset();
  return good;
}

void FrameCutter::GiveUpHeader() {
  ++dropped_;
  // The lead may have been a payload byte of something else: look again behind it. Five bytes
  // cannot make a header, so this never comes back here.
  const std::vector<uint8_t> rest(bytes_.begin() + 1, bytes_.end());
  Reset();
  for (uint8_t b : rest) Take(b);
}

void PutLe16(std::vector<uint8_t>& p, size_t at, uint16_t v) {
  p.at(at) = static_cast<uint8_t>(v);
  p.at(at + 1) = static_cast<uint8_t>(v >> 8);
}

void PutLe32(std::vector<uint8_t>& p, size_t at, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) p.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
}

void PutDouble(std::vector<uint8_t>& p, size_t at, double v) {
  const auto bits = std::bit_cast<uint64_t>(v);
  for (size_t i = 0; i < 8; ++i) p.at(at + i) = static_cast<uint8_t>(bits >> (8 * i));
}

uint16_t GetLe16(std::span<const uint8_t> p, size_t at) {
  return static_cast<uint16_t>(GetLe32(p, at) & 0xFFFF);
}

uint32_t GetLe32(std::span<const uint8_t> p, size_t at) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) {
    if (at + i < p.size()) v |= static_cast<uint32_t>(p[at + i]) << (8 * i);
  }
  return v;
}

double GetDouble(std::span<const uint8_t> p, size_t at) {
  uint64_t bits = 0;
  for (size_t i = 0; i < 8; ++i) {
    if (at + i < p.size()) bits |= static_cast<uint64_t>(p[at + i]) << (8 * i);
  }
  return std::bit_cast<double>(bits);
}

std::vector<uint8_t> NavigationPayload(const NavigationFix& fix) {
  std::vector<uint8_t> p(kNavigationSize, 0);
  const uint32_t seconds = nmea::kFirstTimeOfDayS + fix.tick / 1000;  // since 1 March 00:00 UTC
  const uint32_t gps_seconds = kFirstDaySecondsOfWeek + seconds;
  const bool has_fix = fix.fix_type >= 2;
  const auto used = static_cast<uint8_t>(std::clamp(fix.satellites_used, 0, 31));

  PutLe32(p, 0, (gps_seconds % kSecondsPerWeek) * 1000 + fix.tick % 1000);
  p[4] = has_fix ? 0x03 : 0x01;  // bit 0: time valid, bit 1: position valid
  p[kNavFixByte] = static_cast<uint8_t>(((fix.fix_type & 7) << 5) | used);
  PutLe16(p, 6, static_cast<uint16_t>(kFirstGpsWeek + gps_seconds / kSecondsPerWeek));

  const Date date = DateAfter(seconds / 86400);
  const uint32_t time_of_day = seconds % 86400;
  p[kNavTimeOffset + 0] = static_cast<uint8_t>(date.year - 2000);
  p[kNavTimeOffset + 1] = static_cast<uint8_t>(date.month);
  p[kNavTimeOffset + 2] = static_cast<uint8_t>(date.day);
  p[kNavTimeOffset + 3] = static_cast<uint8_t>(time_of_day / 3600);
  p[kNavTimeOffset + 4] = static_cast<uint8_t>(time_of_day / 60 % 60);
  p[kNavTimeOffset + 5] = static_cast<uint8_t>(time_of_day % 60);
  PutLe16(p, 14, static_cast<uint16_t>(fix.tick % 1000));

  if (has_fix) {
    PutLe16(p, 16, 9);  // HDOP 0.9, in tenths
    PutDouble(p, kNavPositionOffset, kLatitudeDeg);
    PutDouble(p, kNavPositionOffset + 8, kLongitudeDeg);
    PutDouble(p, kNavPositionOffset + 16, kAltitudeM);
    PutLe16(p, 42, 18);  // PDOP 1.8
    PutLe16(p, 44, 15);  // VDOP 1.5
  }
  // Bytes 46..57: velocity, east, north and up in cm/s (the bench stands still); 58..59 spare.
  return p;
}

std::array<uint8_t, kEphemerisRecordSize> EphemerisRecord(uint8_t satellite) {
  std::array<uint8_t, kEphemerisRecordSize> r{};
  r[0] = satellite;
  // Stand-in subframe words: a sequence of the satellite's own, so that records differ.
  uint32_t x = satellite * 2654435761u + 1;
  for (size_t i = 1; i < r.size(); ++i) {
    x = x * 1103515245u + 12345u;
    r[i] = static_cast<uint8_t>(x >> 16);
  }
  return r;
}

}  // namespace flashpost::sim::vbi
