// Arbitrary frames from the reference receiver through HandleReferenceMessage. The handler must
// read only inside the frame it is given, keep every ephemeris record at its own satellite's
// index, touch nothing but the reference store and the terminal slot's fix type, and write to no
// port. After each frame a module slot is sent its next ephemeris, which must carry the stored
// header and record with a true checksum.
//
// Input: a run of frames. Each starts with a control byte: bits 0..1 pick the identifier (141,
// 121, or the next input byte), bit 2 hands the handler a buffer exactly as long as the frame
// instead of the reader's 1200 bytes, bit 3 restarts the module's ephemeris count. Then two bytes
// of payload length (any 16-bit value, whatever follows), then the payload bytes, as many as the
// length asks for and the input and the 1200-byte buffer hold.
//
// One board serves every input (board_rig.h puts it back after each); a frame costs its handler
// and the checks behind it.

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>

#include "board/port_board.h"
#include "board_rig.h"
#include "protocol/vbi.h"

namespace {

using flashpost::app::kSlotCount;
using flashpost::app::kTerminalSlot;
using flashpost::app::PortBoard;
using flashpost::app::ReferenceData;

constexpr size_t kReaderBuffer = 1200;
constexpr int kModule = 1;

constexpr const char* kName = "fuzz_vbi_handlers";

void Require(bool ok, const char* what) { flashpost::fuzz::Require(ok, kName, what); }

size_t WriteCount(flashpost::testing::FakePortLog& log) {
  std::lock_guard lock(log.mutex);
  return log.writes.size();
}

// Per-slot values the reference handler has no business changing (the terminal's fix type aside).
using SlotValueList = std::array<int64_t, 7 * kSlotCount>;

SlotValueList SlotValues(const PortBoard& board) {
  SlotValueList v{};
  size_t n = 0;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (slot != kTerminalSlot) v[n++] = board.FixType[slot].load();
    v[n++] = board.ProtocolMode[slot].load();
    v[n++] = board.EphemerisMode[slot].load();
    if (slot != kModule) {  // the module slot is sent ephemerides
      v[n++] = board.EphemerisSentCount[slot].load();
      v[n++] = board.PendingResend[slot].Armed.load();
      v[n++] = board.PendingResend[slot].MessageId.load();
      v[n++] = board.PendingResend[slot].SentTick.load();
    }
  }
  return v;
}

uint8_t PayloadByte(std::span<const uint8_t> frame, size_t i) {
  const size_t length = frame[4] | frame[5] << 8;
  return i < length && 8 + i < frame.size() ? frame[8 + i] : 0;
}

// Payload bytes from..from+N, as PayloadByte reads them.
template <size_t N>
void CopyPayload(std::span<const uint8_t> frame, size_t from, std::array<uint8_t, N>& to) {
  const size_t length = frame[4] | frame[5] << 8;
  const size_t held = std::min(length, frame.size() - 8);
  const size_t n = held > from ? std::min(held - from, N) : 0;
  if (n > 0) std::memcpy(to.data(), frame.data() + 8 + from, n);
  std::memset(to.data() + n, 0, N - n);
}

using flashpost::fuzz::SameBytes;

void RequireConsistent(const ReferenceData::Ephemerides& store) {
  for (int k = 0; k < ReferenceData::kRecordCount; ++k) {
    const uint8_t first = store.EphemerisTable[k][0];
    Require(first == 0 || first == k + 1, "a record stored at another satellite's index");
  }
}

// Every port open in VBI, the module slot sending the next record each time; built on the first
// input, kept for the process.
struct Harness {
  Harness() {
    PortBoard& board = rig.Board();
    for (int k = 0; k < kSlotCount; ++k) board.ProtocolMode[k].store(1);
    board.EphemerisMode[kModule].store(1);
    rig.Freeze();
    slot_values = SlotValues(board);
    fresh_store = board.Reference.ReadEphemerides([](const auto& e) { return e; });
  }
  flashpost::fuzz::BoardRig rig{kName, "115200"};
  SlotValueList slot_values;
  ReferenceData::Ephemerides fresh_store;
  // Every frame is the tail of this block, so the first byte read past a frame is past the block
  // and the sanitizer reports it. Zero outside [written_from, written_to).
  std::unique_ptr<uint8_t[]> reader_buffer = std::make_unique<uint8_t[]>(kReaderBuffer);
  size_t written_from = 0;
  size_t written_to = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Harness harness;
  PortBoard& board = harness.rig.Board();
  const SlotValueList& slot_values = harness.slot_values;
  size_t module_writes = 0;
  // What the store must hold after each frame: what it held before, with the header and the
  // record of an ephemeris report taken in. Each frame checks the store against it in one go and
  // looks closer only when they differ.
  ReferenceData::Ephemerides expected = harness.fresh_store;

