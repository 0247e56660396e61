#include "common/config/notations/scanner.hpp"

#include <fmt/format.h>

#include <charconv>

#include "common/config/value.hpp"

namespace vintra::config::text {

std::string Scanner::here() const {
  if (eof()) return "end of input";
  std::size_t len = 0;
  char32_t cp = code_point(&len);
  if (cp < 0x20 || cp == 0x7f) return fmt::format("character U+{:04X}", static_cast<std::uint32_t>(cp));
  return fmt::format("'{}'", s_.substr(pos_, len));
}

std::optional<std::uint32_t> Scanner::hex_digits(std::size_t count) {
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < count; ++i) {
    int d = hex_value(peek(i));
    if (d < 0 || pos_ + i >= s_.size()) return std::nullopt;
    v = v * 16 + static_cast<std::uint32_t>(d);
  }
  pos_ += count;
  return v;
}

std::optional<Value> integer_value(std::string_view digits, int base, bool negative) {
  std::uint64_t magnitude = 0;
  auto res = std::from_chars(digits.data(), digits.data() + digits.size(), magnitude, base);
  if (digits.empty() || res.ec != std::errc() || res.ptr != digits.data() + digits.size()) return std::nullopt;
  if (negative) {
    constexpr std::uint64_t kLimit = std::uint64_t{1} << 63;
    if (magnitude > kLimit) return std::nullopt;
    if (magnitude == kLimit) return Value(INT64_MIN);
    return Value(-static_cast<std::int64_t>(magnitude));
  }
  if (magnitude <= static_cast<std::uint64_t>(INT64_MAX)) return Value(static_cast<std::int64_t>(magnitude));
  return Value(magnitude);
}

}  // namespace vintra::config::text
