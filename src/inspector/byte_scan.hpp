// Byte-set scanning for the prefilters: membership masks of 64 bytes at a time and
// searches for the next byte of a set. Vector code through the compiler's generic
// vector types (SSE2, NEON or plain registers, whatever the target has).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

#include "src/inspector/plan.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace vintra::inspector::detail {

using U8x16 = std::uint8_t __attribute__((vector_size(16)));
using I8x16 = std::int8_t __attribute__((vector_size(16)));

inline U8x16 load16(const unsigned char* p) {
  U8x16 v;
  std::memcpy(&v, p, 16);
  return v;
}

inline U8x16 splat16(std::uint8_t b) {
  U8x16 v;
  std::memset(&v, b, 16);
  return v;
}

// Bit i of the result is the top bit of lane i.
inline unsigned movemask_portable(I8x16 m) {
  std::uint64_t lo;
  std::uint64_t hi;
  std::memcpy(&lo, &m, 8);
  std::memcpy(&hi, reinterpret_cast<const char*>(&m) + 8, 8);
  auto pack = [](std::uint64_t x) {
    return static_cast<unsigned>((((x >> 7) & 0x0101010101010101ULL) * 0x0102040810204080ULL) >> 56);
  };
  return pack(lo) | (pack(hi) << 8);
}

inline unsigned movemask(I8x16 m) {
#if defined(__SSE2__)
  __m128i x;
  std::memcpy(&x, &m, 16);
  return static_cast<unsigned>(_mm_movemask_epi8(x));
#else
  return movemask_portable(m);
#endif
}

// Lanes whose byte is in the set's ranges (the set must have ranges).
inline I8x16 in_ranges(U8x16 v, const ByteSet& set) {
  I8x16 acc = {};
  for (std::size_t r = 0; r < set.range_count(); ++r) {
    const U8x16 lo = load16(set.lo16(r));
    acc |= set.range(r).span == 0 ? v == lo : (v - lo) <= load16(set.span16(r));
  }
  return acc;
}

// Membership masks of the 64 bytes at p in `counted` and in `counted` or `extra`.
inline void masks64(const ByteSet& counted, const ByteSet& extra, const unsigned char* p,
                    std::uint64_t& in_counted, std::uint64_t& in_either) {
  in_counted = 0;
  in_either = 0;
  for (unsigned k = 0; k < 4; ++k) {
    const U8x16 v = load16(p + 16 * k);
    const I8x16 c = in_ranges(v, counted);
    in_counted |= static_cast<std::uint64_t>(movemask(c)) << (16 * k);
    in_either |= static_cast<std::uint64_t>(movemask(c | in_ranges(v, extra))) << (16 * k);
  }
}

// Membership mask of the n <= 64 bytes at p: bit i for p[i].
inline std::uint64_t mask_partial(const ByteSet& set, const unsigned char* p, std::size_t n) {
  std::uint64_t m = 0;
  for (std::size_t i = 0; i < n; ++i) m |= static_cast<std::uint64_t>(set.contains(p[i])) << i;
  return m;
}

// The first position in [from, n) whose byte is in `set`, or n.
inline std::size_t find_in(const ByteSet& set, const unsigned char* s, std::size_t from, std::size_t n) {
  if (set.count() == 1) {
    const void* hit = from < n ? std::memchr(s + from, set.first(), n - from) : nullptr;
    return hit ? static_cast<std::size_t>(static_cast<const unsigned char*>(hit) - s) : n;
  }
  std::size_t i = from;
  if (set.range_count() != 0) {
    for (; i + 16 <= n; i += 16) {
      if (const unsigned m = movemask(in_ranges(load16(s + i), set)))
        return i + static_cast<std::size_t>(__builtin_ctz(m));
    }
  }
  for (; i < n; ++i) {
    if (set.contains(s[i])) return i;
  }
  return n;
}

// The first position in [from, n) where `lit` (at least two bytes) starts, or n.
// Sixteen candidate positions at a time are tested on the literal's first and last
// bytes; the few that pass are compared in full.
inline std::size_t find_literal(const unsigned char* s, std::size_t from, std::size_t n,
                                std::string_view lit) {
  const std::size_t k = lit.size();
  if (k > n || from > n - k) return n;
  const auto first = splat16(static_cast<std::uint8_t>(lit.front()));
  const auto last = splat16(static_cast<std::uint8_t>(lit.back()));
  std::size_t i = from;
  for (; i + k - 1 + 16 <= n; i += 16) {
    unsigned m = movemask((load16(s + i) == first) & (load16(s + i + k - 1) == last));
    while (m) {
      const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(m));
      if (std::memcmp(s + at + 1, lit.data() + 1, k - 2) == 0) return at;
      m &= m - 1;
    }
  }
  for (; i + k <= n; ++i) {
    if (s[i] == static_cast<unsigned char>(lit.front()) && std::memcmp(s + i, lit.data(), k) == 0) return i;
  }
  return n;
}

}  // namespace vintra::inspector::detail
