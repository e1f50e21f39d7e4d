#include "payloads/payloads.h"

#include <array>
#include <cstdio>

// The payload files are placed in read-only data by the assembler, byte for byte, without going
// through a generated source file of half a million literals.
#define FP_STRINGIFY2(x) #x
#define FP_STRINGIFY(x) FP_STRINGIFY2(x)
// COFF has no .previous: the assembler is sent back to .text, where a file's top-level
// statements begin.
#if defined(_WIN32)
#define FP_RODATA ".section .rdata,\"dr\"\n"
#define FP_RODATA_END ".text\n"
#else
#define FP_RODATA ".section .rodata\n"
#define FP_RODATA_END ".previous\n"
#endif
#define FP_EMBED(symbol, path)                                                       \
  __asm__(FP_RODATA ".global " #symbol "\n.balign 16\n" #symbol ":\n.incbin \"" path \
                    "\"\n" FP_RODATA_END)

FP_EMBED(flashpost_image_p1, FP_STRINGIFY(FLASHPOST_IMAGE_P1));
FP_EMBED(flashpost_image_p2, FP_STRINGIFY(FLASHPOST_IMAGE_P2));
FP_EMBED(flashpost_loader1, FP_STRINGIFY(FLASHPOST_LOADER1));
FP_EMBED(flashpost_loader2, FP_STRINGIFY(FLASHPOST_LOADER2));

extern "C" const uint8_t flashpost_image_p1[];
extern "C" const uint8_t flashpost_image_p2[];
extern "C" const uint8_t flashpost_loader1[];
extern "C" const uint8_t flashpost_loader2[];

namespace flashpost::payloads {

std::span<const uint8_t> ImageP1() { return {flashpost_image_p1, kImageSize}; }
std::span<const uint8_t> ImageP2() { return {flashpost_image_p2, kImageSize}; }
std::span<const uint8_t> LoaderImage1() { return {flashpost_loader1, kLoader1Size}; }
std::span<const uint8_t> LoaderImage2() { return {flashpost_loader2, kLoader2Size}; }

bool AreStandIns() { return FLASHPOST_STANDIN_PAYLOADS != 0; }

uint32_t Crc32(std::span<const uint8_t> bytes) {
  uint32_t crc = 0xFFFFFFFFu;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return ~crc;
}

namespace {

struct Entry {
  const char* name;
  std::span<const uint8_t> bytes;
};

std::array<Entry, 4> Entries() {
  return {{{"ImageP1", ImageP1()},
           {"ImageP2", ImageP2()},
           {"LoaderImage1", LoaderImage1()},
           {"LoaderImage2", LoaderImage2()}}};
}

}  // namespace

std::optional<uint32_t> CrcOf(std::string_view name) {
  // Half a megabyte each: summed once, when the first record asks.
  static const std::array<uint32_t, 4> crcs = [] {
    std::array<uint32_t, 4> c{};
    for (size_t i = 0; i < c.size(); ++i) c[i] = Crc32(Entries()[i].bytes);
    return c;
  }();
  const auto entries = Entries();
  for (size_t i = 0; i < entries.size(); ++i) {
    if (name == entries[i].name) return crcs[i];
  }
  return std::nullopt;
}

std::string Describe() {
  std::string out;
  if (AreStandIns()) {
    out += "payloads: stand-ins (for the simulated module only, not real firmware)\n";
  } else {
    out += "payloads: real firmware\n";
  }
  for (const Entry& e : Entries()) {
    char line[96];
    std::snprintf(line, sizeof line, "  %-12s %6zu bytes  CRC-32 %08X\n", e.name, e.bytes.size(),
                  *CrcOf(e.name));
    out += line;
  }
  return out;
}

}  // namespace flashpost::payloads
