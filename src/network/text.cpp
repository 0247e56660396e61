#include "src/network/text.hpp"

#include <cstdint>

namespace vintra::network::text {
namespace {

// The Unicode White_Space property: 25 code points, stable since Unicode 6.3.
bool is_white_space(char32_t c) {
  if (c <= 0x7F) return c == 0x20 || (c >= 0x09 && c <= 0x0D);
  switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
      return true;
    default:
      return c >= 0x2000 && c <= 0x200A;
  }
}

// Decodes the code point starting at `s[i]`; 0 bytes when it is not well-formed.
// Only the white-space code points matter here (all at most three bytes long), so
// four-byte sequences are measured but never reported as white space.
std::size_t decode(std::string_view s, std::size_t i, char32_t& out) {
  auto b = [&](std::size_t k) { return static_cast<std::uint8_t>(s[k]); };
  std::uint8_t lead = b(i);
  if (lead < 0x80) {
    out = lead;
    return 1;
  }
  std::size_t len = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (len == 0 || lead > 0xF4 || i + len > s.size()) return 0;
  char32_t cp = lead & (0x7F >> len);
  for (std::size_t k = 1; k < len; ++k) {
    if ((b(i + k) & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b(i + k) & 0x3F);
  }
  if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000)) return 0;  // overlong
  out = cp;
  return len;
}

}  // namespace

std::string_view trim_end(std::string_view s) {
  while (!s.empty()) {
    // Step back to the lead byte of the last character (at most three bytes).
    std::size_t start = s.size() - 1;
    while (start > 0 && s.size() - start < 4 && (static_cast<std::uint8_t>(s[start]) & 0xC0) == 0x80) --start;
    char32_t c = 0;
    std::size_t len = decode(s, start, c);
    if (len != s.size() - start || !is_white_space(c)) break;
    s.remove_suffix(len);
  }
  return s;
}

std::string_view trim(std::string_view s) {
  while (!s.empty()) {
    char32_t c = 0;
    std::size_t len = decode(s, 0, c);
    if (len == 0 || !is_white_space(c)) break;
    s.remove_prefix(len);
  }
  return trim_end(s);
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& ch : out)
    if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
  return out;
}

std::vector<std::string_view> split_lines(std::string_view s) {
  std::vector<std::string_view> lines;
  while (!s.empty()) {
    std::size_t nl = s.find('\n');
    std::string_view line = s.substr(0, nl);
    if (nl != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
    if (nl == std::string_view::npos) break;
    s.remove_prefix(nl + 1);
  }
  return lines;
}


}  // namespace vintra::network::text
