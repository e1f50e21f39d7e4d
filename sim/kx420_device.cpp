#include "sim/kx420_device.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace flashpost::sim {

namespace {

// What a module reports of itself besides the version: model, firmware kind and build.
constexpr const char* kVersionField1 = "KX420";
constexpr const char* kVersionField2 = "AP";
constexpr const char* kVersionBuild = "B2403A";

// Another talker's sentence the module mixes into its reports (it tracks GLONASS as well).
const std::vector<Satellite>& GlonassSatellites() {
  static const std::vector<Satellite> sats = {{65, 40, 100, 35}, {72, 21, 300, 30}};
  return sats;
}

// Junk a real line carries now and then: binary bytes (0x81 starts a VBI frame, so a reader in
// the wrong mode must cope), cut-off sentences of other talkers, stray line ends. None holds a
// "$GP" or "$PQ" start, so a correct reader drops all of it.
const std::vector<std::string>& NoisePieces() {
  static const std::vector<std::string> pieces = {
      std::string("\x81\xFF\x00\x7E", 4),
      "$GLGSA,A,3,65,7",
      "\r\n",
      std::string("\xFE\x81\x81\x10\x00\x00\x13", 7),
      "$BDGSV,2,1,07,201,4",
      std::string("\x00\x00\xA5", 3),
  };
  return pieces;
}

// A version field as a number, 0 when it is not one (the version word of a VBI report).
int NumberOr0(const std::string& text) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() ? value : 0;
}

}  // namespace

Kx420Device::Kx420Device(ModuleOptions options)
    : options_(std::move(options)),
      mode_(options_.dead_firmware ? Mode::kDead : Mode::kNmea),
      baud_(options_.dead_firmware ? kKernelBaud : options_.baud),
      version_field3_(options_.version_field3),
      satellites_(options_.strongest_cn0 >= 0
                      ? WithStrongestCn0(options_.satellites, options_.strongest_cn0)
                      : options_.satellites),
      customer_id_(options_.customer_id),
      firmware_present_(!options_.dead_firmware) {
  if (mode_ == Mode::kNmea && options_.vbi.at_boot) RunVbiFirmware();
}

bool Kx420Device::Understands(const LineState& line) const {
  return line.eight_n_one && (line.baud == baud_ || line.baud == kKernelBaud);
}

std::string Kx420Device::ModeName() const {
  switch (mode_) {
    case Mode::kNmea:
      return "firmware (NMEA at " + std::to_string(baud_) + ")";
    case Mode::kVbi:
      return "firmware (VBI at " + std::to_string(baud_) + ")";
    case Mode::kDead:
      return "boot kernel only (no firmware)";
    case Mode::kErasing:
      return "updater: erasing the flash";
    case Mode::kReceiving:
      return std::string(receiver_->Takes() == XmodemReceiver::Accepts::kImage
                             ? "XMODEM receive of an image"
                             : "boot kernel: XMODEM receive of a loader or an image") +
             ", block " + std::to_string(receiver_->BlocksTaken() + 1) + " due";
    case Mode::kRebooting:
      return "rebooting into the new firmware";
    case Mode::kBootCode:
      return boot_->MenuShown() ? "boot code: menu" : "boot code: boot window";
  }
  return "?";
}

void Kx420Device::Advance(uint32_t tick) {
  if (mode_ == Mode::kErasing && Reached(tick, erase_end_)) {
    StartTransfer(erase_end_, XmodemReceiver::Accepts::kImage, !options_.no_nak_after_erase);
  }
  if (mode_ == Mode::kRebooting && Reached(tick, reboot_at_)) {
    if (options_.dead_after_image) {
      firmware_present_ = false;
      mode_ = Mode::kDead;
      baud_ = kKernelBaud;
    } else {
      RunFirmware(image_follows_loader_);
    }
  }
  if (mode_ == Mode::kReceiving) OnReceiverResult(tick, receiver_->Expire(tick));
  if (mode_ == Mode::kBootCode && boot_->Finished(tick)) FinishBoot();

  const bool resettable = mode_ == Mode::kNmea || mode_ == Mode::kDead;
  if (options_.boot.kind != BootMenuKind::kOff && options_.boot.reset_every_ms > 0 && resettable) {
    if (!reset_due_) {
      reset_due_ = tick + options_.boot.reset_every_ms;
    } else if (Reached(tick, *reset_due_)) {
      Reset(tick);
    }
  } else {
    reset_due_.reset();
  }
}

void Kx420Device::WatchLine(uint32_t tick, const LineState& line) {
  const bool moved_to_boot_speed = line.baud == kKernelBaud && last_line_baud_ != kKernelBaud;
  last_line_baud_ = line.baud;
  if (!moved_to_boot_speed || options_.boot.kind == BootMenuKind::kOff) return;
  if ((mode_ == Mode::kNmea && baud_ != kKernelBaud) || mode_ == Mode::kDead) Reset(tick);
}

