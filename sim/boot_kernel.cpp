#include "sim/boot_kernel.h"

#include <cstdio>

#include "payloads/payloads.h"
#include "platform/clock.h"

namespace flashpost::sim {

namespace {

constexpr int kEntryEscapes = 7;
constexpr int kEntryOnes = 8;

constexpr size_t kHeaderBytes = 3;  // SOH or STX, block number, complement

unsigned Bit(Payload p) { return 1u << static_cast<unsigned>(p); }

constexpr Payload kAllPayloads[] = {Payload::kImageP1, Payload::kImageP2, Payload::kLoader1,
                                    Payload::kLoader2};

bool IsImage(Payload p) { return p == Payload::kImageP1 || p == Payload::kImageP2; }

size_t BlockSize(uint8_t header) { return header == kStx ? 1024 : 128; }
uint8_t HeaderOf(Payload p) { return IsImage(p) ? kStx : kSoh; }

// Where block `block` (from 1) of `bytes`, cut into `size`-byte blocks and filled with 0x1A,
// first differs from `data`; -1 when it is that block.
long FirstDifference(std::span<const uint8_t> bytes, size_t size, uint32_t block,
                     const uint8_t* data) {
  const size_t offset = static_cast<size_t>(block - 1) * size;
  if (offset >= bytes.size()) return 0;
  for (size_t i = 0; i < size; ++i) {
    uint8_t expected = offset + i < bytes.size() ? bytes[offset + i] : kFill;
    if (data[i] != expected) return static_cast<long>(i);
  }
  return -1;
}

std::string Hex(unsigned b) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%02X", b & 0xFFu);
  return buf;
}

}  // namespace

const char* PayloadName(Payload p) {
  switch (p) {
    case Payload::kNone:
      return "none";
    case Payload::kImageP1:
      return "ImageP1";
    case Payload::kImageP2:
      return "ImageP2";
    case Payload::kLoader1:
      return "LoaderImage1";
    case Payload::kLoader2:
      return "LoaderImage2";
  }
  return "?";
}

std::span<const uint8_t> PayloadBytes(Payload p) {
  switch (p) {
    case Payload::kImageP1:
      return payloads::ImageP1();
    case Payload::kImageP2:
      return payloads::ImageP2();
    case Payload::kLoader1:
      return payloads::LoaderImage1();
    case Payload::kLoader2:
      return payloads::LoaderImage2();
    case Payload::kNone:
      break;
  }
  return {};
}

const char* BadReasonName(BadReason r) {
  switch (r) {
    case BadReason::kStrayByte:
      return "stray byte";
    case BadReason::kWrongKind:
      return "wrong packet kind";
    case BadReason::kComplement:
      return "bad complement";
    case BadReason::kBlockNumber:
      return "wrong block number";
    case BadReason::kChecksum:
      return "bad checksum";
    case BadReason::kData:
      return "wrong data";
    case BadReason::kCutShort:
      return "cut short";
    case BadReason::kEarlyEot:
      return "early EOT";
    case BadReason::kNoEot:
      return "no EOT";
  }
  return "?";
}

bool KernelEntryWatcher::Feed(uint8_t b) {
  if (b == kEsc) {
    if (ones_ > 0) Reset();
    if (escapes_ <= kEntryEscapes) ++escapes_;
    return false;
  }
  if (b == '1' && escapes_ == kEntryEscapes) {
    if (++ones_ < kEntryOnes) return false;
    Reset();
    return true;
  }
  Reset();
  return false;
}

void KernelEntryWatcher::Reset() {
  escapes_ = 0;
  ones_ = 0;
}

XmodemReceiver::XmodemReceiver(Accepts accepts, Faults faults)
    : accepts_(accepts), faults_(faults) {
  candidates_ = Bit(Payload::kImageP1) | Bit(Payload::kImageP2);
  if (accepts_ == Accepts::kImageOrLoader) {
    candidates_ |= Bit(Payload::kLoader1) | Bit(Payload::kLoader2);
  }
}

bool XmodemReceiver::Allows(uint8_t header) const {
  for (Payload p : kAllPayloads) {
    if ((candidates_ & Bit(p)) && HeaderOf(p) == header) return true;
  }
  return false;
}

XmodemReceiver::Result XmodemReceiver::Feed(uint32_t tick, uint8_t b) {
  last_tick_ = tick;
  Result r;
  switch (state_) {
    case State::kHeader:
      if (b == kSoh || b == kStx) {
        // Framed by its own layout even when it is the wrong kind, so that its data bytes are
        // not taken for packet starts.
        stray_run_ = false;
        state_ = State::kPacket;
        packet_.assign(1, b);
        want_ = kHeaderBytes + BlockSize(b) + 1;
      } else if (b == kEot) {
        stray_run_ = false;
        r.bad = BadPacket{next_block_, BadReason::kEarlyEot,
                          "EOT after " + std::to_string(BlocksTaken()) + " blocks"};
      } else {
        r.outside_packet = true;
        if (!stray_run_) {
          stray_run_ = true;
          r.bad = BadPacket{next_block_, BadReason::kStrayByte, Hex(b) + " where a packet starts"};
        }
      }
      return r;
    case State::kPacket:
      packet_.push_back(b);
      if (packet_.size() == want_) return CheckPacket();
      return r;
    case State::kEot:
      if (b != kEot) return UntakeLastBlock(Hex(b) + " after the last block");
      state_ = State::kDone;
      r.packet_size = want_ + 1;
      r.answer = Answer::kAck;
      r.block = next_block_ - 1;
      for (Payload p : kAllPayloads) {
        if (candidates_ & Bit(p)) r.completed = p;
      }
      return r;
    case State::kDone:
      r.outside_packet = true;
      return r;
  }
  return r;
}

