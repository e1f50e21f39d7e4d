#include <algorithm>

#include "protocol/vbi.h"

namespace flashpost::protocol {

namespace {

using app::ReferenceData;

// Message 141: the header, then the record, which begins with its satellite number.
constexpr size_t kEphemerisRecordOffset = ReferenceData::kHeaderSize;
// Message 121: the fix type in the top three bits of one byte, then time and position.
constexpr size_t kFixTypeOffset = 5;
constexpr int kFixTypeShift = 5;
constexpr size_t kNavigationTimeOffset = 8;
constexpr size_t kNavigationPositionOffset = 18;

template <size_t N>
void CopyPayload(std::span<const uint8_t> frame, size_t offset, std::array<uint8_t, N>& to) {
  for (size_t i = 0; i < N; ++i) to[i] = VbiPayloadByte(frame, offset + i);
}

}  // namespace

void HandleReferenceMessage(app::PortBoard& board, std::span<const uint8_t> frame) {
  switch (VbiMessageId(frame)) {
    case kVbiEphemerisReport:
      StoreReferenceEphemeris(board, frame);
      break;
    case kVbiNavigationReport:
      StoreReferenceNavigation(board, frame);
      break;
    default:
      break;
  }
}

void StoreReferenceEphemeris(app::PortBoard& board, std::span<const uint8_t> frame) {
  const int satellite = VbiPayloadByte(frame, kEphemerisRecordOffset);
  // The table has no record for such a number; the report is dropped, header and all.
  if (satellite < 1 || satellite > ReferenceData::kRecordCount) return;
  ReferenceData::Record record;
  CopyPayload(frame, kEphemerisRecordOffset, record);
  std::array<uint8_t, ReferenceData::kHeaderSize> header;
  CopyPayload(frame, 0, header);
  board.Reference.WithEphemerides([&](ReferenceData::Ephemerides& store) {
    store.EphemerisHeader = header;
    store.EphemerisTable[satellite - 1] = record;
  });
}

void StoreReferenceNavigation(app::PortBoard& board, std::span<const uint8_t> frame) {
  board.FixType[app::kTerminalSlot].store(VbiPayloadByte(frame, kFixTypeOffset) >> kFixTypeShift);
  ReferenceData::Aiding latest;
  CopyPayload(frame, kNavigationTimeOffset, latest.AidingTime);
  CopyPayload(frame, kNavigationPositionOffset, latest.AidingPosition);
  // Skipped while a PVT aiding message is being built; the receiver's next report brings them
  // again.
  board.Reference.TryWriteAiding([&](ReferenceData::Aiding& aiding) { aiding = latest; });
}

}  // namespace flashpost::protocol