void Kx420Device::Reset(uint32_t tick) {
  // Power is gone for a moment: whatever was on its way out or coming in is lost.
  ++resets_;
  pending_.clear();
  cutter_.Reset();
  entry_.Reset();
  receiver_.reset();
  reset_due_.reset();
  gsv_test_ = false;
  if (boot_) {
    const auto& erased = boot_->Erased();
    erased_before_.insert(erased_before_.end(), erased.begin(), erased.end());
  }
  mode_ = Mode::kBootCode;
  baud_ = kKernelBaud;
  boot_.emplace(options_.boot.kind, tick, options_.boot.window_ms);
  const std::string banner = boot_->Banner();
  if (!banner.empty()) pending_.push_back({tick, banner, kKernelBaud, false, false});
}

void Kx420Device::FinishBoot() {
  const auto& erased = boot_->Erased();
  auto was_erased = [&erased](const char* area) {
    return std::find(erased.begin(), erased.end(), area) != erased.end();
  };
  if (was_erased(BootCode::kAreaFirmware)) firmware_present_ = false;
  // The customer ID lives in the settings area.
  if (was_erased(BootCode::kAreaSettings)) customer_id_.clear();
  if (firmware_present_) {
    RunFirmware(false);
  } else {
    mode_ = Mode::kDead;
    baud_ = kKernelBaud;
  }
}

std::vector<std::string> Kx420Device::Erased() const {
  std::vector<std::string> all = erased_before_;
  if (boot_) all.insert(all.end(), boot_->Erased().begin(), boot_->Erased().end());
  return all;
}

void Kx420Device::Receive(uint32_t tick, const LineState& line, const uint8_t* data, size_t n) {
  if (options_.silent) return;
  WatchLine(tick, line);
  Advance(tick);
  if (!Understands(line)) {
    // At another speed the UART sees framing errors and wrong bytes: whatever was coming in is
    // broken.
    cutter_.Reset();
    entry_.Reset();
    if (mode_ == Mode::kReceiving) OnReceiverResult(tick, receiver_->Garble());
    if (mode_ == Mode::kVbi) vbi_->Garble();
    return;
  }
  for (size_t i = 0; i < n; ++i) ReceiveByte(tick, line, data[i]);
}

void Kx420Device::ReceiveByte(uint32_t tick, const LineState& line, uint8_t b) {
  switch (mode_) {
    case Mode::kNmea:
      if (line.baud != baud_) {
        cutter_.Reset();
      } else if (cutter_.Feed(b)) {
        if (auto body = nmea::CheckedBody(cutter_.Text())) OnSentence(tick, *body);
      }
      break;
    case Mode::kVbi:
      if (line.baud == baud_) {
        vbi_->Receive(tick, b);
      } else {
        vbi_->Garble();
      }
      break;
    case Mode::kReceiving: {
      const XmodemReceiver::Result r = receiver_->Feed(tick, b);
      OnReceiverResult(tick, r);
      // Packet bytes are data, not commands: a block may hold anything.
      if (!r.outside_packet) {
        entry_.Reset();
        return;
      }
      break;
    }
    case Mode::kBootCode:
      if (line.baud == kKernelBaud) {
        std::string answer = boot_->Receive(tick, b);
        if (!answer.empty())
          pending_.push_back({tick, std::move(answer), kKernelBaud, false, false});
      }
      break;
    case Mode::kDead:
    case Mode::kErasing:
    case Mode::kRebooting:
      break;
  }
  if (line.baud != kKernelBaud) {
    entry_.Reset();
  } else if (entry_.Feed(b)) {
    EnterKernel(tick);
  }
}

