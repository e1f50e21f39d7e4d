#pragma once

// The module's boot code: the entry sequence its kernel watches for, and the XMODEM receiver
// that the kernel, the loader and the firmware updater share. Written apart from the program's
// transfer code, so that a mistake on one side is not mirrored on the other.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace flashpost::sim {

// Control bytes of the boot code.
inline constexpr uint8_t kSoh = 0x01;
inline constexpr uint8_t kStx = 0x02;
inline constexpr uint8_t kEot = 0x04;
inline constexpr uint8_t kAck = 0x06;
inline constexpr uint8_t kNak = 0x15;
inline constexpr uint8_t kFill = 0x1A;
inline constexpr uint8_t kEsc = 0x1B;

// The speed of the boot kernel, the loader and the firmware updater.
inline constexpr uint32_t kKernelBaud = 115200;

// What the module can receive by XMODEM: the two firmware images (1024-byte blocks) and the two
// loaders (128-byte blocks).
enum class Payload { kNone, kImageP1, kImageP2, kLoader1, kLoader2 };
const char* PayloadName(Payload p);
// The bytes the module expects for a payload: the images the program carries.
std::span<const uint8_t> PayloadBytes(Payload p);

// Watches the bytes that reach the module at the kernel's speed for the entry sequence: exactly
// seven ESC, then eight '1'. How the bytes are spread over writes and time does not matter; any
// other byte, or an eighth ESC, spoils the sequence, and a new ESC starts it again.
class KernelEntryWatcher {
 public:
  // True when `b` completed the sequence.
  bool Feed(uint8_t b);
  void Reset();

 private:
  int escapes_ = 0;  // 8 stands for "too many"
  int ones_ = 0;
};

// Why a packet, or a byte where a packet should start, was not acknowledged.
enum class BadReason {
  kStrayByte,    // a byte that starts no packet (recorded once per run of such bytes)
  kWrongKind,    // SOH where STX was expected or the other way round
  kComplement,   // the third byte is not the complement of the block number
  kBlockNumber,  // not the block that comes next
  kChecksum,     // the data do not sum to the checksum byte
  kData,         // the data are not the expected payload's bytes at this block
  kCutShort,     // the packet stopped coming before it was whole
  kEarlyEot,     // EOT before the payload was complete
  kNoEot,        // the last block was not followed by EOT
};
const char* BadReasonName(BadReason r);

struct BadPacket {
  uint32_t block;  // the block the receiver was waiting for, counted from 1 in the transfer
  BadReason reason;
  std::string detail;
};

// Receives one XMODEM transfer in checksum mode, byte by byte, and checks every packet against
// the payloads the module knows: the first good block decides which payload is arriving, each
// later block must be that payload's bytes at its offset, and the last block is the payload's
// remaining bytes filled up with 0x1A and followed by EOT. A good block is answered with ACK,
// the last one once its EOT is in; a bad packet gets no answer and the receiver waits for the
// same block again. The program never sends a block twice, so a repeated block number counts as
// a wrong one.
class XmodemReceiver {
 public:
  enum class Accepts {
    kImage,          // 1024-byte blocks of ImageP1 or ImageP2 (the updater and the loader)
    kImageOrLoader,  // the boot kernel: an image, or a loader in 128-byte blocks
  };
  // Faults of the module: block N of the transfer is dropped unanswered, or answered with NAK.
  struct Faults {
    uint32_t fail_block = 0;
    uint32_t nak_block = 0;
  };
  enum class Answer { kNone, kAck, kNak };

  // What one byte (or the passing of time) brought about.
  struct Result {
    Answer answer = Answer::kNone;
    uint32_t block = 0;                  // the block the answer is for, counted from 1
    Payload completed = Payload::kNone;  // set with the ACK that ends the transfer
    size_t packet_size = 0;              // a packet was framed: its length, with a trailing EOT
    std::optional<BadPacket> bad;
    bool outside_packet = false;  // the byte is no part of a packet
  };

  // A packet whose next byte is this late is given up.
  static constexpr uint32_t kByteTimeoutMs = 1000;

  XmodemReceiver(Accepts accepts, Faults faults);

  Result Feed(uint32_t tick, uint8_t b);
  // Gives up a packet, or the EOT after the last block, that has not come on by `tick`. Called
  // before the bytes that arrive at `tick` are fed, and whenever the module looks at the time.
  Result Expire(uint32_t tick);
  // Bytes at another line speed reached the UART: a packet in progress is lost.
  Result Garble();

  uint32_t BlocksTaken() const { return next_block_ - 1; }
  Accepts Takes() const { return accepts_; }

 private:
  enum class State { kHeader, kPacket, kEot, kDone };

  Result CheckPacket();
  Result GiveUpPacket(const std::string& why);
  Result UntakeLastBlock(const std::string& why);
  bool Allows(uint8_t header) const;

  const Accepts accepts_;
  const Faults faults_;
  State state_ = State::kHeader;
  std::vector<uint8_t> packet_;
  size_t want_ = 0;
  uint32_t next_block_ = 1;
  unsigned candidates_;       // bit per Payload still possible
  unsigned before_last_ = 0;  // candidates_ before the last block was taken
  uint32_t last_tick_ = 0;
  bool stray_run_ = false;
};

}  // namespace flashpost::sim
