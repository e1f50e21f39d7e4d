#include "sim/reference_receiver.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <utility>

namespace flashpost::sim {

namespace {

bool IsGpsSatellite(int n) { return n >= 1 && n <= 32; }

std::string_view WithoutLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

// "$", something, "*" and two hexadecimal digits: what a recorded sentence looks like, whether
// or not its checksum is right.
bool LooksLikeSentence(std::string_view line) {
  line = WithoutLineEnd(line);
  return line.size() >= 5 && line.front() == '$' && line[line.size() - 3] == '*' &&
         std::isxdigit(static_cast<unsigned char>(line[line.size() - 2])) &&
         std::isxdigit(static_cast<unsigned char>(line.back()));
}

// The lines of a log, each with its line feed (the last one may have none).
std::vector<std::string_view> Lines(std::string_view log) {
  std::vector<std::string_view> lines;
  while (!log.empty()) {
    const size_t end = std::min(log.find('\n'), log.size() - 1) + 1;
    lines.push_back(log.substr(0, end));
    log.remove_prefix(end);
  }
  return lines;
}

}  // namespace

bool LoadReplayLog(const std::string& path, std::string& log, std::string& error) {
  const std::string name = "replay file \"" + path + "\"";
  std::error_code ec;
  const auto status = std::filesystem::status(path, ec);
  if (ec || !std::filesystem::exists(status)) {
    error = name + " does not exist";
    return false;
  }
  // A pipe or a device would block the start or never end.
  if (!std::filesystem::is_regular_file(status)) {
    error = name + " is not a regular file";
    return false;
  }
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    error = "cannot read " + name + ": " + std::strerror(errno);
    return false;
  }
  std::string bytes;
  char chunk[65536];
  while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
    bytes.append(chunk, static_cast<size_t>(in.gcount()));
    if (bytes.size() > kMaxReplayLogBytes) {
      error = name + " is larger than " + std::to_string(kMaxReplayLogBytes >> 20) + " MiB";
      return false;
    }
  }
  if (in.bad()) {
    error = "cannot read " + name;
    return false;
  }
  const auto lines = Lines(bytes);
  if (std::none_of(lines.begin(), lines.end(), LooksLikeSentence)) {
    error = name + " holds no NMEA sentence (\"$...*hh\")";
    return false;
  }
  log = std::move(bytes);
  return true;
}

std::vector<std::string> ReplayStretches(const std::string& log) {
  const auto lines = Lines(log);
  std::string_view head;
  for (std::string_view line : lines) {
    if (!line.empty() && line.front() == '$') {
      head = line.substr(0, line.find_first_of(",*\r\n"));
      break;
    }
  }
  std::vector<std::string> stretches;
  std::string current;
  bool current_has_head = false;
  for (std::string_view line : lines) {
    const bool starts_fix = !head.empty() && line.substr(0, head.size()) == head;
    if (starts_fix && current_has_head) {
      stretches.push_back(std::move(current));
      current.clear();
    }
    current += line;
    current_has_head = current_has_head || starts_fix;
  }
  if (!current.empty()) stretches.push_back(std::move(current));
  return stretches;
}

ReferenceReceiver::ReferenceReceiver(ReferenceOptions options)
    : options_(std::move(options)),
      replay_(ReplayStretches(options_.replay_log)),
      vbi_(options_.start_in_vbi) {}

void ReferenceReceiver::Receive(uint32_t tick, const LineState& line, const uint8_t* data,
                                size_t n) {
  if (!Understands(line)) {
    lines_.Reset();
    frames_.Reset();
    return;
  }
  for (size_t i = 0; i < n; ++i) {
    if (vbi_) {
      if (frames_.Feed(tick, data[i])) OnFrame(tick, frames_.Frame());
    } else if (lines_.Feed(data[i])) {
      if (auto body = nmea::CheckedBody(lines_.Text())) OnSentence(*body);
    }
  }
}

void ReferenceReceiver::OnSentence(const std::string& body) {
  // A real receiver also wants a pause between the two sentences. It is not checked here: the
  // tick is when the reader got to the bytes, and on a busy host a late reader picks both
  // sentences up at once. The program's pause is checked on its own clock in its tests.
  if (body == kToVbiFirstBody) {
    first_switch_sentence_heard_ = true;
  } else if (body == kToVbiSecondBody && first_switch_sentence_heard_) {
    vbi_ = true;
    ++switches_to_vbi_;
    first_switch_sentence_heard_ = false;
    frames_.Reset();
  }
  // Anything else, a second sentence without the first included, goes unheeded.
}

void ReferenceReceiver::OnFrame(uint32_t tick, const vbi::Message& m) {
  if (m.id == vbi::kRequest) {
    if (!m.payload.empty() && m.payload[0] == vbi::kEphemerisReport) {
      ++ephemeris_requests_;
      SendEphemerides(tick);
    } else {
      Answer(tick, vbi::kRefusal, m.id);  // the only report it hands out on request
    }
  } else if (m.id == vbi::kSwitchToNmea) {
    // The first message (29 02) names the output protocol, the second (21 02) makes it so.
    const bool prepare = m.payload == std::vector<uint8_t>{0x29, 0x02};
    const bool commit = m.payload == std::vector<uint8_t>{0x21, 0x02};
    if (prepare || (commit && nmea_switch_armed_)) {
      Answer(tick, vbi::kAck, m.id);
      nmea_switch_armed_ = prepare;
      if (commit) Queue(tick, "", true);
    } else {
      nmea_switch_armed_ = false;
      Answer(tick, vbi::kRefusal, m.id);
    }
  } else {
    Answer(tick, vbi::kRefusal, m.id);
  }
}