void Kx420Device::OnSentence(uint32_t tick, const std::string& body) {
  if (body == kProbeBody) {
    std::string report = std::string(kVersionReportHead) + kVersionField1 + "," + kVersionField2 +
                         "," + version_field3_ + "," + options_.version_field4 + "," +
                         kVersionBuild;
    pending_.push_back({tick + options_.reply_delay_ms, nmea::Frame(report), baud_, true, false});
  } else if (body.rfind(kCustomerIdHead, 0) == 0) {
    // A firmware that does not confirm does not take the ID either.
    if (!options_.confirm_customer_id) return;
    customer_id_ = body.substr(std::string_view(kCustomerIdHead).size());
    ++customer_id_commands_;
    const std::string answer = nmea::Frame(kCustomerIdAcceptedBody) +
                               nmea::Frame(std::string(kCustomerIdReportHead) + customer_id_);
    pending_.push_back({tick + options_.reply_delay_ms, answer, baud_, false, false});
  } else if (body == kTestStartBody) {
    // The test wants satellites: a GSV group at once, and from then on every period (each
    // second when the module had no periodic reports).
    ++test_starts_;
    gsv_test_ = true;
    pending_.push_back({tick + options_.reply_delay_ms, GsvGroup(), baud_, false, false});
  } else if (body == kUpdateCommandBody) {
    // The updater takes over: no more sentences, no replies still waiting.
    ++update_commands_;
    mode_ = Mode::kErasing;
    baud_ = kKernelBaud;
    image_follows_loader_ = false;
    erase_end_ = tick + options_.erase_ms;
    pending_.clear();
    cutter_.Reset();
  }
  // Other sentences (commands the simulator does not play, sentences the module does not know)
  // are ignored, as the firmware does.
}

void Kx420Device::EnterKernel(uint32_t tick) {
  ++kernel_entries_;
  image_follows_loader_ = false;
  pending_.clear();
  cutter_.Reset();
  StartTransfer(tick, XmodemReceiver::Accepts::kImageOrLoader, !options_.no_nak_after_kernel_entry);
}

void Kx420Device::StartTransfer(uint32_t tick, XmodemReceiver::Accepts accepts, bool ask) {
  mode_ = Mode::kReceiving;
  baud_ = kKernelBaud;
  receiver_.emplace(accepts, XmodemReceiver::Faults{options_.fail_block, options_.nak_block});
  if (ask) QueueByte(tick, kNak, true);
}

void Kx420Device::OnReceiverResult(uint32_t tick, const XmodemReceiver::Result& r) {
  if (r.packet_size > 0) {
    ++packets_received_;
    packet_sizes_.push_back(r.packet_size);
    if (packet_sizes_.size() > kKeptPackets) packet_sizes_.pop_front();
  }
  if (r.bad) {
    bad_packets_.push_back(*r.bad);
    if (bad_packets_.size() > kKeptBadPackets) bad_packets_.pop_front();
  }
  if (r.answer == XmodemReceiver::Answer::kNak) QueueByte(tick, kNak, false);
  if (r.answer != XmodemReceiver::Answer::kAck) return;

  const uint32_t ack_due = tick + (r.block == options_.late_ack_block ? options_.late_ack_ms : 0);
  QueueByte(ack_due, kAck, false);
  switch (r.completed) {
    case Payload::kImageP1:
    case Payload::kImageP2:
      image_ = r.completed;
      ++images_received_;
      firmware_present_ = true;
      version_field3_ = r.completed == Payload::kImageP1 ? "3" : "5";
      mode_ = Mode::kRebooting;
      reboot_at_ = ack_due + kRebootMs;
      receiver_.reset();
      break;
    case Payload::kLoader1:
    case Payload::kLoader2:
      // The loader runs from RAM and asks for the image itself.
      loader_ = r.completed;
      ++loaders_received_;
      image_follows_loader_ = true;
      StartTransfer(ack_due + kLoaderStartMs, XmodemReceiver::Accepts::kImage, true);
      break;
    case Payload::kNone:
      break;
  }
}

void Kx420Device::RunFirmware(bool after_all_image) {
  const bool vbi = options_.vbi.at_boot || (after_all_image && options_.vbi.after_all_image);
  image_follows_loader_ = false;
  if (vbi) {
    RunVbiFirmware();
  } else {
    RunNmeaFirmware();
  }
}

void Kx420Device::RunNmeaFirmware() {
  mode_ = Mode::kNmea;
  baud_ = options_.baud;
  receiver_.reset();
  cutter_.Reset();
  schedule_started_ = false;
  gsv_test_ = false;
}

void Kx420Device::RunVbiFirmware() {
  mode_ = Mode::kVbi;
  baud_ = options_.baud;
  receiver_.reset();
  cutter_.Reset();
  int used = 0;
  for (const Satellite& s : satellites_) used += s.cn0 > 0;
  vbi_.emplace(options_.vbi, NumberOr0(version_field3_), NumberOr0(options_.version_field4),
               options_.fix_type, std::min(used, 12));
}

void Kx420Device::QueueByte(uint32_t due, uint8_t b, bool wait_for_the_line) {
  pending_.push_back(
      {due, std::string(1, static_cast<char>(b)), kKernelBaud, false, wait_for_the_line});
}

