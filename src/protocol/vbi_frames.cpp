#include <algorithm>
#include <cstring>

#include "protocol/nmea.h"
#include "protocol/vbi.h"
#include "serial/serial_port.h"

namespace flashpost::protocol {

namespace {

using app::ReferenceData;

// What the module expects in the first payload byte of the PVT aiding message.
constexpr uint8_t kPvtAidingKind = 9;
constexpr size_t kPvtTimeOffset = 1;
constexpr size_t kPvtPositionOffset = kPvtTimeOffset + ReferenceData::kTimeSize;
// Payload of the test start command, as the module's firmware takes it.
constexpr std::array<uint8_t, kTestStartPayloadLength> kTestStartPayload = {0xD8, 0, 0, 0, 0, 0};

uint8_t ByteAt(std::span<const uint8_t> frame, size_t index) {
  return index < frame.size() ? frame[index] : 0;
}

template <uint16_t L>
void Write(app::PortBoard& board, int slot, const VbiFrame<L>& frame) {
  // One write per frame: the worker and the main thread may both write to a port, and a frame
  // written whole cannot have the other's bytes in its middle. The module tells a lost frame by
  // its missing acknowledgement, so the result is not looked at here.
  serial::WritePort(board, slot, frame.Bytes().data(), frame.Bytes().size());
}

}  // namespace

uint16_t VbiChecksum(std::span<const uint8_t> frame, uint16_t payload_length) {
  uint32_t sum = 0;
  for (size_t i = 2; i < kVbiHeaderSize - 2; ++i) sum += ByteAt(frame, i);
  const size_t end = std::min(frame.size(), kVbiHeaderSize + payload_length);
  for (size_t i = kVbiHeaderSize; i < end; ++i) sum += frame[i];
  return static_cast<uint16_t>(0x10000u - (sum & 0xFFFFu));
}

uint8_t VbiMessageId(std::span<const uint8_t> frame) { return ByteAt(frame, 2); }
uint8_t VbiSubId(std::span<const uint8_t> frame) { return ByteAt(frame, 3); }
uint16_t VbiPayloadLength(std::span<const uint8_t> frame) {
  return static_cast<uint16_t>(ByteAt(frame, 4) | ByteAt(frame, 5) << 8);
}
uint8_t VbiPayloadByte(std::span<const uint8_t> frame, size_t index) {
  if (index >= VbiPayloadLength(frame)) return 0;
  return ByteAt(frame, kVbiHeaderSize + index);
}

void SendTestStartCommand(app::PortBoard& board, int slot) {
  if (!app::IsSlot(slot)) return;
  if (board.ProtocolMode[slot].load() != 1) {
    SendProprietarySentence(board, slot, kTestStartBody);
    return;
  }
  VbiFrame<kTestStartPayloadLength> frame(kVbiTestStart, 0);
  std::copy(kTestStartPayload.begin(), kTestStartPayload.end(), frame.Payload());
  frame.Seal();
  Write(board, slot, frame);
}

void SendPvtAiding(app::PortBoard& board, int slot) {
  if (!app::IsSlot(slot) || board.ProtocolMode[slot].load() != 1) return;
  VbiFrame<kPvtAidingPayloadLength> frame(kVbiPvtAiding, kPvtAidingSubId);
  uint8_t* payload = frame.Payload();
  payload[0] = kPvtAidingKind;
  // Held only for the copy: the reader skips a navigation report that comes in meanwhile, so the
  // message carries the time and position of one report.
  board.Reference.ReadAiding([&](const ReferenceData::Aiding& aiding) {
    std::copy(aiding.AidingTime.begin(), aiding.AidingTime.end(), payload + kPvtTimeOffset);
    std::copy(aiding.AidingPosition.begin(), aiding.AidingPosition.end(),
              payload + kPvtPositionOffset);
  });
  frame.Seal();
  Write(board, slot, frame);
  board.PendingResend[slot].Arm(kVbiPvtAiding, board.Clock().Ticks());
}

void SendEphemerisRecord(app::PortBoard& board, int satellite_number, int slot) {
  if (!app::IsSlot(slot) || satellite_number < 1 ||
      satellite_number > ReferenceData::kRecordCount) {
    return;
  }
  VbiFrame<kEphemerisPayloadLength> frame(kVbiEphemeris, 0);
  uint8_t* payload = frame.Payload();
  board.Reference.ReadEphemerides([&](const ReferenceData::Ephemerides& store) {
    const auto& record = store.EphemerisTable[satellite_number - 1];
    std::copy(store.EphemerisHeader.begin(), store.EphemerisHeader.end(), payload);
    std::copy(record.begin(), record.end(), payload + ReferenceData::kHeaderSize);
  });
  frame.Seal();
  Write(board, slot, frame);
  board.PendingResend[slot].Arm(kVbiEphemeris, board.Clock().Ticks());
}

void SendNextEphemeris(app::PortBoard& board, int slot) {
  if (!app::IsSlot(slot)) return;
  const int32_t sent = board.EphemerisSentCount[slot].load();
  const int32_t mode = board.EphemerisMode[slot].load();
  if (sent < 0 || sent >= ReferenceData::kRecordCount) return;
  if (mode != 0 && mode != 1) return;
  // The scan begins at the count of records sent, not behind the record sent last, so a record
  // is sent again as long as the count has not passed its index.
  const int satellite = board.Reference.ReadEphemerides([&](const ReferenceData::Ephemerides& s) {
    for (int k = sent; k < ReferenceData::kRecordCount; ++k) {
      if (s.EphemerisTable[k][0] != 0) return static_cast<int>(s.EphemerisTable[k][0]);
    }
    return 0;
  });
  if (satellite == 0) return;
  if (mode == 0 && sent != 0) return;
  SendEphemerisRecord(board, satellite, slot);
  board.EphemerisSentCount[slot].store(sent + 1);
}

void RequestReferenceEphemeris(app::PortBoard& board) {
  if (board.ProtocolMode[app::kTerminalSlot].load() != 1) return;
  VbiFrame<kRequestPayloadLength> frame(kVbiRequest, 0);
  frame.Payload()[0] = kVbiEphemerisReport;
  frame.Seal();
  Write(board, app::kTerminalSlot, frame);
}

}  // namespace flashpost::protocol
