#include "src/inspector/utf8.hpp"

#include <simdjson.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <vector>

namespace vintra::inspector {
namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

std::uint64_t load64(const unsigned char* p) {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Skips ASCII from p, eight bytes at a time; returns the first non-ASCII byte or end.
const unsigned char* skip_ascii(const unsigned char* p, const unsigned char* end) {
  while (end - p >= 32) {
    if ((load64(p) | load64(p + 8) | load64(p + 16) | load64(p + 24)) & kHighBits) break;
    p += 32;
  }
  while (end - p >= 8 && !(load64(p) & kHighBits)) p += 8;
  while (p < end && *p < 0x80) ++p;
  return p;
}

// Examines the sequence that starts at the non-ASCII byte *p. Returns the number of
// bytes it takes; `valid` tells whether they form a well-formed character or are one
// maximal ill-formed subpart (at least one byte).
std::size_t examine(const unsigned char* p, const unsigned char* end, bool& valid) {
  const unsigned char b0 = p[0];
  std::size_t need;         // continuation bytes after the lead
  unsigned char lo = 0x80;  // allowed range of the first continuation byte
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    if (b0 == 0xF0) lo = 0x90;  // no overlong forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    valid = false;  // 80..C1 and F5..FF start nothing
    return 1;
  }
  std::size_t n = 1;
  for (std::size_t i = 0; i < need; ++i, lo = 0x80, hi = 0xBF) {
    if (p + n >= end || p[n] < lo || p[n] > hi) {
      valid = false;
      return n;
    }
    ++n;
  }
  valid = true;
  return n;
}

constexpr char kReplacement[] = "\xEF\xBF\xBD";

}  // namespace

bool is_ascii(std::string_view bytes) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = p + bytes.size();
  std::uint64_t acc = 0;
  while (end - p >= 32) {
    acc |= load64(p) | load64(p + 8) | load64(p + 16) | load64(p + 24);
    p += 32;
  }
  while (end - p >= 8) {
    acc |= load64(p);
    p += 8;
  }
  while (p < end) acc |= *p++;
  return (acc & kHighBits) == 0;
}

std::size_t valid_utf8_prefix(std::string_view bytes) {
  const auto* begin = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto* end = begin + bytes.size();
  const auto* p = begin;
  for (;;) {
    p = skip_ascii(p, end);
    if (p == end) return bytes.size();
    bool valid;
    const std::size_t n = examine(p, end, valid);
    if (!valid) return static_cast<std::size_t>(p - begin);
    p += n;
  }
}

namespace {

// Well-formed input is checked by simdjson's vectorised validator, in chunks, so
// that only the chunks holding ill-formed bytes take the byte-by-byte path.
constexpr std::size_t kChunk = 4096;

bool is_continuation(unsigned char b) {
  return (b & 0xC0) == 0x80;
}

// The end of the chunk that starts at `at`: a place that no sequence and no
// ill-formed subpart crosses, as the byte there is not a continuation byte, or
// the four bytes before it are, which no sequence that reaches it can begin with.
std::size_t chunk_end(const unsigned char* s, std::size_t at, std::size_t n) {
  const std::size_t e = std::min(n, at + kChunk);
  if (e == n) return e;
  for (std::size_t k = 0; k < 4 && e - k > at; ++k) {
    if (!is_continuation(s[e - k])) return e - k;
  }
  return e;
}

// The size of [p, end) once decoded lossily.
std::size_t lossy_size(const unsigned char* p, const unsigned char* end) {
  std::size_t size = 0;
  while (p < end) {
    const auto* q = skip_ascii(p, end);
    size += static_cast<std::size_t>(q - p);
    p = q;
    if (p == end) break;
    bool valid;
    const std::size_t n = examine(p, end, valid);
    size += valid ? n : 3;
    p += n;
  }
  return size;
}

void append_lossy(std::string& out, const unsigned char* p, const unsigned char* end) {
  const auto* run = p;  // start of the pending well-formed run
  while (p < end) {
    p = skip_ascii(p, end);
    if (p == end) break;
    bool valid;
    const std::size_t n = examine(p, end, valid);
    if (!valid) {
      out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
      out.append(kReplacement, 3);
      run = p + n;
    }
    p += n;
  }
  out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(end - run));
}

}  // namespace

std::string decode_lossy(std::string&& bytes) {
  if (simdjson::validate_utf8(bytes.data(), bytes.size())) return std::move(bytes);

  const auto* s = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::vector<std::pair<std::size_t, bool>> chunks;  // end, well-formed
  std::size_t size = 0;
  for (std::size_t at = 0; at < n;) {
    const std::size_t e = chunk_end(s, at, n);
    const bool ok = simdjson::validate_utf8(bytes.data() + at, e - at);
    size += ok ? e - at : lossy_size(s + at, s + e);
    chunks.emplace_back(e, ok);
    at = e;
  }
  std::string out;
  out.reserve(size);
  std::size_t at = 0;
  for (const auto& [e, ok] : chunks) {
    if (ok) {
      out.append(bytes, at, e - at);
    } else {
      append_lossy(out, s + at, s + e);
    }
    at = e;
  }
  std::string().swap(bytes);  // the input is released here, not when the caller's scope ends
  return out;
}

}  // namespace vintra::inspector
