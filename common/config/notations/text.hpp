// Small text helpers shared by the notation readers (internal to the config module).
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace vintra::config::text {

// Offset of the first byte that does not start a well-formed UTF-8 sequence
// (overlong forms, surrogates and code points above U+10FFFF are malformed), or npos.
std::size_t find_invalid_utf8(std::string_view s);

// Appends the UTF-8 form of a Unicode scalar value (cp must not be a surrogate).
void append_utf8(std::string& out, char32_t cp);

// Decodes the UTF-8 sequence at s[pos] (which must be valid) and returns its length.
std::size_t decode_utf8(std::string_view s, std::size_t pos, char32_t& cp);

struct Position {
  std::size_t line;    // 1-based
  std::size_t column;  // 1-based, in characters
};
// The line and column of byte `offset` in `s`; "\n" ends a line.
Position position_of(std::string_view s, std::size_t offset);

// "line L, column C: message".
Error syntax_error(Position at, std::string_view message);
Error syntax_error(std::string_view s, std::size_t offset, std::string_view message);

// "line L: message", for parsers that only know the line.
Error line_error(std::size_t line, std::string_view message);

// Fails with the position of the first malformed UTF-8 byte, if any.
Status check_utf8(std::string_view s);

}  // namespace vintra::config::text
