#include "cno/entry_checks.h"

#include <charconv>

namespace flashpost::cno {

std::optional<int32_t> ParseWholeNumber(std::string_view text) {
  if (text.empty()) return std::nullopt;
  int32_t value = 0;
  const char* last = text.data() + text.size();
  auto [end, error] = std::from_chars(text.data(), last, value);
  if (error != std::errc() || end != last) return std::nullopt;
  return value;
}

bool IsSendableCustomerId(std::string_view text) {
  for (char c : text) {
    const auto code = static_cast<unsigned char>(c);
    if (code < 0x20 || code > 0x7E || c == '$' || c == '*') return false;
  }
  return true;
}

}  // namespace flashpost::cno
