#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/boot_kernel.h"
#include "sim/device.h"
#include "sim/module_options.h"
#include "sim/nmea.h"
#include "sim/vbi_module.h"

namespace flashpost::sim {

// The byte-level behaviour of one KX420 module.
//
// Its firmware talks NMEA at the module's speed: GGA, GSA, GSV (with another talker's sentence
// mixed in) and RMC every period, the version report on the probe, and on the update command
// "$PQRV11,1,0,6,2,0*hh" it hands over to the updater. The updater goes quiet, moves to 115200,
// erases the flash, asks for the image with NAK and receives it by XMODEM-1K. After a complete
// image the module reboots into the new firmware at its own speed again; the image it got
// decides the major version it reports (ImageP1 "3", ImageP2 "5").
//
// Beneath the firmware the boot kernel listens at 115200 whatever else runs (it also runs alone
// when the firmware is dead): seven ESC and eight '1' make it take over and ask with NAK for an
// image (XMODEM-1K) or a loader (XMODEM, 128-byte blocks). A loader, once in, asks with NAK of
// its own for the image.
//
// A NAK that asks for a transfer waits, if need be, until the program's line is at 115200 (the
// updater's NAK is due when the erase ends, but the program may reopen its port later). ACKs
// and NAKs that answer blocks go out at once and are lost if the program's line is elsewhere.
//
// With ModuleOptions::vbi the firmware speaks VBI instead, at the module's speed, and runs its
// crystal calibration (VbiFirmware): from every start, or after an All Image download (a loader,
// then the image through it). When the calibration is over it goes back to NMEA.
class Kx420Device final : public Device {
 public:
  explicit Kx420Device(ModuleOptions options);

  uint32_t Baud() const override { return baud_; }
  // The firmware's speed, and the kernel's 115200 at all times.
  bool Understands(const LineState& line) const override;
  void Receive(uint32_t tick, const LineState& line, const uint8_t* data, size_t n) override;
  std::vector<uint8_t> Transmit(uint32_t tick, const LineState& line) override;
  uint32_t IdleFor(uint32_t tick) const override;

  const ModuleOptions& Options() const { return options_; }

  // What happened to the module, for tests.
  // Version reports put on the line at the program's speed.
  int VersionReports() const { return version_reports_; }
  // Fields 3 and 4 of the version report as the firmware now in the module gives them.
  const std::string& VersionField3() const { return version_field3_; }
  const std::string& VersionField4() const { return options_.version_field4; }
  int UpdateCommands() const { return update_commands_; }
  int KernelEntries() const { return kernel_entries_; }
  // The last complete image (kNone, kImageP1, kImageP2) and how many complete images came.
  Payload ImageReceived() const { return image_; }
  int ImagesReceived() const { return images_received_; }
  // The last complete loader (kNone, kLoader1, kLoader2) and how many came.
  Payload LoaderReceived() const { return loader_; }
  int LoadersReceived() const { return loaders_received_; }
  // XMODEM packets framed, good or bad, and the lengths of the latest kKeptPackets of them (the
  // last block of a transfer counts with its EOT).
  uint64_t PacketsReceived() const { return packets_received_; }
  std::vector<size_t> PacketSizes() const { return {packet_sizes_.begin(), packet_sizes_.end()}; }
  // The latest kKeptBadPackets packets (and stray bytes) that got no ACK, and why.
  std::vector<BadPacket> BadPackets() const { return {bad_packets_.begin(), bad_packets_.end()}; }
  // What the VBI firmware did and took since it last started (empty before it ever ran).
  VbiActivity Vbi() const { return vbi_ ? vbi_->Activity() : VbiActivity{}; }
  bool SpeaksVbi() const { return mode_ == Mode::kVbi; }
  // What runs in the module now, in words.
  std::string ModeName() const;

  static constexpr size_t kKeptPackets = 8192;
  static constexpr size_t kKeptBadPackets = 256;

  // The probe the program sends, the version report that answers it, and the update command.
  static constexpr const char* kProbeBody = "PQRV14,8";
  static constexpr const char* kVersionReportHead = "PQRV100,";
  static constexpr const char* kUpdateCommandBody = "PQRV11,1,0,6,2,0";

  // From the image's EOT to the new firmware running.
  static constexpr uint32_t kRebootMs = 200;
  // From the loader's EOT to the loader's own NAK.
  static constexpr uint32_t kLoaderStartMs = 100;
  // How often the module looks at the line while a NAK waits for the program's speed.
  static constexpr uint32_t kLineLookMs = 5;

 private:
  enum class Mode {
    kNmea,       // the firmware runs
    kVbi,        // the firmware runs and speaks VBI
    kDead,       // no firmware: only the boot kernel listens
    kErasing,    // the updater erases the flash
    kReceiving,  // an XMODEM transfer (the kernel's, the loader's or the updater's)
    kRebooting,  // a new image is in; the firmware starts
  };

  // Bytes waiting for their time on the line.
  struct Pending {
    uint32_t due;
    std::string bytes;
    uint32_t baud;           // the speed they go out at
    bool version_report;     // counted in VersionReports when heard
    bool wait_for_the_line;  // kept until the program's line is at `baud`, not lost
  };

  void Advance(uint32_t tick);
  void ReceiveByte(uint32_t tick, const LineState& line, uint8_t b);
  void OnSentence(uint32_t tick, const std::string& body);
  void EnterKernel(uint32_t tick);
  void StartTransfer(uint32_t tick, XmodemReceiver::Accepts accepts, bool ask);
  void OnReceiverResult(uint32_t tick, const XmodemReceiver::Result& r);
  // The firmware starts after an image: in VBI when the options say so, else in NMEA.
  void RunFirmware(bool after_all_image);
  void RunNmeaFirmware();
  void RunVbiFirmware();
  void QueueByte(uint32_t due, uint8_t b, bool wait_for_the_line);
  std::string PeriodicSentences(uint32_t tick);
  std::string Noise();

  const ModuleOptions options_;
  Mode mode_;
  uint32_t baud_;
  std::string version_field3_;
  nmea::LineCutter cutter_;
  KernelEntryWatcher entry_;
  std::optional<XmodemReceiver> receiver_;  // while mode_ is kReceiving
  std::optional<VbiFirmware> vbi_;          // driven while mode_ is kVbi, kept for Vbi() after
  bool image_follows_loader_ = false;       // the transfer under way is a loader's image
  uint32_t erase_end_ = 0;                  // while mode_ is kErasing
  uint32_t reboot_at_ = 0;                  // while mode_ is kRebooting
  std::vector<Pending> pending_;            // in the order they were queued
  bool schedule_started_ = false;
  uint32_t next_report_ = 0;
  uint32_t noise_index_ = 0;

  int version_reports_ = 0;
  int update_commands_ = 0;
  int kernel_entries_ = 0;
  Payload image_ = Payload::kNone;
  int images_received_ = 0;
  Payload loader_ = Payload::kNone;
  int loaders_received_ = 0;
  uint64_t packets_received_ = 0;
  std::deque<size_t> packet_sizes_;
  std::deque<BadPacket> bad_packets_;
};

}  // namespace flashpost::sim
