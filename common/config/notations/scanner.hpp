// The cursor the hand-written readers (RON, JSON5) share: a position in UTF-8 text
// (checked to be well-formed before scanning starts) and errors that name the line and
// column of a byte offset.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/config/notations/text.hpp"
#include "common/config/value.hpp"
#include "common/error.hpp"

namespace vintra::config::text {

class Scanner {
 public:
  // Deeper nesting is refused, so the recursive readers cannot exhaust the stack.
  static constexpr int kMaxDepth = 128;

  explicit Scanner(std::string_view s) : s_(s) {}

 protected:
  bool eof() const { return pos_ >= s_.size(); }
  char peek(std::size_t ahead = 0) const { return pos_ + ahead < s_.size() ? s_[pos_ + ahead] : '\0'; }
  bool at(std::string_view word) const { return s_.substr(pos_, word.size()) == word; }
  bool take(char c) {
    if (peek() != c || eof()) return false;
    ++pos_;
    return true;
  }
  // The code point at the cursor (eof() must be false) and its length in bytes.
  char32_t code_point(std::size_t* len = nullptr) const {
    char32_t cp = 0;
    std::size_t n = decode_utf8(s_, pos_, cp);
    if (len != nullptr) *len = n;
    return cp;
  }
  Error error_at(std::size_t offset, std::string_view message) const {
    return syntax_error(s_, offset, message);
  }
  Error error(std::string_view message) const { return error_at(pos_, message); }
  // How the character at the cursor is named in error texts.
  std::string here() const;

  // Reads exactly `count` hexadecimal digits; nothing on a short or bad sequence.
  std::optional<std::uint32_t> hex_digits(std::size_t count);

  std::string_view s_;
  std::size_t pos_ = 0;
  int depth_ = 0;
};

inline bool is_ascii_digit(char c) { return c >= '0' && c <= '9'; }
inline bool is_ascii_alpha(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
inline int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Turns the digits of an integer literal (separators removed) into int or uint; a
// negative magnitude beyond int64 or any magnitude beyond uint64 gives nothing.
std::optional<Value> integer_value(std::string_view digits, int base, bool negative);

}  // namespace vintra::config::text
