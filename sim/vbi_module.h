#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "sim/module_options.h"
#include "sim/vbi.h"

namespace flashpost::sim {

// What the module's VBI firmware did and took, for tests.
struct VbiActivity {
  // Reports put on the line while the program listened at the module's speed.
  int version_reports = 0;
  std::vector<uint8_t> phases_sent;  // the phase code of each status report, in order
  bool calibration_data_sent = false;
  int navigation_reports = 0;
  // What the program sent.
  int pvts_received = 0;  // PVT aiding frames with a good checksum, taken or not
  int pvts_acknowledged = 0;
  std::array<uint8_t, vbi::kNavTimeSize> pvt_time{};  // from the latest PVT taken
  std::array<uint8_t, vbi::kNavPositionSize> pvt_position{};
  std::vector<uint8_t> ephemeris_satellites;  // satellite numbers of the ephemerides taken
  int damaged_ephemerides = 0;   // taken, but their record is not the bench reference's
  std::vector<uint8_t> refused;  // ids answered with a refusal (255)
  uint32_t dropped_frames = 0;   // bad checksum, impossible length, cut short
};

// The KX420's firmware while it speaks VBI: the calibration as a calibration station meets it
// (see VbiOptions for the road and its timing). Like a Device it has no I/O of its own: bytes at
// the module's speed go in, bytes to transmit come out, the time is passed in.
//
// A module on the bench is powered with its port: the firmware starts when it first hears the
// program's line at its own speed (at once when that is already so), and reports nothing
// before.
class VbiFirmware {
 public:
  VbiFirmware(const VbiOptions& options, int major_version, int minor_version, int fix_type,
              int satellites_used);

  void Receive(uint32_t tick, uint8_t b);
  // Bytes at another speed reached the UART: a frame in progress is lost.
  void Garble() { cutter_.Reset(); }

  // What the firmware transmits at `tick`; `heard`: the program's line is at the module's speed,
  // so that the bytes reach it (otherwise they are lost, but the firmware runs on).
  std::string Transmit(uint32_t tick, bool heard);
  uint32_t IdleFor(uint32_t tick) const;

  // The firmware has handed back to NMEA: after its calibration, or told by message 11.
  bool BackToNmea() const { return stage_ == Stage::kBackToNmea; }
  const VbiActivity& Activity() const { return activity_; }

  static constexpr uint32_t kNavigationPeriodMs = 1000;

 private:
  enum class Stage {
    kPoweredOff,        // the line has not been heard yet
    kStarting,          // version and first status on their way
    kWaitingForAiding,  // the second status is out; a PVT starts the calibration
    kCalibrating,
    kCalibrated,
    kBackToNmea,
  };
  // What the firmware does when a queued frame's time has come, whether heard or not.
  enum class Then { kNothing, kAwaitAiding, kHandBack };

  struct Due {
    uint32_t at;
    std::string frame;
    Then then = Then::kNothing;
  };

  void PowerUp(uint32_t tick);
  void OnFrame(uint32_t tick, const vbi::Message& m);
  void OnPvt(uint32_t tick, const vbi::Message& m);
  void OnEphemeris(uint32_t tick, const vbi::Message& m);
  void OnSwitchToNmea(uint32_t tick, const vbi::Message& m);
  void StartCalibration(uint32_t tick);
  void Queue(uint32_t at, std::string frame, Then then = Then::kNothing);
  void Answer(uint32_t tick, uint8_t answer_id, uint8_t about);
  void Count(const std::string& frame);
  std::string VersionFrame() const;
  std::string StatusFrame(int report) const;
  std::string CalibrationDataFrame() const;

  const VbiOptions options_;
  const int major_, minor_, fix_type_, satellites_used_;
  Stage stage_ = Stage::kPoweredOff;
  vbi::FrameCutter cutter_;
  std::vector<Due> due_;  // in the order of their times
  bool aided_ = false;    // a PVT was taken before the firmware waited for it
  bool nmea_switch_armed_ = false;
  uint32_t next_navigation_ = 0;
  VbiActivity activity_;
};

// The phase code in a calibration status payload: bits 19..21 of its first 32-bit word.
inline constexpr int kPhaseShift = 19;

}  // namespace flashpost::sim
