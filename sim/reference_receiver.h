#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"
#include "sim/device.h"
#include "sim/device_on_pty.h"
#include "sim/module_options.h"
#include "sim/nmea.h"
#include "sim/vbi.h"

namespace flashpost::sim {

// How the simulated reference receiver behaves. The defaults are a healthy receiver with a 3D
// fix, talking NMEA at 115200.
struct ReferenceOptions {
  uint32_t baud = 115200;
  std::vector<Satellite> satellites = DefaultSatellites();  // GSV; 1..32 also have ephemerides
  int fix_type = 3;                                         // GSA and message 121
  uint32_t report_period_ms = 1000;
  bool start_in_vbi = false;
  // A recorded NMEA log (the bytes LoadReplayLog read) that the receiver plays in NMEA instead
  // of its own sentences: one stretch per period, as recorded, over and over.
  std::string replay_log;
  // Fault: one more ephemeris report, carrying this satellite number (0, or above 32).
  std::optional<uint8_t> stray_ephemeris_satellite;
  bool pace_line_rate = false;  // bytes take their real time on the line (see ModuleOptions)
};

// Reads a recorded NMEA log for replay. False with a one-line reason when the file cannot be
// read, is too large, or holds no sentence ("$...*hh").
bool LoadReplayLog(const std::string& path, std::string& log, std::string& error);
inline constexpr size_t kMaxReplayLogBytes = 16u << 20;

// A log cut into the stretches the receiver sends once a period each: a stretch begins at every
// line that starts with the log's first sentence address (the receiver's first sentence of each
// fix). Every byte stays as recorded, line ends and junk included.
std::vector<std::string> ReplayStretches(const std::string& log);

// The reference GPS receiver of the calibration station, as a Device.
//
// In NMEA it reports GGA, GSA, the GSV group of its satellites and RMC every period. The
// proprietary sentence "$PQRV11,1,1,1,2,0" followed by "$PQRV11,1,0,1,2,0" turns it to VBI.
// In VBI it sends the navigation report 121 every period and answers message 14 asking for 141
// with one ephemeris report 141 per GPS satellite it tracks, kEphemerisSpacingMs apart.
// Message 11 with 29 02, then message 11 with 21 02, each acknowledged, turn it back to NMEA.
// Other VBI messages are refused (255).
class ReferenceReceiver final : public Device {
 public:
  explicit ReferenceReceiver(ReferenceOptions options);

  uint32_t Baud() const override { return options_.baud; }
  void Receive(uint32_t tick, const LineState& line, const uint8_t* data, size_t n) override;
  std::vector<uint8_t> Transmit(uint32_t tick, const LineState& line) override;
  uint32_t IdleFor(uint32_t tick) const override;

  const ReferenceOptions& Options() const { return options_; }

  // What happened to the receiver, for tests.
  bool SpeaksVbi() const { return vbi_; }
  int SwitchesToVbi() const { return switches_to_vbi_; }
  int SwitchesToNmea() const { return switches_to_nmea_; }
  int EphemerisRequests() const { return ephemeris_requests_; }
  // Reports put on the line at the program's speed.
  int EphemerisReportsSent() const { return ephemeris_reports_sent_; }
  int NavigationReportsSent() const { return navigation_reports_sent_; }
  std::vector<uint8_t> Refused() const { return refused_; }
  uint32_t DroppedFrames() const { return frames_.Dropped(); }

  static constexpr const char* kToVbiFirstBody = "PQRV11,1,1,1,2,0";
  static constexpr const char* kToVbiSecondBody = "PQRV11,1,0,1,2,0";
  // Ephemeris reports go out one by one, as the receiver reads them from its store.
  static constexpr uint32_t kEphemerisSpacingMs = 20;

 private:
  struct Due {
    uint32_t at;
    std::string frame;
    bool hand_back = false;  // the receiver turns to NMEA once this is out
  };

  void OnSentence(const std::string& body);
  void OnFrame(uint32_t tick, const vbi::Message& m);
  void SendEphemerides(uint32_t tick);
  void Queue(uint32_t at, std::string frame, bool hand_back = false);
  void Answer(uint32_t tick, uint8_t answer_id, uint8_t about);
  std::string Report(uint32_t tick);
  std::string OwnSentences(uint32_t tick) const;
  int SatellitesUsed() const;

  const ReferenceOptions options_;
  const std::vector<std::string> replay_;
  size_t next_stretch_ = 0;
  bool vbi_;
  nmea::LineCutter lines_;
  vbi::FrameCutter frames_;
  bool first_switch_sentence_heard_ = false;
  bool nmea_switch_armed_ = false;
  std::vector<Due> due_;  // in the order of their times
  bool schedule_started_ = false;
  uint32_t next_report_ = 0;

  int switches_to_vbi_ = 0;
  int switches_to_nmea_ = 0;
  int ephemeris_requests_ = 0;
  int ephemeris_reports_sent_ = 0;
  int navigation_reports_sent_ = 0;
  std::vector<uint8_t> refused_;
};

// One simulated reference receiver on a pseudo-terminal of its own, like SimulatedModule: the
// program opens PortPath() as its terminal port. Every accessor may be called from any thread.
class SimulatedReference : public DeviceOnPty<ReferenceReceiver, ReferenceOptions> {
 public:
  using DeviceOnPty::DeviceOnPty;

  bool SpeaksVbi() const { return Read(&ReferenceReceiver::SpeaksVbi); }
  int SwitchesToVbi() const { return Read(&ReferenceReceiver::SwitchesToVbi); }
  int SwitchesToNmea() const { return Read(&ReferenceReceiver::SwitchesToNmea); }
  int EphemerisRequests() const { return Read(&ReferenceReceiver::EphemerisRequests); }
  int EphemerisReportsSent() const { return Read(&ReferenceReceiver::EphemerisReportsSent); }
  int NavigationReportsSent() const { return Read(&ReferenceReceiver::NavigationReportsSent); }
  std::vector<uint8_t> Refused() const { return Read(&ReferenceReceiver::Refused); }
};

}  // namespace flashpost::sim
