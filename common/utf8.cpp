#include "common/utf8.hpp"

#include <simdjson.h>

#include <cstdint>

namespace vintra {

bool is_valid_utf8(std::string_view text) {
  // Most of our strings (ids, labels, entity names) are short and ASCII: a plain
  // loop settles them without the call into the vectorised validator.
  if (text.size() <= 64) {
    unsigned char any = 0;
    for (char c : text) any |= static_cast<unsigned char>(c);
    if (any < 0x80) return true;
  }
  return simdjson::validate_utf8(text.data(), text.size());
}

namespace {

constexpr std::string_view kReplacement = "\xEF\xBF\xBD";

// Length of the well-formed sequence at the start of `s`, or the negated length of
// the maximal prefix of one (at least 1) when the sequence there is ill-formed.
int sequence_length(const unsigned char* s, std::size_t avail) {
  unsigned char b = s[0];
  if (b < 0x80) return 1;
  int need;
  unsigned char lo = 0x80, hi = 0xBF;  // range of the second byte
  if (b >= 0xC2 && b <= 0xDF) {
    need = 2;
  } else if (b >= 0xE0 && b <= 0xEF) {
    need = 3;
    if (b == 0xE0) lo = 0xA0;
    if (b == 0xED) hi = 0x9F;
  } else if (b >= 0xF0 && b <= 0xF4) {
    need = 4;
    if (b == 0xF0) lo = 0x90;
    if (b == 0xF4) hi = 0x8F;
  } else {
    return -1;
  }
  for (int i = 1; i < need; ++i) {
    if (static_cast<std::size_t>(i) >= avail) return -i;
    unsigned char c = s[i];
    bool in_range = i == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
    if (!in_range) return -i;
  }
  return need;
}

}  // namespace

void append_utf8_lossy(std::string& out, std::string_view text) {
  if (is_valid_utf8(text)) {
    out.append(text);
    return;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    int len = sequence_length(p + i, n - i);
    if (len > 0) {
      out.append(text.data() + i, static_cast<std::size_t>(len));
      i += static_cast<std::size_t>(len);
    } else {
      out.append(kReplacement);
      i += static_cast<std::size_t>(-len);
    }
  }
}

std::string to_utf8_lossy(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  append_utf8_lossy(out, text);
  return out;
}

}  // namespace vintra
