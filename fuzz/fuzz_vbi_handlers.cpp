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

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "board/port_board.h"
#include "protocol/vbi.h"
#include "serial/serial_port.h"
#include "support/fake_serial.h"

namespace {

using flashpost::app::kSlotCount;
using flashpost::app::kTerminalSlot;
using flashpost::app::PortBoard;
using flashpost::app::ReferenceData;

constexpr size_t kReaderBuffer = 1200;
constexpr int kModule = 1;

void Require(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "fuzz_vbi_handlers: %s\n", what);
    std::abort();
  }
}

// Per-slot values the reference handler has no business changing (the terminal's fix type aside).
std::vector<int64_t> SlotValues(const PortBoard& board) {
  std::vector<int64_t> v;
  for (int slot = 0; slot < kSlotCount; ++slot) {
    if (slot != kTerminalSlot) v.push_back(board.FixType[slot].load());
    v.push_back(board.ProtocolMode[slot].load());
    v.push_back(board.EphemerisMode[slot].load());
    if (slot != kModule) {  // the module slot is sent ephemerides
      v.push_back(board.EphemerisSentCount[slot].load());
      v.push_back(board.PendingResend[slot].Armed.load());
      v.push_back(board.PendingResend[slot].MessageId.load());
      v.push_back(board.PendingResend[slot].SentTick.load());
    }
  }
  return v;
}

uint8_t PayloadByte(const std::vector<uint8_t>& frame, size_t i) {
  const size_t length = frame[4] | frame[5] << 8;
  return i < length && 8 + i < frame.size() ? frame[8 + i] : 0;
}

void RequireConsistent(const ReferenceData::Ephemerides& store) {
  for (int k = 0; k < ReferenceData::kRecordCount; ++k) {
    const uint8_t first = store.EphemerisTable[k][0];
    Require(first == 0 || first == k + 1, "a record stored at another satellite's index");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  flashpost::platform::ManualClock clock;
  std::vector<std::string> names;
  for (int k = 0; k < kSlotCount; ++k) names.push_back("port" + std::to_string(k));
  flashpost::testing::FakeSerialSystem serial(names);
  PortBoard board(clock, serial);
  for (int k = 0; k < kSlotCount; ++k) {
    Require(flashpost::serial::OpenPort(board, names[k], "115200", k) == 1, "fake port refused");
    board.ProtocolMode[k].store(1);
  }
  board.EphemerisMode[kModule].store(1);
  const std::vector<int64_t> slot_values = SlotValues(board);
  size_t module_writes = 0;

  size_t pos = 0;
  while (pos < size) {
    const uint8_t control = data[pos++];
    uint8_t id = (control & 3) == 0 ? 141 : (control & 3) == 1 ? 121 : 0;
    if ((control & 3) >= 2 && pos < size) id = data[pos++];
    uint16_t length = 0;
    if (pos < size) length = data[pos++];
    if (pos < size) length = static_cast<uint16_t>(length | data[pos++] << 8);
    const size_t taken = std::min({size_t{length}, size - pos, kReaderBuffer - 8});

    std::vector<uint8_t> frame((control & 4) ? 8 + taken : kReaderBuffer, 0);
    frame[0] = 0x81;
    frame[1] = 0xFF;
    frame[2] = id;
    frame[4] = static_cast<uint8_t>(length);
    frame[5] = static_cast<uint8_t>(length >> 8);
    std::copy(data + pos, data + pos + taken, frame.begin() + 8);
    pos += taken;
    if (control & 8) board.EphemerisSentCount[kModule].store(0);

    const auto before = board.Reference.ReadEphemerides([](const auto& e) { return e; });
    const int32_t fix_before = board.FixType[kTerminalSlot].load();
    flashpost::protocol::HandleReferenceMessage(board, frame);
    const auto after = board.Reference.ReadEphemerides([](const auto& e) { return e; });

    RequireConsistent(after);
    const uint8_t satellite = PayloadByte(frame, 8);
    if (id == 141 && satellite >= 1 && satellite <= 32) {
      for (size_t i = 0; i < 8; ++i) {
        Require(after.EphemerisHeader[i] == PayloadByte(frame, i), "header not taken");
      }
      for (int k = 0; k < 32; ++k) {
        if (k == satellite - 1) {
          for (size_t i = 0; i < ReferenceData::kRecordSize; ++i) {
            Require(after.EphemerisTable[k][i] == PayloadByte(frame, 8 + i), "record not taken");
          }
        } else {
          Require(after.EphemerisTable[k] == before.EphemerisTable[k], "another record changed");
        }
      }
    } else {
      Require(after.EphemerisHeader == before.EphemerisHeader, "header changed");
      Require(after.EphemerisTable == before.EphemerisTable, "table changed");
    }
    const int32_t fix = board.FixType[kTerminalSlot].load();
    if (id == 121) {
      Require(fix == PayloadByte(frame, 5) >> 5, "fix type not taken");
    } else {
      Require(fix == fix_before, "fix type changed");
    }
    Require(SlotValues(board) == slot_values, "another slot's state changed");
    for (int k = 0; k < kSlotCount; ++k) {
      if (k != kModule) Require(serial.Log(names[k])->Writes().empty(), "a frame was answered");
    }

    flashpost::protocol::SendNextEphemeris(board, kModule);
    const auto writes = serial.Log(names[kModule])->Writes();
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
      Require(static_cast<uint8_t>(sent[8 + i]) == after.EphemerisHeader[i], "a stale header");
    }
    for (size_t i = 0; i < ReferenceData::kRecordSize; ++i) {
      Require(static_cast<uint8_t>(sent[16 + i]) == after.EphemerisTable[sent_satellite - 1][i],
              "another record sent");
    }
  }
  return 0;
}
