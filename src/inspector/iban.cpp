#include "src/inspector/iban.hpp"

#include <cstdint>

namespace vintra::inspector {
namespace {

bool is_dropped_space(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\f' || c == '\r';
}

}  // namespace

bool iban_is_valid(std::string_view text) {
  constexpr std::size_t kMin = 15;
  constexpr std::size_t kMax = 34;
  char compact[kMax];
  std::size_t n = 0;
  for (const char raw : text) {
    if (is_dropped_space(raw)) continue;
    if (n == kMax) return false;  // too long already
    char c = raw;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    const bool letter = c >= 'A' && c <= 'Z';
    const bool digit = c >= '0' && c <= '9';
    if (!letter && !digit) return false;  // other scripts' digits, punctuation, any non-ASCII byte
    compact[n++] = c;
  }
  if (n < kMin) return false;
  if (!(compact[0] >= 'A' && compact[0] <= 'Z' && compact[1] >= 'A' && compact[1] <= 'Z')) return false;

  // The country code and check digits go to the end; letters count as 10..35. The
  // remainder is taken digit by digit, which gives the same result as chunks of
  // nine digits.
  std::uint32_t r = 0;
  auto feed = [&r](char c) {
    if (c >= 'A') {
      const unsigned v = static_cast<unsigned>(c - 'A') + 10;
      r = (r * 100 + v) % 97;
    } else {
      r = (r * 10 + static_cast<unsigned>(c - '0')) % 97;
    }
  };
  for (std::size_t i = 4; i < n; ++i) feed(compact[i]);
  for (std::size_t i = 0; i < 4; ++i) feed(compact[i]);
  return r == 1;
}

}  // namespace vintra::inspector
