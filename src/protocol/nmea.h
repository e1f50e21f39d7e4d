#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "board/port_board.h"

namespace flashpost::protocol {

// The proprietary commands the program sends, as bodies without "$", checksum and CR LF. Every
// one of them is framed by FrameProprietarySentence and goes out in one write.
inline constexpr std::string_view kProbeBody = "PQRV14,8";       // asks the module its version
inline constexpr std::string_view kTestStartBody = "PQRV02,5C";  // starts a C/N0 test
inline constexpr std::string_view kCustomerIdBodyPrefix = "PQRV29,";
// The terminal's switch from NMEA to VBI: the first body, then 500 ms later the second.
inline constexpr std::string_view kSwitchToVbiBody1 = "PQRV11,1,1,1,2,0";
inline constexpr std::string_view kSwitchToVbiBody2 = "PQRV11,1,0,1,2,0";
inline constexpr std::string_view kFwApBody = "PQRV11,1,0,6,2,0";  // enters the update mode

// GSV fields are only read below this index; a longer sentence is read as if it ended here.
inline constexpr size_t kGsvReadLimit = 100;
inline constexpr size_t kVersionFieldMaxLength = 9;
inline constexpr size_t kCustomerIdReplyMaxLength = 32;

struct NmeaChecksumValue {
  char text[3];  // two upper-case hexadecimal digits and a terminator
  uint8_t value;
};

// XOR of the characters from index 1 up to the first "*" (to the end when there is none).
NmeaChecksumValue NmeaChecksum(std::string_view sentence);

// True when the two characters behind the first "*" give the XOR checksum. Digits convert the
// way the module's reader has always converted them: a character at or above ':' counts its code
// minus 0x37, any other its code minus 0x30, and 16 * first + second is taken modulo 256. So
// "A3" and "a3" both pass where "3A" passes and "3a" does not. False without a "*" or with fewer
// than two characters behind it.
bool VerifyNmeaChecksum(std::string_view sentence);

// Converts a received text field: an optional sign and decimal digits, nothing else, within
// 32 bits; 0 for any other text (empty, blanks, letters, a trailing CR).
int32_t NmeaFieldToInt(std::string_view field);

// "$", the body, "*", two upper-case hexadecimal digits of the XOR of the body, CR, LF.
std::string FrameProprietarySentence(std::string_view body);

// Frames the body and writes the whole sentence to the slot's port in one write. False when the
// slot has no open port or the write failed.
bool SendProprietarySentence(app::PortBoard& board, int slot, std::string_view body);

// Writes "PQRV29," and the customer ID text (the page's Edit9) to a module in NMEA mode; a module
// in VBI mode has no such command and gets nothing.
void SendCustomerId(app::PortBoard& board, int slot, std::string_view customer_id_text);

// A complete sentence from a module slot's reader (slots 0..7; others are ignored): starts with
// "$", line feed removed, a carriage return kept. The reader's buffer is zero-terminated text, so
// a NUL byte ends the sentence. Takes the version report (and closes the slot's port after it
// when the port is being read), the customer ID reply, the 200 reply and the GSV sentences.
void HandleSlotSentence(app::PortBoard& board, std::string_view sentence, int slot);

// A complete sentence from the terminal port's reader, taken for the terminal slot: GSV of the
// reference receiver and the fix type of its GSA.
void HandleTerminalSentence(app::PortBoard& board, std::string_view sentence);

// Reads the comma-separated fields of a version report from index start: passes over fields 1
// and 2, stores fields 3 and 4 (cut to 9 characters) in VersionField3 and VersionField4.
void ParseVersionReply(app::PortBoard& board, std::string_view sentence, size_t start, int slot);

// Takes one GSV sentence into the slot's SatPrn, SatSnr and GsvComplete. The checksum must have
// been checked by the caller.
void ParseGsv(app::PortBoard& board, std::string_view sentence, int slot);

}  // namespace flashpost::protocol
