#include "download/xmodem.h"

#include <algorithm>

#include "payloads/payloads.h"

namespace flashpost::download {

namespace {
constexpr int kEscRepeats = 7;
constexpr uint32_t kEscGapMs = 100;
constexpr uint32_t kLoaderPauseMs = 50;
}  // namespace

XmodemPacket BuildXmodemPacket(std::span<const uint8_t> payload, size_t offset,
                               uint8_t block_number, size_t block_size) {
  XmodemPacket p;
  const size_t left = offset < payload.size() ? payload.size() - offset : 0;
  p.payload_taken = std::min(left, block_size);
  p.last = offset + p.payload_taken >= payload.size();
  p.bytes[0] = block_size == kBlock1K ? kStx : kSoh;
  p.bytes[1] = block_number;
  p.bytes[2] = static_cast<uint8_t>(0xFF - block_number);
  uint8_t* data = p.bytes.data() + 3;
  std::copy_n(payload.begin() + static_cast<std::ptrdiff_t>(offset), p.payload_taken, data);
  std::fill(data + p.payload_taken, data + block_size, kFill);
  uint8_t sum = 0;
  for (size_t i = 0; i < block_size; ++i) sum = static_cast<uint8_t>(sum + data[i]);
  p.bytes[3 + block_size] = sum;
  p.size = 3 + block_size + 1;
  if (p.last) p.bytes[p.size++] = kEot;
  return p;
}

int32_t TransferProgress(uint32_t acked_blocks, uint32_t block_size, uint32_t payload_size) {
  uint32_t percent = acked_blocks * block_size * 100u / payload_size;
  return static_cast<int32_t>(std::min<uint32_t>(percent, 100));
}

bool SendKernelEntry(const serial::SlotJob& job) {
  const uint8_t esc = kEsc;
  for (int i = 0; i < kEscRepeats; ++i) {
    job.Write(&esc, 1);
    if (!job.Pause(kEscGapMs)) return false;
  }
  const std::array<uint8_t, 8> ones{kOne, kOne, kOne, kOne, kOne, kOne, kOne, kOne};
  job.Write(ones.data(), ones.size());
  return !job.Stopped();
}

bool WaitForByte(const serial::SlotJob& job, uint8_t awaited, uint32_t start_tick,
                 uint32_t limit_ms) {
  platform::Clock& clock = job.Board().Clock();
  while (!job.Stopped() && job.PortOpen()) {
    auto byte = job.ReadByte();
    if (byte && *byte == awaited) return true;
    if (platform::Elapsed(clock.Ticks(), start_tick, limit_ms)) return false;
  }
  return false;
}

bool WaitForNak(const serial::SlotJob& job) {
  app::PortBoard& board = job.Board();
  return WaitForByte(job, kNak, board.Clock().Ticks(),
                     static_cast<uint32_t>(board.WaitTimeoutMs.load()));
}

bool WaitForAck(const serial::SlotJob& job) {
  app::PortBoard& board = job.Board();
  return WaitForByte(job, kAck, board.Clock().Ticks(),
                     static_cast<uint32_t>(board.WaitTimeoutMs.load()));
}

bool SendPayload(const serial::SlotJob& job, const char* name, std::span<const uint8_t> payload,
                 size_t block_size, uint32_t pause_after_ack_ms, const char* write_failed_text) {
  if (!job.UnlessStopped([&] { job.Board().BeginTransfer(job.Slot(), name); })) return false;
  uint8_t block_number = 0;
  uint32_t acked = 0;
  for (size_t offset = 0; offset < payload.size();) {
    ++block_number;
    XmodemPacket packet = BuildXmodemPacket(payload, offset, block_number, block_size);
    if (!job.Write(packet.bytes.data(), packet.size)) {
      job.ShowText(write_failed_text);
      return false;
    }
    if (!WaitForAck(job)) {
      job.ShowText("Download Failed!(No ACK)");
      return false;
    }
    ++acked;
    job.SetProgress(TransferProgress(acked, static_cast<uint32_t>(block_size),
                                     static_cast<uint32_t>(payload.size())));
    if (pause_after_ack_ms > 0 && !job.Pause(pause_after_ack_ms)) return false;
    offset += packet.payload_taken;
  }
  return job.UnlessStopped([&] { job.Board().CompleteTransfer(job.Slot()); });
}

bool SendXmodem1K(const serial::SlotJob& job) {
  // Chosen once: an image switched half-way would leave the module with a mix of both.
  const bool second = job.Board().ChipIsSecond.load() != 0;
  return SendPayload(job, second ? "ImageP2" : "ImageP1",
                     second ? payloads::ImageP2() : payloads::ImageP1(), kBlock1K, 0,
                     "Download Failed!(can't send)");
}

bool SendXmodem(const serial::SlotJob& job, bool bbchip_checked) {
  return SendPayload(job, bbchip_checked ? "LoaderImage1" : "LoaderImage2",
                     bbchip_checked ? payloads::LoaderImage1() : payloads::LoaderImage2(),
                     kBlock128, kLoaderPauseMs, "Download Failed!(can't Send)");
}

}  // namespace flashpost::download