void ReferenceReceiver::SendEphemerides(uint32_t tick) {
  std::vector<uint8_t> stored;
  for (const Satellite& s : options_.satellites) {
    const auto n = static_cast<uint8_t>(s.prn);
    if (IsGpsSatellite(s.prn) && s.cn0 > 0 &&
        std::find(stored.begin(), stored.end(), n) == stored.end())
      stored.push_back(n);
  }
  if (options_.stray_ephemeris_satellite) stored.push_back(*options_.stray_ephemeris_satellite);

  // The header: GPS week and second of the week of the request, then which record of how many.
  const auto now = vbi::NavigationPayload({tick, options_.fix_type, 0});
  for (size_t i = 0; i < stored.size(); ++i) {
    std::vector<uint8_t> p(vbi::kEphemerisSize, 0);
    vbi::PutLe16(p, 0, vbi::GetLe16(now, 6));
    vbi::PutLe32(p, 2, vbi::GetLe32(now, 0) / 1000);
    p[6] = static_cast<uint8_t>(i + 1);
    p[7] = static_cast<uint8_t>(stored.size());
    auto record = vbi::EphemerisRecord(stored[i]);
    std::copy(record.begin(), record.end(), p.begin() + vbi::kEphemerisHeaderSize);
    Queue(tick + static_cast<uint32_t>(i) * kEphemerisSpacingMs,
          vbi::Frame(vbi::kEphemerisReport, 0, p));
  }
}

void ReferenceReceiver::Queue(uint32_t at, std::string frame, bool hand_back) {
  auto later = std::find_if(due_.begin(), due_.end(),
                            [at](const Due& d) { return static_cast<int32_t>(d.at - at) > 0; });
  due_.insert(later, Due{at, std::move(frame), hand_back});
}

void ReferenceReceiver::Answer(uint32_t tick, uint8_t answer_id, uint8_t about) {
  if (answer_id == vbi::kRefusal) refused_.push_back(about);
  Queue(tick, vbi::Frame(answer_id, about, {}));
}

std::vector<uint8_t> ReferenceReceiver::Transmit(uint32_t tick, const LineState& line) {
  const bool heard = Understands(line);
  std::string out;
  while (!due_.empty() && Reached(tick, due_.front().at)) {
    Due d = std::move(due_.front());
    due_.erase(due_.begin());
    if (heard) {
      out += d.frame;
      if (d.frame.size() > 2 && static_cast<uint8_t>(d.frame[2]) == vbi::kEphemerisReport)
        ++ephemeris_reports_sent_;
    }
    if (d.hand_back) {
      vbi_ = false;
      ++switches_to_nmea_;
      nmea_switch_armed_ = false;
      lines_.Reset();
      due_.clear();
    }
  }

  if (options_.report_period_ms > 0) {
    if (!schedule_started_) {
      schedule_started_ = true;
      next_report_ = tick + options_.report_period_ms;
    } else if (Reached(tick, next_report_)) {
      std::string report = Report(tick);
      if (heard) {
        out += report;
        if (vbi_) ++navigation_reports_sent_;
      }
      next_report_ += options_.report_period_ms;
      if (Reached(tick, next_report_)) next_report_ = tick + options_.report_period_ms;
    }
  }
  return std::vector<uint8_t>(out.begin(), out.end());
}

uint32_t ReferenceReceiver::IdleFor(uint32_t tick) const {
  uint32_t idle = kMaxIdleMs;
  auto until = [tick, &idle](uint32_t at) {
    idle = std::min(idle, Reached(tick, at) ? 0 : at - tick);
  };
  if (!due_.empty()) until(due_.front().at);
  if (options_.report_period_ms > 0) {
    if (!schedule_started_) return 0;
    until(next_report_);
  }
  return idle;
}

std::string ReferenceReceiver::Report(uint32_t tick) {
  if (vbi_) {
    return vbi::Frame(vbi::kNavigation, 0,
                      vbi::NavigationPayload({tick, options_.fix_type, SatellitesUsed()}));
  }
  if (replay_.empty()) return OwnSentences(tick);
  const std::string& stretch = replay_[next_stretch_];
  next_stretch_ = (next_stretch_ + 1) % replay_.size();
  return stretch;
}

int ReferenceReceiver::SatellitesUsed() const {
  int used = 0;
  for (const Satellite& s : options_.satellites) used += s.cn0 > 0;
  return std::min(used, 12);
}

std::string ReferenceReceiver::OwnSentences(uint32_t tick) const {
  nmea::FixReport fix;
  fix.time_of_day_s = nmea::kFirstTimeOfDayS + tick / 1000;
  fix.fix_type = options_.fix_type;
  for (const Satellite& s : options_.satellites) {
    if (s.cn0 > 0 && fix.used_prns.size() < 12) fix.used_prns.push_back(s.prn);
  }
  std::string out = nmea::Frame(nmea::GgaBody(fix)) + nmea::Frame(nmea::GsaBody(fix));
  for (const std::string& body : nmea::GsvBodies("GP", options_.satellites)) {
    out += nmea::Frame(body);
  }
  return out + nmea::Frame(nmea::RmcBody(fix));
}

}  // namespace flashpost::sim
