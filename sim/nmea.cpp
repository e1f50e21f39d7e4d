#include "sim/nmea.h"

#include <algorithm>
#include <cstdio>

namespace flashpost::sim::nmea {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

// The module's fixed antenna position (a rooftop in Hsinchu) and the date it reports.
constexpr const char* kLatitude = "2447.0658,N";
constexpr const char* kLongitude = "12100.4583,E";
constexpr const char* kDate = "010324";

std::string WithChecksum(std::string_view body, uint8_t sum) {
  std::string out;
  out.reserve(body.size() + 6);
  out += '$';
  out += body;
  out += '*';
  out += kHexDigits[sum >> 4];
  out += kHexDigits[sum & 0x0F];
  out += "\r\n";
  return out;
}

int UpperHexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

std::string TimeField(uint32_t time_of_day_s) {
  char buf[16];
  uint32_t t = time_of_day_s % 86400;
  std::snprintf(buf, sizeof buf, "%02u%02u%02u.00", t / 3600, (t / 60) % 60, t % 60);
  return buf;
}

bool HasFix(const FixReport& fix) { return fix.fix_type >= 2; }

}  // namespace

uint8_t Checksum(std::string_view body) {
  uint8_t sum = 0;
  for (char c : body) sum ^= static_cast<uint8_t>(c);
  return sum;
}

std::string Frame(std::string_view body) { return WithChecksum(body, Checksum(body)); }

std::string FrameWithWrongChecksum(std::string_view body) {
  // Flipping the low bit of each digit keeps them valid hexadecimal, so only the value is wrong.
  return WithChecksum(body, Checksum(body) ^ 0x11);
}

std::optional<std::string> CheckedBody(std::string_view text) {
  size_t star = text.find('*');
  if (star == std::string_view::npos || text.size() != star + 3) return std::nullopt;
  int high = UpperHexValue(text[star + 1]);
  int low = UpperHexValue(text[star + 2]);
  std::string_view body = text.substr(0, star);
  if (high < 0 || low < 0 || Checksum(body) != high * 16 + low) return std::nullopt;
  return std::string(body);
}

bool LineCutter::Feed(uint8_t b) {
  if (b == '$') {
    state_ = State::kText;
    text_.clear();
    return false;
  }
  switch (state_) {
    case State::kIdle:
      return false;
    case State::kText:
      if (b == '\r') {
        state_ = State::kCarriageReturn;
      } else if (b == '\n' || text_.size() >= kMaxText) {
        Reset();
      } else {
        text_ += static_cast<char>(b);
      }
      return false;
    case State::kCarriageReturn:
      if (b == '\n') {
        state_ = State::kIdle;
        return true;
      }
      Reset();
      return false;
  }
  return false;
}

void LineCutter::Reset() {
  state_ = State::kIdle;
  text_.clear();
}

std::string GgaBody(const FixReport& fix) {
  char buf[128];
  int used = static_cast<int>(std::min<size_t>(fix.used_prns.size(), 12));
  std::snprintf(buf, sizeof buf, "GPGGA,%s,%s,%s,%d,%02d,0.9,112.3,M,17.8,M,,",
                TimeField(fix.time_of_day_s).c_str(), kLatitude, kLongitude, HasFix(fix) ? 1 : 0,
                HasFix(fix) ? used : 0);
  return buf;
}

std::string GsaBody(const FixReport& fix) {
  std::string body = "GPGSA,A," + std::to_string(fix.fix_type);
  for (size_t i = 0; i < 12; ++i) {
    body += ',';
    if (HasFix(fix) && i < fix.used_prns.size()) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "%02d", fix.used_prns[i]);
      body += buf;
    }
  }
  body += HasFix(fix) ? ",1.8,0.9,1.5" : ",99.9,99.9,99.9";
  return body;
}

std::string RmcBody(const FixReport& fix) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "GPRMC,%s,%c,%s,%s,0.0,0.0,%s,,,%c",
                TimeField(fix.time_of_day_s).c_str(), HasFix(fix) ? 'A' : 'V', kLatitude,
                kLongitude, kDate, HasFix(fix) ? 'A' : 'N');
  return buf;
}

std::vector<std::string> GsvBodies(std::string_view talker, const std::vector<Satellite>& sats) {
  const size_t count = std::min<size_t>(sats.size(), 36);
  const size_t total = std::max<size_t>(1, (count + 3) / 4);
  std::vector<std::string> bodies;
  for (size_t m = 1; m <= total; ++m) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "GSV,%zu,%zu,%02zu", total, m, count);
    std::string body = std::string(talker) + buf;
    for (size_t i = 4 * (m - 1); i < std::min(count, 4 * m); ++i) {
      const Satellite& s = sats[i];
      std::snprintf(buf, sizeof buf, ",%02d,%02d,%03d,", s.prn, s.elevation, s.azimuth);
      body += buf;
      if (s.cn0 >= 0) {
        std::snprintf(buf, sizeof buf, "%02d", s.cn0);
        body += buf;
      }
    }
    bodies.push_back(std::move(body));
  }
  return bodies;
}

}  // namespace flashpost::sim::nmea
