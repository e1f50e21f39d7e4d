#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <vector>

#include "sim/boot_kernel.h"
#include "sim/boot_menu.h"
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
// The firmware takes two commands of the module test: "$PQRV29,<ID>" stores the customer ID and
// is confirmed with "$PQRV200" and then "$PQRV28,01,<ID>" (unless ModuleOptions says it never
// confirms); "$PQRV02,5C" starts the C/N0 test: a GSV group goes out at once and then every
// period, each second (GSV alone) when the module had no periodic reports. A firmware start
// ends the test.
//
// With ModuleOptions::boot the module can be reset (see BootMenuOptions for what counts as a
// reset on a pty): the boot code (BootCode) runs at 115200, prints its banner and offers its
// erase menu, then starts the firmware. Erasing the firmware leaves only the boot kernel until
// the next complete image; erasing the settings clears the customer ID.
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
  // The customer ID the module holds and how many ID commands it took.
  const std::string& CustomerId() const { return customer_id_; }
  int CustomerIdCommands() const { return customer_id_commands_; }
  // C/N0 test start commands taken.
  int TestStarts() const { return test_starts_; }
  // Resets, and the areas the boot code erased since the module was made, in order.
  int Resets() const { return resets_; }
  std::vector<std::string> Erased() const;
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
  // The customer ID command (followed by the ID), its confirmation and the ID report.
  static constexpr const char* kCustomerIdHead = "PQRV29,";
  static constexpr const char* kCustomerIdAcceptedBody = "PQRV200";
  static constexpr const char* kCustomerIdReportHead = "PQRV28,01,";
  // The command that starts the C/N0 test.
  static constexpr const char* kTestStartBody = "PQRV02,5C";
  static constexpr uint32_t kTestReportPeriodMs = 1000;

  // From the image's EOT to the new firmware running.
  static constexpr uint32_t kRebootMs = 200;
  // From the loader's EOT to the loader's own NAK.
  static constexpr uint32_t kLoaderStartMs = 100;
  // How often the module looks at the line while a NAK waits for the program's speed.
  static constexpr uint32_t kLineLookMs = 5;
  // How often a module that can be reset looks whether the program's line moved to 115200.
  static constexpr uint32_t kResetLookMs = 50;

 private:
  enum class Mode {
    kNmea,       // the firmware runs
    kVbi,        // the firmware runs and speaks VBI
    kDead,       // no firmware: only the boot kernel listens
    kErasing,    // the updater erases the flash
    kReceiving,  // an XMODEM transfer (the kernel's, the loader's or the updater's)
    kRebooting,  // a new image is in; the firmware starts
    kBootCode,   // after a reset: the boot code's banner, window and menu
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
  // A reset when the program's line has just moved to 115200 (see BootMenuOptions).
  void WatchLine(uint32_t tick, const LineState& line);
  void Reset(uint32_t tick);
  void FinishBoot();
  void EnterKernel(uint32_t tick);
  void StartTransfer(uint32_t tick, XmodemReceiver::Accepts accepts, bool ask);
  void OnReceiverResult(uint32_t tick, const XmodemReceiver::Result& r);
  // The firmware starts after an image: in VBI when the options say so, else in NMEA.
  void RunFirmware(bool after_all_image);
  void RunNmeaFirmware();
  void RunVbiFirmware();
  void QueueByte(uint32_t due, uint8_t b, bool wait_for_the_line);
  // The periodic reports' period now, 0 for none.
  uint32_t ReportPeriod() const;
  std::string PeriodicSentences(uint32_t tick);
  std::string GsvGroup() const;
  std::string Noise();

  const ModuleOptions options_;
  Mode mode_;
  uint32_t baud_;
  std::string version_field3_;
  const std::vector<Satellite> satellites_;
  std::string customer_id_;
  bool firmware_present_;  // false when dead or erased, until a complete image comes
  nmea::LineCutter cutter_;
  KernelEntryWatcher entry_;
  std::optional<XmodemReceiver> receiver_;  // while mode_ is kReceiving
  std::optional<VbiFirmware> vbi_;          // driven while mode_ is kVbi, kept for Vbi() after
  std::optional<BootCode> boot_;            // driven while mode_ is kBootCode, kept after
  std::vector<std::string> erased_before_;  // erased by boot code runs before boot_
  uint32_t last_line_baud_ = 0;             // the program's speed when last looked at
  std::optional<uint32_t> reset_due_;       // the next periodic reset, while one is scheduled
  bool gsv_test_ = false;                   // the C/N0 test command came
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
  int customer_id_commands_ = 0;
  int test_starts_ = 0;
  int resets_ = 0;
  Payload image_ = Payload::kNone;
  int images_received_ = 0;
  Payload loader_ = Payload::kNone;
  int loaders_received_ = 0;
  uint64_t packets_received_ = 0;
  std::deque<size_t> packet_sizes_;
  std::deque<BadPacket> bad_packets_;
};

}  // namespace flashpost::sim
