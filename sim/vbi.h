#pragma once

// The receivers' own VBI binary protocol: frames, their checksum, the frame cutter of the
// receive side and the payloads that both the KX420 and the reference receiver send. Written
// apart from the program's protocol code on purpose, so that a mistake on one side is not
// mirrored on the other.
//
// A frame is 0x81 0xFF, the message id, a sub-id, the payload length (16 bits, low byte first),
// the checksum (16 bits, low byte first) and the payload. The checksum makes the bytes from the
// id to the end of the payload, taken as unsigned bytes, plus the checksum add up to 0 modulo
// 2^16.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace flashpost::sim::vbi {

inline constexpr uint8_t kLead0 = 0x81;
inline constexpr uint8_t kLead1 = 0xFF;
inline constexpr size_t kHeaderSize = 8;

// Message ids the receivers send or take.
inline constexpr uint8_t kTestStart = 2;      // program to module
inline constexpr uint8_t kSwitchToNmea = 11;  // program to receiver, sent as a pair
inline constexpr uint8_t kRequest = 14;       // program to reference: "send me message X"
inline constexpr uint8_t kPvtAiding = 21;     // program to module: time and position
inline constexpr uint8_t kEphemeris = 41;     // program to module: one satellite's orbit
inline constexpr uint8_t kVersion = 100;      // module to program
inline constexpr uint8_t kCalibrationStatus = 101;
inline constexpr uint8_t kCalibrationData = 109;
inline constexpr uint8_t kNavigation = 121;       // every receiver, once a second
inline constexpr uint8_t kEphemerisReport = 141;  // reference to program
inline constexpr uint8_t kAck = 200;              // sub-id: the id acknowledged
inline constexpr uint8_t kRefusal = 255;          // sub-id: the id refused

// The sub-id the PVT aiding carries.
inline constexpr uint8_t kPvtSubId = 0x70;

// Payload sizes of the messages with a fixed layout.
inline constexpr size_t kPvtAidingSize = 59;
inline constexpr size_t kEphemerisSize = 117;  // an 8-byte header, then one satellite's record
inline constexpr size_t kEphemerisHeaderSize = 8;
inline constexpr size_t kEphemerisRecordSize = 109;  // its first byte is the satellite number
inline constexpr size_t kVersionSize = 16;
inline constexpr size_t kCalibrationStatusSize = 12;
inline constexpr size_t kCalibrationDataSize = 256;
inline constexpr size_t kNavigationSize = 60;

// Where the navigation report keeps what aiding is built from (payload offsets).
inline constexpr size_t kNavFixByte = 5;  // fix type in bits 5..7, satellites used in 0..4
inline constexpr size_t kNavTimeOffset = 8;
inline constexpr size_t kNavTimeSize = 6;  // year - 2000, month, day, hour, minute, second
inline constexpr size_t kNavPositionOffset = 18;
inline constexpr size_t kNavPositionSize = 24;  // latitude, longitude (degrees), altitude (m)

// And where the PVT aiding carries them.
inline constexpr uint8_t kPvtKind = 9;  // payload byte 0
inline constexpr size_t kPvtTimeOffset = 1;
inline constexpr size_t kPvtPositionOffset = 7;

struct Message {
  uint8_t id = 0;
  uint8_t sub_id = 0;
  std::vector<uint8_t> payload;
};

uint16_t Checksum(uint8_t id, uint8_t sub_id, std::span<const uint8_t> payload);

// The whole frame, ready for the line.
std::string Frame(uint8_t id, uint8_t sub_id, std::span<const uint8_t> payload);
std::string Frame(const Message& m);

// Cuts the bytes a receiver's UART takes in into checked frames. It hunts for 0x81 0xFF; a
// header whose length is beyond the receive buffer is given up and the bytes behind its lead are
// searched again; a frame whose checksum does not add up is dropped, as is one whose next byte
// is more than kGapMs late. Nothing the line carries makes it wait for more than kMaxPayload
// bytes or keep more than one frame.
class FrameCutter {
 public:
  static constexpr size_t kMaxPayload = 1015;
  static constexpr uint32_t kGapMs = 500;

  // True when `b`, arriving at `tick`, completed a good frame; it is then in Frame().
  bool Feed(uint32_t tick, uint8_t b);
  const Message& Frame() const { return frame_; }
  // Forgets a frame in progress (the line carried garbage).
  void Reset();

  // Frames given up: a bad checksum, a length too long, a pause inside the frame.
  uint32_t Dropped() const { return dropped_; }

 private:
  bool Take(uint8_t b);
  void GiveUpHeader();

  std::vector<uint8_t> bytes_;  // the frame so far, from its lead
  size_t want_ = kHeaderSize;
  uint32_t last_tick_ = 0;
  Message frame_;
  uint32_t dropped_ = 0;
};

// Little-endian fields, as every VBI payload carries them.
void PutLe16(std::vector<uint8_t>& p, size_t at, uint16_t v);
void PutLe32(std::vector<uint8_t>& p, size_t at, uint32_t v);
void PutDouble(std::vector<uint8_t>& p, size_t at, double v);
uint16_t GetLe16(std::span<const uint8_t> p, size_t at);  // 0 beyond the payload
uint32_t GetLe32(std::span<const uint8_t> p, size_t at);
double GetDouble(std::span<const uint8_t> p, size_t at);

// What a navigation report says. Receivers on the bench share one antenna position and a clock
// that starts on 1 March 2024, 08:00:00 UTC, and runs with the ticks.
struct NavigationFix {
  uint32_t tick = 0;
  int fix_type = 3;  // 0 or 1 none, 2 2D, 3 3D
  int satellites_used = 0;
};
std::vector<uint8_t> NavigationPayload(const NavigationFix& fix);

// The bench antenna's position, as the navigation report carries it.
inline constexpr double kLatitudeDeg = 24.784430;
inline constexpr double kLongitudeDeg = 121.007638;
inline constexpr double kAltitudeM = 112.3;

// The orbit record of a GPS satellite (1..32) as the reference receiver keeps it: the satellite
// number, then 108 bytes of broadcast subframe data. Any receiver can tell a whole record of
// this bench from a damaged one.
std::array<uint8_t, kEphemerisRecordSize> EphemerisRecord(uint8_t satellite);

}  // namespace flashpost::sim::vbi
