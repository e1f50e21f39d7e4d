#include "download/xmodem.h"

#include <algorithm>

#include "payloads/payloads.h"
#include "serial/serial_port.h"

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

void SendKernelEntry(app::PortBoard& board, int slot) {
  const uint8_t esc = kEsc;
  for (int i = 0; i < kEscRepeats; ++i) {
    serial::WritePort(board, slot, &esc, 1);
    board.Clock().Sleep(kEscGapMs);
  }
  const std::array<uint8_t, 8> ones{kOne, kOne, kOne, kOne, kOne, kOne, kOne, kOne};
  serial::WritePort(board, slot, ones.data(), ones.size());
}

bool WaitForByte(app::PortBoard& board, int slot, uint8_t awaited, uint32_t start_tick,
                 uint32_t limit_ms) {
  while (true) {
    auto byte = serial::ReadPortByte(board, slot);
    if (byte && *byte == awaited) return true;
    if (platform::Elapsed(board.Clock().Ticks(), start_tick, limit_ms)) return false;
  }
}

bool WaitForNak(app::PortBoard& board, int slot) {
  return WaitForByte(board, slot, kNak, board.Clock().Ticks(),
                     static_cast<uint32_t>(board.WaitTimeoutMs.load()));
}

bool WaitForAck(app::PortBoard& board, int slot) {
  return WaitForByte(board, slot, kAck, board.Clock().Ticks(),
                     static_cast<uint32_t>(board.WaitTimeoutMs.load()));
}

bool SendPayload(app::PortBoard& board, int slot, std::span<const uint8_t> payload,
                 size_t block_size, uint32_t pause_after_ack_ms, const char* write_failed_text) {
  uint8_t block_number = 0;
  uint32_t acked = 0;
  for (size_t offset = 0; offset < payload.size();) {
    ++block_number;
    XmodemPacket packet = BuildXmodemPacket(payload, offset, block_number, block_size);
    if (!serial::WritePort(board, slot, packet.bytes.data(), packet.size)) {
      board.StatusText[slot].Set(write_failed_text);
      return false;
    }
    if (!WaitForAck(board, slot)) {
      board.StatusText[slot].Set("Download Failed!(No ACK)");
      return false;
    }
    ++acked;
    board.ProgressPercent[slot].store(TransferProgress(acked, static_cast<uint32_t>(block_size),
                                                       static_cast<uint32_t>(payload.size())));
    if (pause_after_ack_ms > 0) board.Clock().Sleep(pause_after_ack_ms);
    offset += packet.payload_taken;
  }
  return true;
}

bool SendXmodem1K(app::PortBoard& board, int slot) {
  // Chosen once: an image switched half-way would leave the module with a mix of both.
  auto image = board.ChipIsSecond.load() != 0 ? payloads::ImageP2() : payloads::ImageP1();
  return SendPayload(board, slot, image, kBlock1K, 0, "Download Failed!(can't send)");
}

bool SendXmodem(app::PortBoard& board, int slot, bool bbchip_checked) {
  auto loader = bbchip_checked ? payloads::LoaderImage1() : payloads::LoaderImage2();
  return SendPayload(board, slot, loader, kBlock128, kLoaderPauseMs,
                     "Download Failed!(can't Send)");
}

}  // namespace flashpost::download
