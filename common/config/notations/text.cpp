#include "common/config/notations/text.hpp"

#include <fmt/format.h>

namespace vintra::config::text {

namespace {
// Length of the well-formed sequence at s[pos], or 0.
std::size_t sequence_length(std::string_view s, std::size_t pos) {
  auto at = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char b0 = at(pos);
  if (b0 < 0x80) return 1;
  std::size_t rest = s.size() - pos;
  auto cont = [&](std::size_t i) { return (at(pos + i) & 0xC0) == 0x80; };
  if (b0 >= 0xC2 && b0 <= 0xDF) return rest >= 2 && cont(1) ? 2 : 0;
  if (b0 >= 0xE0 && b0 <= 0xEF) {
    if (rest < 3 || !cont(1) || !cont(2)) return 0;
    unsigned char b1 = at(pos + 1);
    if (b0 == 0xE0 && b1 < 0xA0) return 0;   // overlong
    if (b0 == 0xED && b1 >= 0xA0) return 0;  // surrogate
    return 3;
  }
  if (b0 >= 0xF0 && b0 <= 0xF4) {
    if (rest < 4 || !cont(1) || !cont(2) || !cont(3)) return 0;
    unsigned char b1 = at(pos + 1);
    if (b0 == 0xF0 && b1 < 0x90) return 0;  // overlong
    if (b0 == 0xF4 && b1 >= 0x90) return 0;  // above U+10FFFF
    return 4;
  }
  return 0;
}
}  // namespace

std::size_t find_invalid_utf8(std::string_view s) {
  std::size_t pos = 0;
  while (pos < s.size()) {
    std::size_t n = sequence_length(s, pos);
    if (n == 0) return pos;
    pos += n;
  }
  return std::string_view::npos;
}

void append_utf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

std::size_t decode_utf8(std::string_view s, std::size_t pos, char32_t& cp) {
  auto b = [&](std::size_t i) { return static_cast<char32_t>(static_cast<unsigned char>(s[pos + i])); };
  char32_t b0 = b(0);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  if (b0 < 0xE0) {
    cp = ((b0 & 0x1F) << 6) | (b(1) & 0x3F);
    return 2;
  }
  if (b0 < 0xF0) {
    cp = ((b0 & 0x0F) << 12) | ((b(1) & 0x3F) << 6) | (b(2) & 0x3F);
    return 3;
  }
  cp = ((b0 & 0x07) << 18) | ((b(1) & 0x3F) << 12) | ((b(2) & 0x3F) << 6) | (b(3) & 0x3F);
  return 4;
}

Position position_of(std::string_view s, std::size_t offset) {
  if (offset > s.size()) offset = s.size();
  Position p{1, 1};
  for (std::size_t i = 0; i < offset; ++i) {
    auto c = static_cast<unsigned char>(s[i]);
    if (c == '\n') {
      ++p.line;
      p.column = 1;
    } else if ((c & 0xC0) != 0x80) {
      ++p.column;  // continuation bytes belong to the character before them
    }
  }
  return p;
}

Error syntax_error(Position at, std::string_view message) {
  return Error(fmt::format("line {}, column {}: {}", at.line, at.column, message));
}

Error syntax_error(std::string_view s, std::size_t offset, std::string_view message) {
  return syntax_error(position_of(s, offset), message);
}

Error line_error(std::size_t line, std::string_view message) {
  return Error(fmt::format("line {}: {}", line, message));
}

Status check_utf8(std::string_view s) {
  std::size_t bad = find_invalid_utf8(s);
  if (bad == std::string_view::npos) return ok();
  return syntax_error(s, bad, "invalid UTF-8");
}

}  // namespace vintra::config::text