std::vector<uint8_t> Kx420Device::Transmit(uint32_t tick, const LineState& line) {
  if (options_.silent) return {};
  WatchLine(tick, line);
  Advance(tick);
  auto heard_at = [&line](uint32_t baud) { return line.eight_n_one && line.baud == baud; };
  std::string out;

  std::vector<Pending> kept;
  for (Pending& p : pending_) {
    if (!Reached(tick, p.due)) {
      kept.push_back(std::move(p));
    } else if (heard_at(p.baud)) {
      out += p.bytes;
      if (p.version_report) ++version_reports_;
    } else if (p.wait_for_the_line) {
      kept.push_back(std::move(p));
    }
    // Anything else went out at a speed the program does not share: garbage, lost.
  }
  pending_ = std::move(kept);

  if (mode_ == Mode::kVbi) {
    out += vbi_->Transmit(tick, heard_at(baud_));
    if (vbi_->BackToNmea()) RunNmeaFirmware();
  }
  const uint32_t period = ReportPeriod();
  if (period > 0 && mode_ == Mode::kNmea) {
    if (!schedule_started_) {
      schedule_started_ = true;
      next_report_ = tick + period;
    } else if (Reached(tick, next_report_)) {
      if (heard_at(baud_)) out += PeriodicSentences(tick);
      next_report_ += period;
      // A pump that fell far behind starts a fresh period instead of sending a burst of bursts.
      if (Reached(tick, next_report_)) next_report_ = tick + period;
    }
  }
  return std::vector<uint8_t>(out.begin(), out.end());
}

uint32_t Kx420Device::IdleFor(uint32_t tick) const {
  if (options_.silent) return kMaxIdleMs;
  uint32_t idle = kMaxIdleMs;
  auto until = [tick, &idle](uint32_t due) {
    idle = std::min(idle, Reached(tick, due) ? 0 : due - tick);
  };
  for (const Pending& p : pending_) {
    if (p.wait_for_the_line && Reached(tick, p.due)) {
      idle = std::min(idle, kLineLookMs);
    } else {
      until(p.due);
    }
  }
  if (mode_ == Mode::kErasing) until(erase_end_);
  if (mode_ == Mode::kRebooting) until(reboot_at_);
  if (mode_ == Mode::kVbi) idle = std::min(idle, vbi_->IdleFor(tick));
  if (mode_ == Mode::kBootCode) idle = std::min(idle, boot_->IdleFor(tick));
  if (options_.boot.kind != BootMenuKind::kOff && (mode_ == Mode::kNmea || mode_ == Mode::kDead)) {
    // The line cannot raise an event: a reset by the program's speed is only seen by looking.
    idle = std::min(idle, kResetLookMs);
    if (reset_due_) until(*reset_due_);
  }
  if (ReportPeriod() > 0 && mode_ == Mode::kNmea) {
    if (!schedule_started_) return 0;
    until(next_report_);
  }
  return idle;
}

std::string Kx420Device::PeriodicSentences(uint32_t tick) {
  // Started by the test command alone, the reports are the GSV group and nothing else.
  if (options_.nmea_period_ms == 0) return GsvGroup();

  nmea::FixReport fix;
  fix.time_of_day_s = nmea::kFirstTimeOfDayS + tick / 1000;
  fix.fix_type = options_.fix_type;
  for (const Satellite& s : satellites_) {
    if (s.cn0 > 0 && fix.used_prns.size() < 12) fix.used_prns.push_back(s.prn);
  }

  std::vector<std::string> sentences;
  sentences.push_back(nmea::Frame(nmea::GgaBody(fix)));
  sentences.push_back(nmea::Frame(nmea::GsaBody(fix)));
  for (const std::string& body : nmea::GsvBodies("GP", satellites_)) {
    sentences.push_back(options_.corrupt_gsv_checksum ? nmea::FrameWithWrongChecksum(body)
                                                      : nmea::Frame(body));
  }
  sentences.push_back(nmea::Frame(nmea::GsvBodies("GL", GlonassSatellites()).front()));
  sentences.push_back(nmea::Frame(nmea::RmcBody(fix)));

  std::string out;
  for (size_t i = 0; i < sentences.size(); ++i) {
    if (i > 0 && options_.noise_between_sentences) out += Noise();
    out += sentences[i];
  }
  return out;
}

uint32_t Kx420Device::ReportPeriod() const {
  if (options_.nmea_period_ms > 0) return options_.nmea_period_ms;
  return gsv_test_ ? kTestReportPeriodMs : 0;
}

std::string Kx420Device::GsvGroup() const {
  std::string out;
  for (const std::string& body : nmea::GsvBodies("GP", satellites_)) {
    out += options_.corrupt_gsv_checksum ? nmea::FrameWithWrongChecksum(body) : nmea::Frame(body);
  }
  return out;
}

std::string Kx420Device::Noise() {
  const auto& pieces = NoisePieces();
  return pieces[noise_index_++ % pieces.size()];
}

}  // namespace flashpost::sim
