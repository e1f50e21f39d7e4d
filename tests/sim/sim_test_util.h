#pragma once

// Checks on what the simulated module sends, written apart from the module's own code so that a
// mistake there is not repeated here.

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

namespace flashpost::sim::testing {

// "$" body "*" HH, with HH the upper-case hexadecimal XOR of the body.
inline bool ChecksumOk(const std::string& sentence) {
  size_t star = sentence.find('*');
  if (sentence.empty() || sentence[0] != '$' || star == std::string::npos ||
      star + 3 != sentence.size())
    return false;
  unsigned x = 0;
  for (size_t i = 1; i < star; ++i) x ^= static_cast<unsigned char>(sentence[i]);
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", x);
  return sentence.compare(star + 1, 2, hex) == 0;
}

// The sentences in a stretch of output: every "$" up to the next CR LF, without the CR LF.
// Bytes outside sentences are skipped; a sentence cut off by another "$" is dropped.
inline std::vector<std::string> Sentences(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while ((pos = text.find('$', pos)) != std::string::npos) {
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) break;
    size_t next = text.find('$', pos + 1);
    if (next != std::string::npos && next < end) {
      pos = next;
      continue;
    }
    out.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return out;
}

// The comma-separated fields of a sentence after its address, up to the "*".
inline std::vector<std::string> Fields(const std::string& sentence) {
  std::vector<std::string> fields;
  std::string body = sentence.substr(0, sentence.find('*'));
  size_t start = body.find(',');
  while (start != std::string::npos) {
    size_t end = body.find(',', start + 1);
    fields.push_back(body.substr(start + 1, end == std::string::npos ? end : end - start - 1));
    start = end;
  }
  return fields;
}

inline bool StartsWith(const std::string& s, const std::string& prefix) {
  return s.rfind(prefix, 0) == 0;
}

// "$" body "*" HH CR LF, as the program frames a command.
inline std::string Sentence(const std::string& body) {
  unsigned x = 0;
  for (char c : body) x ^= static_cast<unsigned char>(c);
  char hex[3];
  std::snprintf(hex, sizeof hex, "%02X", x);
  return "$" + body + "*" + hex + "\r\n";
}

// One satellite as a GSV sentence lists it.
struct GsvSatellite {
  int prn;
  std::string cn0;  // empty when not tracked
};

// The satellites of the "$GPGSV" sentences in `text`, in order.
inline std::vector<GsvSatellite> GsvSatellites(const std::string& text) {
  std::vector<GsvSatellite> sats;
  for (const std::string& s : Sentences(text)) {
    if (!StartsWith(s, "$GPGSV,")) continue;
    auto f = Fields(s);
    for (size_t i = 3; i + 3 < f.size(); i += 4) sats.push_back({std::stoi(f[i]), f[i + 3]});
  }
  return sats;
}

// The C/N0 of the strongest satellite among `sats`, 0 when none is tracked.
inline int StrongestCn0(const std::vector<GsvSatellite>& sats) {
  int best = 0;
  for (const auto& s : sats) best = std::max(best, s.cn0.empty() ? 0 : std::stoi(s.cn0));
  return best;
}

// The probe the program sends: "$PQRV14,8", checksum, CR LF.
inline std::string Probe() { return "$PQRV14,8*14\r\n"; }

// The command that sends a running module into its update mode.
inline std::string UpdateCommand() { return "$PQRV11,1,0,6,2,0*1C\r\n"; }

// The boot kernel's entry sequence in one piece: seven ESC, eight '1'.
inline std::string KernelEntry() { return std::string(7, '\x1B') + "11111111"; }

// XMODEM packet `block` (from 1) of `payload` cut into `size`-byte blocks, as a sender builds it:
// SOH for 128-byte blocks, STX for 1024, the block number modulo 256 and its complement, the
// data filled up with 0x1A, their sum modulo 256, and EOT after the payload's last block.
inline std::string Packet(std::span<const uint8_t> payload, size_t size, uint32_t block) {
  std::string p = {size == 1024 ? '\x02' : '\x01', static_cast<char>(block),
                   static_cast<char>(255 - block % 256)};
  unsigned sum = 0;
  for (size_t i = (block - 1) * size; i < block * size; ++i) {
    uint8_t b = i < payload.size() ? payload[i] : 0x1A;
    p += static_cast<char>(b);
    sum += b;
  }
  p += static_cast<char>(sum);
  if (block * size >= payload.size()) p += '\x04';
  return p;
}

// How many blocks of `size` bytes `payload` takes.
inline uint32_t BlockCount(std::span<const uint8_t> payload, size_t size) {
  return static_cast<uint32_t>((payload.size() + size - 1) / size);
}

}  // namespace flashpost::sim::testing
