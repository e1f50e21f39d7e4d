#pragma once

// The module's own NMEA text: checksums, framing, its receive line cutter and the standard
// sentences it reports. Written apart from the program's protocol code on purpose, so that a
// mistake on one side is not mirrored on the other.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sim/module_options.h"

namespace flashpost::sim::nmea {

// XOR of every character of a sentence body (what lies between "$" and "*").
uint8_t Checksum(std::string_view body);

// "$", body, "*", two upper-case hexadecimal digits of the checksum, CR, LF.
std::string Frame(std::string_view body);
// The same with checksum digits that do not match the body (a corrupted sentence).
std::string FrameWithWrongChecksum(std::string_view body);

// The body of a received sentence text "body*HH" (without "$" and CR LF), when its checksum
// digits are upper-case hexadecimal and match; nothing otherwise. The module is strict here so
// that a program sending lower-case or wrong digits is caught, not excused.
std::optional<std::string> CheckedBody(std::string_view text);

// Cuts the bytes the module's UART receives into sentences: from a "$" to CR LF. A "$" restarts
// the sentence; a line feed without a carriage return before it, or an over-long line, drops it.
class LineCutter {
 public:
  // Longest sentence text kept (NMEA allows 82 characters in all; the module has room to spare).
  static constexpr size_t kMaxText = 200;

  // True when b completed a sentence; its text between "$" and CR is then in Text().
  bool Feed(uint8_t b);
  const std::string& Text() const { return text_; }
  // Forgets a sentence in progress (the line carried garbage).
  void Reset();

 private:
  enum class State { kIdle, kText, kCarriageReturn };
  State state_ = State::kIdle;
  std::string text_;
};

// Every simulated receiver's clock starts at 08:00:00 UTC (1 March 2024) and runs with the ticks.
inline constexpr uint32_t kFirstTimeOfDayS = 8 * 3600;

// What a position report says, shared by GGA, GSA and RMC.
struct FixReport {
  uint32_t time_of_day_s = 0;  // UTC seconds since midnight
  int fix_type = 3;            // 1 none, 2 2D, 3 3D
  std::vector<int> used_prns;  // at most 12
};

std::string GgaBody(const FixReport& fix);
std::string GsaBody(const FixReport& fix);
std::string RmcBody(const FixReport& fix);
// A whole GSV group for a talker ("GP", "GL"): four satellites per sentence, as many sentences as
// needed (one empty sentence when none is in view), at most nine sentences.
std::vector<std::string> GsvBodies(std::string_view talker, const std::vector<Satellite>& sats);

}  // namespace flashpost::sim::nmea
