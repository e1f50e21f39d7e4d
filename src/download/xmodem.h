#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "serial/slot_job.h"

namespace flashpost::download {

inline constexpr uint8_t kEsc = 0x1B;
inline constexpr uint8_t kOne = 0x31;
inline constexpr uint8_t kSoh = 0x01;
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEot = 0x04;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kFill = 0x1A;

inline constexpr size_t kBlock1K = 1024;
inline constexpr size_t kBlock128 = 128;
// Header (start byte, number, complement), data, checksum, and EOT in the last packet.
inline constexpr size_t kMaxPacketSize = 3 + kBlock1K + 1 + 1;

// One packet of an XMODEM transfer in checksum mode, built in a fixed buffer.
struct XmodemPacket {
  std::array<uint8_t, kMaxPacketSize> bytes{};
  size_t size = 0;           // bytes to write
  size_t payload_taken = 0;  // payload bytes it carries
  bool last = false;
};

// The packet of the given block size that carries the payload from offset on. block_number is
// the packet's number on the wire (1 for the first, wrapping at 256). The last packet is padded
// with 0x1A and carries EOT behind its checksum, so the transfer ends in the same write.
XmodemPacket BuildXmodemPacket(std::span<const uint8_t> payload, size_t offset,
                               uint8_t block_number, size_t block_size);

// Percent of the payload acknowledged, truncating, at most 100.
int32_t TransferProgress(uint32_t acked_blocks, uint32_t block_size, uint32_t payload_size);

// ESC seven times 100 ms apart, then eight "1" in one write: drops the module into its boot
// kernel, which answers NAK once it can receive. False when the slot was stopped on the way.
bool SendKernelEntry(const serial::SlotJob& job);

// Reads single bytes until the awaited one arrives (true) or limit_ms have passed since
// start_tick (false). Every other byte is dropped. A stop of the slot, or its port closed under
// the wait, ends it at once (false).
bool WaitForByte(const serial::SlotJob& job, uint8_t awaited, uint32_t start_tick,
                 uint32_t limit_ms);
// NAK and ACK within `WaitTimeoutMs` from now.
bool WaitForNak(const serial::SlotJob& job);
bool WaitForAck(const serial::SlotJob& job);

// Sends the payload in blocks of block_size, each acknowledged before the next; no
// retransmission: a missing ACK ends the transfer. Progress goes to the slot's
// `ProgressPercent`; after each ACK the sender pauses pause_after_ack_ms. False on failure, with
// the failure text in the slot's status line, and false without a word when the slot is stopped.
// The transfer is noted under the payload's name in the slot's record of the run.
bool SendPayload(const serial::SlotJob& job, const char* name, std::span<const uint8_t> payload,
                 size_t block_size, uint32_t pause_after_ack_ms, const char* write_failed_text);

// The firmware image (`ImageP2` when `ChipIsSecond` is set, else `ImageP1`, chosen once at the
// start) in 1024-byte blocks.
bool SendXmodem1K(const serial::SlotJob& job);
// The boot loader for the chip (`LoaderImage1` for BBChip checked, else `LoaderImage2`) in
// 128-byte blocks, 50 ms apart.
bool SendXmodem(const serial::SlotJob& job, bool bbchip_checked);

}  // namespace flashpost::download
