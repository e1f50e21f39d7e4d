#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "board/port_board.h"

namespace flashpost::protocol {

// A VBI frame: 0x81, 0xFF, message identifier, sub-ID, payload length and checksum (both 16 bits,
// least significant byte first), then the payload. No end marker.
inline constexpr uint8_t kVbiStartByte = 0x81;
inline constexpr uint8_t kVbiSecondByte = 0xFF;
inline constexpr size_t kVbiHeaderSize = 8;

// Message identifiers.
inline constexpr uint8_t kVbiTestStart = 2;          // to a module: start a C/N0 test
inline constexpr uint8_t kVbiSwitchToNmea = 11;      // to a receiver: go back to NMEA
inline constexpr uint8_t kVbiRequest = 14;           // to the reference: send these reports
inline constexpr uint8_t kVbiPvtAiding = 21;         // to a module: time and position
inline constexpr uint8_t kVbiEphemeris = 41;         // to a module: one ephemeris record
inline constexpr uint8_t kVbiVersionReport = 100;    // from a module
inline constexpr uint8_t kVbiTestStepReport = 101;   // from a module
inline constexpr uint8_t kVbiCalibrationData = 109;  // from a module
inline constexpr uint8_t kVbiNavigationStatus = 120;
inline constexpr uint8_t kVbiNavigationReport = 121;
inline constexpr uint8_t kVbiEphemerisReport = 141;  // from the reference receiver
inline constexpr uint8_t kVbiAcknowledge = 200;      // sub-ID: the identifier acknowledged
inline constexpr uint8_t kVbiRefuse = 255;           // sub-ID: the identifier refused

inline constexpr uint8_t kPvtAidingSubId = 0x70;
inline constexpr uint16_t kTestStartPayloadLength = 6;
inline constexpr uint16_t kRequestPayloadLength = 3;
inline constexpr uint16_t kPvtAidingPayloadLength = 59;
// The ephemeris message carries the reference's report unchanged: its header, then the record.
inline constexpr uint16_t kEphemerisPayloadLength =
    app::ReferenceData::kHeaderSize + app::ReferenceData::kRecordSize;

// Two's complement, in 16 bits, of the sum of frame bytes 2..5 and the payload_length payload
// bytes, so that sum plus checksum is 0 modulo 2^16. Bytes the frame does not hold count as 0.
uint16_t VbiChecksum(std::span<const uint8_t> frame, uint16_t payload_length);

// A frame to send, built in place: header filled in at construction, payload zeroed; Seal() puts
// the checksum in once the payload is written.
template <uint16_t PayloadLength>
class VbiFrame {
 public:
  VbiFrame(uint8_t message_id, uint8_t sub_id) {
    bytes_[0] = kVbiStartByte;
    bytes_[1] = kVbiSecondByte;
    bytes_[2] = message_id;
    bytes_[3] = sub_id;
    bytes_[4] = static_cast<uint8_t>(PayloadLength & 0xFF);
    bytes_[5] = static_cast<uint8_t>(PayloadLength >> 8);
  }
  uint8_t* Payload() { return bytes_.data() + kVbiHeaderSize; }
  void Seal() {
    const uint16_t sum = VbiChecksum(bytes_, PayloadLength);
    bytes_[6] = static_cast<uint8_t>(sum & 0xFF);
    bytes_[7] = static_cast<uint8_t>(sum >> 8);
  }
  const std::array<uint8_t, kVbiHeaderSize + PayloadLength>& Bytes() const { return bytes_; }

 private:
  std::array<uint8_t, kVbiHeaderSize + PayloadLength> bytes_{};
};

// Reading a received frame. The readers hand over their whole frame buffer (the frame from offset
// 0, zeros behind it); fields beyond the frame's payload length or beyond the buffer read as 0.
uint8_t VbiMessageId(std::span<const uint8_t> frame);
uint8_t VbiSubId(std::span<const uint8_t> frame);
uint16_t VbiPayloadLength(std::span<const uint8_t> frame);
uint8_t VbiPayloadByte(std::span<const uint8_t> frame, size_t index);

// Starts a C/N0 test: message 2 to a port in VBI mode, the sentence "PQRV02,5C" otherwise.
void SendTestStartCommand(app::PortBoard& board, int slot);

// Message 21 from the latest reference time and position, to a slot in VBI mode only; arms the
// slot's PendingResend with 21 and the tick of the send.
void SendPvtAiding(app::PortBoard& board, int slot);

// Message 41 with the latest ephemeris header and the record of satellite_number (1..32; nothing
// is sent for another number), in either protocol mode; arms PendingResend with 41.
void SendEphemerisRecord(app::PortBoard& board, int satellite_number, int slot);

// Sends the slot its next stored ephemeris record. The scan starts at the index equal to the
// slot's EphemerisSentCount, which each send advances; in EphemerisMode 0 only while that count
// is still 0, in mode 1 always, in any other mode never.
void SendNextEphemeris(app::PortBoard& board, int slot);

// Asks the reference receiver on the terminal port for its ephemeris reports (message 14 naming
// message 141); nothing while the terminal port is in NMEA mode.
void RequestReferenceEphemeris(app::PortBoard& board);

// A complete frame from the terminal port's reader: ephemeris reports and navigation reports
// are kept, everything else is ignored. Incoming checksums are not verified.
void HandleReferenceMessage(app::PortBoard& board, std::span<const uint8_t> frame);

// Message 141: keeps its header and its satellite's record. A report naming no satellite of the
// table (0, or above 32) is dropped whole.
void StoreReferenceEphemeris(app::PortBoard& board, std::span<const uint8_t> frame);

// Message 121: the terminal slot's fix type, and the time and position unless a PVT aiding
// message is being built from them at that moment.
void StoreReferenceNavigation(app::PortBoard& board, std::span<const uint8_t> frame);

}  // namespace flashpost::protocol
