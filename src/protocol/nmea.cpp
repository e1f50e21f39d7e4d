#include "protocol/nmea.h"

#include <charconv>
#include <system_error>

#include "serial/serial_port.h"

namespace flashpost::protocol {

namespace {

constexpr char kHexDigits[] = "0123456789ABCDEF";

uint8_t XorOf(std::string_view text) {
  uint8_t sum = 0;
  for (char c : text) sum ^= static_cast<uint8_t>(c);
  return sum;
}

// The module's reader converts a checksum character without checking that it is a hexadecimal
// digit; what it computes for any other character is what decides whether a sentence passes.
int ReceivedDigit(char c) {
  int code = static_cast<uint8_t>(c);
  return code >= ':' ? code - 0x37 : code - 0x30;
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

NmeaChecksumValue NmeaChecksum(std::string_view sentence) {
  std::string_view covered = sentence.empty() ? sentence : sentence.substr(1);
  covered = covered.substr(0, covered.find('*'));
  uint8_t sum = XorOf(covered);
  return {{kHexDigits[sum >> 4], kHexDigits[sum & 0x0F], '\0'}, sum};
}

bool VerifyNmeaChecksum(std::string_view sentence) {
  size_t star = sentence.find('*');
  if (star == std::string_view::npos || star == 0 || sentence.size() - star < 3) return false;
  auto received = static_cast<uint8_t>(16 * ReceivedDigit(sentence[star + 1]) +
                                       ReceivedDigit(sentence[star + 2]));
  return received == XorOf(sentence.substr(1, star - 1));
}

int32_t NmeaFieldToInt(std::string_view field) {
  std::string_view digits = field;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
    digits.remove_prefix(1);
  }
  if (digits.empty()) return 0;
  for (char c : digits) {
    if (!IsDigit(c)) return 0;
  }
  // from_chars takes a minus sign but no plus sign.
  std::string_view number = field.front() == '+' ? digits : field;
  int32_t value = 0;
  auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (error != std::errc() || end != number.data() + number.size()) return 0;
  return value;
}

std::string FrameProprietarySentence(std::string_view body) {
  uint8_t sum = XorOf(body);
  std::string sentence;
  sentence.reserve(body.size() + 6);
  sentence += '$';
  sentence += body;
  sentence += '*';
  sentence += kHexDigits[sum >> 4];
  sentence += kHexDigits[sum & 0x0F];
  sentence += "\r\n";
  return sentence;
}

bool SendProprietarySentence(app::PortBoard& board, int slot, std::string_view body) {
  // One write: the worker and the main thread may both write to a port, and a sentence written
  // whole cannot have the other's bytes in its middle.
  return serial::WritePort(board, slot, FrameProprietarySentence(body));
}

void SendCustomerId(app::PortBoard& board, int slot, std::string_view customer_id_text) {
  if (!app::IsSlot(slot) || board.ProtocolMode[slot].load() != 0) return;
  std::string body(kCustomerIdBodyPrefix);
  body += customer_id_text;
  SendProprietarySentence(board, slot, body);
}

}  // namespace flashpost::protocol
