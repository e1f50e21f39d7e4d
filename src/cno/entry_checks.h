#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace flashpost::cno {

// A whole number as the operator types it into a settings box: an optional minus sign and
// decimal digits, within 32 bits, nothing else (no blanks, no plus sign). Nothing otherwise.
std::optional<int32_t> ParseWholeNumber(std::string_view text);

// True when the text can travel as the field of a proprietary sentence: printable ASCII only,
// without "$" (which would start a new sentence) or "*" (which would end this one early).
bool IsSendableCustomerId(std::string_view text);

}  // namespace flashpost::cno