  size_t pos = 0;
  while (pos < size) {
    const uint8_t control = data[pos++];
    uint8_t id = (control & 3) == 0 ? 141 : (control & 3) == 1 ? 121 : 0;
    if ((control & 3) >= 2 && pos < size) id = data[pos++];
    uint16_t length = 0;
    if (pos < size) length = data[pos++];
    if (pos < size) length = static_cast<uint16_t>(length | data[pos++] << 8);
    const size_t taken = std::min({size_t{length}, size - pos, kReaderBuffer - 8});

    const size_t frame_size = (control & 4) ? 8 + taken : kReaderBuffer;
    uint8_t* const block = harness.reader_buffer.get();
    // Only the header and payload the last frame was given need clearing.
    std::memset(block + harness.written_from, 0, harness.written_to - harness.written_from);
    const std::span<uint8_t> frame(block + kReaderBuffer - frame_size, frame_size);
    harness.written_from = kReaderBuffer - frame_size;
    harness.written_to = harness.written_from + 8 + taken;
    frame[0] = 0x81;
    frame[1] = 0xFF;
    frame[2] = id;
    frame[4] = static_cast<uint8_t>(length);
    frame[5] = static_cast<uint8_t>(length >> 8);
    std::copy(data + pos, data + pos + taken, frame.begin() + 8);
    pos += taken;
    if (control & 8) board.EphemerisSentCount[kModule].store(0);

    const int32_t fix_before = board.FixType[kTerminalSlot].load();
    flashpost::protocol::HandleReferenceMessage(board, frame);

    const uint8_t satellite = PayloadByte(frame, 8);
    const bool report = id == 141 && satellite >= 1 && satellite <= 32;
    if (report) {
      CopyPayload(frame, 0, expected.EphemerisHeader);
      CopyPayload(frame, 8, expected.EphemerisTable[satellite - 1]);
    }
    const bool as_expected = board.Reference.ReadEphemerides([&](const auto& e) {
      return SameBytes(e.EphemerisHeader, expected.EphemerisHeader) &&
             SameBytes(e.EphemerisTable, expected.EphemerisTable);
    });
    if (!as_expected) {
      const auto after = board.Reference.ReadEphemerides([](const auto& e) { return e; });
      RequireConsistent(after);
      Require(after.EphemerisHeader == expected.EphemerisHeader,
              report ? "header not taken" : "header changed");
      for (int k = 0; k < ReferenceData::kRecordCount; ++k) {
        Require(after.EphemerisTable[k] == expected.EphemerisTable[k],
                !report              ? "table changed"
                : k == satellite - 1 ? "record not taken"
                                     : "another record changed");
      }
    }
    const int32_t fix = board.FixType[kTerminalSlot].load();
    if (id == 121) {
      Require(fix == PayloadByte(frame, 5) >> 5, "fix type not taken");
    } else {
      Require(fix == fix_before, "fix type changed");
    }
    Require(SameBytes(SlotValues(board), slot_values), "another slot's state changed");

    flashpost::protocol::SendNextEphemeris(board, kModule);
    auto& module_log = harness.rig.Log(kModule);
    std::lock_guard lock(module_log.mutex);
    const auto& writes = module_log.writes;
    if (writes.size() == module_writes) continue;
    Require(writes.size() == module_writes + 1, "more than one write per send");
    module_writes = writes.size();
    const std::string& sent = writes.back().bytes;
    Require(sent.size() == 125, "an ephemeris message of the wrong length");
    unsigned sum = 0;
    for (size_t i = 2; i < sent.size(); ++i) {
      if (i != 6 && i != 7) sum += static_cast<uint8_t>(sent[i]);
    }
    const unsigned checksum = static_cast<uint8_t>(sent[6]) | static_cast<uint8_t>(sent[7]) << 8;
    Require(((sum + checksum) & 0xFFFF) == 0, "a wrong checksum");
    const auto sent_satellite = static_cast<uint8_t>(sent[16]);
    Require(sent_satellite >= 1 && sent_satellite <= 32, "an empty record sent");
    for (size_t i = 0; i < 8; ++i) {
      Require(static_cast<uint8_t>(sent[8 + i]) == expected.EphemerisHeader[i], "a stale header");
    }
    for (size_t i = 0; i < ReferenceData::kRecordSize; ++i) {
      Require(static_cast<uint8_t>(sent[16 + i]) == expected.EphemerisTable[sent_satellite - 1][i],
              "another record sent");
    }
  }

  // The logs keep every write until the input is through, so one look covers every frame.
  for (int k = 0; k < kSlotCount; ++k) {
    if (k != kModule) Require(WriteCount(harness.rig.Log(k)) == 0, "a frame was answered");
  }
  harness.rig.Finish({kModule, kTerminalSlot});
  return 0;
}
