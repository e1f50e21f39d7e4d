#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace flashpost::sim {

// One satellite in view as the module reports it in GSV.
struct Satellite {
  int prn;        // NMEA satellite number; 33 and up are SBAS
  int elevation;  // degrees
  int azimuth;    // degrees
  int cn0;        // dB-Hz; below 0: in view but not tracked, sent as an empty field
};

// Nine satellites of varied strength, one of them an SBAS satellite (NMEA number above 32), so
// that a GSV group has three sentences, the last one short.
std::vector<Satellite> DefaultSatellites();

// The same sky as a module with another antenna or front end sees it: the strongest tracked
// satellite (the first of equals) gets exactly `cn0` (0..99) and every other tracked one is moved
// by the same amount but kept below it; one that falls to 0 or below is no longer tracked (sent
// as an empty field). With `cn0` 0 nothing is tracked.
std::vector<Satellite> WithStrongestCn0(std::vector<Satellite> sats, int cn0);
inline constexpr int kMaxCn0 = 99;  // a GSV C/N0 field has two digits

// The module's firmware in its binary VBI protocol, as the calibration station meets it. It reports
// its version (100), then its calibration status (101) with the phase codes below: the first on
// its own, the second once it waits for aiding, the third once it has taken the PVT aiding
// (message 21, acknowledged with 200), then the calibration data (109, 256 bytes) and the fourth
// status. Navigation reports (121) come once a second throughout; ephemerides (41) are
// acknowledged. Afterwards the firmware goes back to NMEA unless told to stay in VBI.
struct VbiOptions {
  bool at_boot = false;          // the firmware speaks VBI from the start
  bool after_all_image = false;  // a loader followed by an image (All Image) brings up VBI
  // Phase codes (0..7) of the four status reports. The passing road: any, 6 (waiting for aiding),
  // 4 (calibrating), 0 (calibrated).
  std::array<uint8_t, 4> phases = {7, 6, 4, 0};
  uint32_t first_report_ms = 500;  // from the firmware hearing the line to the version report
  uint32_t report_gap_ms = 1000;   // between reports that follow one another on their own
  uint32_t calibration_ms = 3000;  // from the report "calibrating" to the calibration data
  bool acknowledge_pvt = true;     // false: the PVT aiding is never taken nor acknowledged
  bool navigation_reports = true;  // false: no message 121 at all
  bool stay_in_vbi = false;        // after the last status, keep reporting in VBI
};

// What the module's boot code does after a reset. It runs at 115200 before the firmware starts.
enum class BootMenuKind {
  kOff,         // no reset ever happens: the module stays as it is (the update paths' module)
  kMenu,        // banner, then a space within the boot window opens the erase menu
  kBannerOnly,  // the banner, but spaces are ignored: the firmware starts after the window
  kSilent,      // nothing is printed: the firmware starts after the window
};

// A pty carries no DTR and no power, so a reset is played as: the program's line moving to
// 115200 while the firmware runs at another speed (or no firmware runs), as when the operator
// powers the module up after the eraser has opened the port; or, with `reset_every_ms`, once the
// firmware (or the bare boot kernel) has run that long. Neither happens with kOff.
struct BootMenuOptions {
  BootMenuKind kind = BootMenuKind::kOff;
  uint32_t window_ms = 2000;    // from the reset to the firmware starting when no space comes
  uint32_t reset_every_ms = 0;  // 0: resets come only from the line moving to 115200
};

// How one simulated KX420 behaves. The defaults are a healthy module at 9600 baud.
struct ModuleOptions {
  uint32_t baud = 9600;  // the module's own current speed
  // Fields 3 and 4 of the version report (major and minor firmware version).
  std::string version_field3 = "5", version_field4 = "1";
  // At most 36 are reported (a GSV group has at most nine sentences).
  std::vector<Satellite> satellites = DefaultSatellites();
  int fix_type = 3;                      // GSA fix type: 1 none, 2 2D, 3 3D
  uint32_t nmea_period_ms = 1000;        // periodic sentences; 0 = none
  bool silent = false;                   // neither answers nor sends anything
  uint32_t reply_delay_ms = 0;           // late answers to the probe and the commands
  bool corrupt_gsv_checksum = false;     // every $GPGSV carries a wrong checksum
  bool noise_between_sentences = false;  // junk bytes between the periodic sentences
  // The strongest satellite's C/N0 (0..kMaxCn0), see WithStrongestCn0; below 0: `satellites` as
  // they are.
  int strongest_cn0 = -1;

  // Customer ID: "$PQRV29,<ID>" stores the ID and is confirmed with "$PQRV200" and
  // "$PQRV28,01,<ID>".
  std::string customer_id;          // the ID the module holds before any command
  bool confirm_customer_id = true;  // false: the command is neither taken nor answered

  // Firmware update and boot kernel.
  uint32_t erase_ms = 2000;    // flash erase between the update command and the updater's NAK
  bool dead_firmware = false;  // no working firmware: only the boot kernel runs (at 115200)
  // Fault: an image taken whole does not start; the module is left with its boot kernel alone.
  bool dead_after_image = false;
  // Bytes take their real time on the line both ways: ten bits per byte at the line's speed
  // (11520 bytes/s at 115200), so nothing is answered before its last byte could have arrived.
  bool pace_line_rate = false;

  // Faults of the boot code and the updater. Block numbers count from 1 within each transfer
  // (the loader's and the image's alike); 0 means none.
  bool no_nak_after_kernel_entry = false;  // the kernel takes over but never asks with NAK
  bool no_nak_after_erase = false;         // the updater erases but never asks with NAK
  uint32_t fail_block = 0;                 // this block is lost: never answered
  uint32_t nak_block = 0;                  // this block is answered with NAK instead of ACK
  uint32_t late_ack_block = 0;             // this block's ACK comes late_ack_ms late
  uint32_t late_ack_ms = 0;

  VbiOptions vbi;
  BootMenuOptions boot;
};

}  // namespace flashpost::sim