XmodemReceiver::Result XmodemReceiver::CheckPacket() {
  const uint32_t block = next_block_;
  const uint8_t header = packet_[0];
  const uint8_t number = packet_[1];
  const size_t size = BlockSize(header);
  const uint8_t* data = packet_.data() + kHeaderBytes;
  Result r;
  r.packet_size = packet_.size();
  state_ = State::kHeader;
  auto bad = [&](BadReason reason, std::string detail) {
    r.bad = BadPacket{block, reason, std::move(detail)};
    return r;
  };

  if (!Allows(header)) {
    return bad(BadReason::kWrongKind, header == kStx
                                          ? "1024-byte block (STX) where SOH was expected"
                                          : "128-byte block (SOH) where STX was expected");
  }
  if (packet_[2] != static_cast<uint8_t>(~number)) {
    return bad(BadReason::kComplement,
               "complement " + Hex(packet_[2]) + " of block number " + std::to_string(number));
  }
  if (number != static_cast<uint8_t>(block)) {
    return bad(BadReason::kBlockNumber, "block number " + std::to_string(number) + " where " +
                                            std::to_string(block & 0xFF) + " was due");
  }
  unsigned sum = 0;
  for (size_t i = 0; i < size; ++i) sum += data[i];
  if (static_cast<uint8_t>(sum) != packet_[kHeaderBytes + size]) {
    return bad(BadReason::kChecksum,
               "checksum " + Hex(packet_[kHeaderBytes + size]) + ", the data sum to " + Hex(sum));
  }

  unsigned matching = 0;
  Payload only = Payload::kNone;
  long difference = 0;
  int possible = 0;
  for (Payload p : kAllPayloads) {
    if (!(candidates_ & Bit(p)) || HeaderOf(p) != header) continue;
    ++possible;
    only = p;
    difference = FirstDifference(PayloadBytes(p), size, block, data);
    if (difference < 0) matching |= Bit(p);
  }
  if (matching == 0) {
    if (possible == 1) {
      return bad(BadReason::kData, "block " + std::to_string(block) + " differs from " +
                                       PayloadName(only) + " at byte " +
                                       std::to_string(difference) + " of its data");
    }
    return bad(BadReason::kData,
               "block " + std::to_string(block) + " is none of the payloads the module knows");
  }

  if (block == faults_.fail_block) return r;  // lost inside the module: no answer
  r.block = block;
  if (block == faults_.nak_block) {
    r.answer = Answer::kNak;
    return r;
  }

  before_last_ = candidates_;
  candidates_ = matching;
  ++next_block_;
  unsigned complete = 0;
  for (Payload p : kAllPayloads) {
    if ((matching & Bit(p)) && PayloadBytes(p).size() <= static_cast<size_t>(block) * size) {
      complete |= Bit(p);
    }
  }
  if (complete != 0) {
    // The sender puts EOT in the same write as the last block; the ACK waits for it.
    candidates_ = complete;
    state_ = State::kEot;
    r.packet_size = 0;  // counted with its EOT
    return r;
  }
  r.answer = Answer::kAck;
  return r;
}

XmodemReceiver::Result XmodemReceiver::Expire(uint32_t tick) {
  Result r;
  if (!platform::Elapsed(tick, last_tick_, kByteTimeoutMs)) return r;
  stray_run_ = false;
  if (state_ == State::kPacket) return GiveUpPacket("nothing for a second");
  if (state_ == State::kEot) return UntakeLastBlock("no EOT within a second");
  return r;
}

XmodemReceiver::Result XmodemReceiver::UntakeLastBlock(const std::string& why) {
  // Without its EOT the last block does not count: it has to come again.
  state_ = State::kHeader;
  next_block_ -= 1;
  candidates_ = before_last_;
  Result r;
  r.packet_size = want_;
  r.bad = BadPacket{next_block_, BadReason::kNoEot, why};
  return r;
}

XmodemReceiver::Result XmodemReceiver::Garble() {
  stray_run_ = false;
  if (state_ == State::kPacket) return GiveUpPacket("bytes at another line speed");
  return {};
}

XmodemReceiver::Result XmodemReceiver::GiveUpPacket(const std::string& why) {
  Result r;
  r.packet_size = packet_.size();
  r.bad = BadPacket{
      next_block_, BadReason::kCutShort,
      std::to_string(packet_.size()) + " of " + std::to_string(want_) + " bytes, then " + why};
  state_ = State::kHeader;
  packet_.clear();
  return r;
}

}  // namespace flashpost::sim
