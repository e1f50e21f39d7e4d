#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace flashpost::payloads {

inline constexpr size_t kImageSize = 491516;
inline constexpr size_t kLoader1Size = 2720;
inline constexpr size_t kLoader2Size = 3576;

// The four device payloads built into the program: firmware images for the two chip
// generations, and the boot loaders for the two baseband chips. Read-only, shared by all slots.
std::span<const uint8_t> ImageP1();
std::span<const uint8_t> ImageP2();
std::span<const uint8_t> LoaderImage1();
std::span<const uint8_t> LoaderImage2();

// True when the build carries stand-in payloads (for the simulator only), not real firmware.
bool AreStandIns();

// CRC-32 (IEEE 802.3) of the bytes, as the usual file tools print it.
uint32_t Crc32(std::span<const uint8_t> bytes);

// The CRC-32 of the payload of that name ("ImageP1", "ImageP2", "LoaderImage1",
// "LoaderImage2"), worked out once; nothing for another name.
std::optional<uint32_t> CrcOf(std::string_view name);

// One line per payload: its name, size and CRC-32; for stand-ins a line saying so.
std::string Describe();

}  // namespace flashpost::payloads
