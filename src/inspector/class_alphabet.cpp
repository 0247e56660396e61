#include "src/inspector/class_alphabet.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <map>

namespace vintra::inspector::detail {
namespace {

constexpr char32_t kReplacementChar = 0xFFFD;

// Decodes the code point at p (p < end). Ill-formed input counts as one U+FFFD per
// maximal subpart, as the lossy decoder would have produced.
inline std::size_t decode_one(const unsigned char* p, const unsigned char* end, char32_t& cp) {
  const unsigned char b0 = p[0];
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  std::size_t need;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  char32_t v;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1, v = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2, v = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3, v = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    cp = kReplacementChar;
    return 1;
  }
  std::size_t n = 1;
  for (std::size_t i = 0; i < need; ++i, lo = 0x80, hi = 0xBF) {
    if (p + n >= end || p[n] < lo || p[n] > hi) {
      cp = kReplacementChar;
      return n;
    }
    v = (v << 6) | (p[n] & 0x3F);
    ++n;
  }
  cp = v;
  return n;
}

constexpr std::uint64_t kHighBits = 0x8080808080808080ULL;

}  // namespace

bool is_re2_word_byte(unsigned b) {
  return (b >= '0' && b <= '9') || (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || b == '_';
}

Result<ClassAlphabet> ClassAlphabet::build(const std::vector<CodePointSet>& sets, const CodePointSet& word) {
  std::vector<const CodePointSet*> all;
  all.reserve(sets.size() + 1);
  for (const auto& s : sets) all.push_back(&s);
  all.push_back(&word);

  // Elementary intervals: between two consecutive boundaries membership is constant.
  std::vector<char32_t> cuts = {0, kMaxCodePoint + 1};
  for (const auto* s : all) {
    for (const auto& r : s->ranges()) {
      cuts.push_back(r.first);
      cuts.push_back(r.last + 1);
    }
  }
  std::sort(cuts.begin(), cuts.end());
  cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());

  ClassAlphabet a;
  std::map<std::vector<bool>, std::size_t> class_of_signature;
  std::vector<bool> is_word_class;
  std::vector<std::uint16_t> interval_class;  // per elementary interval
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    std::vector<bool> sig;
    sig.reserve(all.size());
    for (const auto* s : all) sig.push_back(s->contains(cuts[i]));
    auto [it, fresh] = class_of_signature.emplace(std::move(sig), a.representatives_.size());
    if (fresh) {
      a.representatives_.push_back(cuts[i]);  // intervals ascend: the first is the smallest
      is_word_class.push_back(word.contains(cuts[i]));
    }
    interval_class.push_back(static_cast<std::uint16_t>(it->second));
  }

  // Bytes: classes with ASCII members take their smallest one. Each other class
  // takes the free byte of its kind nearest to the byte of the ASCII class it
  // resembles most (fewest predicates told apart), so that the sets of the patterns
  // stay few ranges of bytes (\d, for instance, stays one range).
  const std::size_t n = a.representatives_.size();
  std::vector<const std::vector<bool>*> signature(n);
  for (const auto& [sig, k] : class_of_signature) signature[k] = &sig;
  a.class_bytes_.assign(n, 0);
  std::bitset<256> used;
  for (std::size_t k = 0; k < n; ++k) {
    if (a.representatives_[k] < 0x80) {
      a.class_bytes_[k] = static_cast<std::uint8_t>(a.representatives_[k]);
      used.set(a.representatives_[k]);
    }
  }
  for (std::size_t k = 0; k < n; ++k) {
    if (a.representatives_[k] < 0x80) continue;
    const bool w = is_word_class[k];
    int target = w ? '0' : 0x80;
    std::size_t best = static_cast<std::size_t>(-1);
    for (std::size_t j = 0; j < n; ++j) {
      if (a.representatives_[j] >= 0x80 || is_word_class[j] != w) continue;
      std::size_t distance = 0;
      for (std::size_t bit = 0; bit < signature[k]->size(); ++bit)
        distance += (*signature[k])[bit] != (*signature[j])[bit];
      if (distance < best || (distance == best && a.class_bytes_[j] < target)) {
        best = distance;
        target = a.class_bytes_[j];
      }
    }
    int chosen = -1;
    for (int delta = 0; delta < 256 && chosen < 0; ++delta) {
      for (int b : {target - delta, target + delta}) {
        if (b < 0 || b > 255 || used[static_cast<std::size_t>(b)]) continue;
        if (is_re2_word_byte(static_cast<unsigned>(b)) != w) continue;
        chosen = b;
        break;
      }
    }
    if (chosen < 0) {
      return Unexpected(
          Error(fmt::format("the detector patterns need more than the {} {} classes a byte can tell apart",
                            w ? 63 : 193, w ? "word" : "non-word")));
    }
    a.class_bytes_[k] = static_cast<std::uint8_t>(chosen);
    used.set(static_cast<std::size_t>(chosen));
  }

  // Lookup tables: ASCII direct, the rest in 256-code-point blocks shared when equal.
  std::vector<std::uint8_t> flat(kMaxCodePoint + 1);
  for (std::size_t i = 0; i + 1 < cuts.size(); ++i) {
    std::fill(flat.begin() + cuts[i], flat.begin() + cuts[i + 1], a.class_bytes_[interval_class[i]]);
  }
  for (std::size_t c = 0; c < 0x80; ++c) a.ascii_[c] = flat[c];
  std::map<std::string, std::uint16_t> block_index;
  a.stage1_.resize((kMaxCodePoint + 1) >> 8);
  for (std::size_t blk = 0; blk < a.stage1_.size(); ++blk) {
    std::string key(reinterpret_cast<const char*>(flat.data() + (blk << 8)), 256);
    auto [it, fresh] = block_index.emplace(std::move(key), static_cast<std::uint16_t>(block_index.size()));
    if (fresh)
      a.stage2_.insert(a.stage2_.end(), flat.begin() + static_cast<std::ptrdiff_t>(blk << 8),
                       flat.begin() + static_cast<std::ptrdiff_t>((blk + 1) << 8));
    a.stage1_[blk] = it->second;
  }
  a.replacement_ = flat[kReplacementChar];
  return a;
}

std::bitset<256> ClassAlphabet::bytes_of(const CodePointSet& s) const {
  std::bitset<256> out;
  for (std::size_t k = 0; k < representatives_.size(); ++k) {
    if (s.contains(representatives_[k])) out.set(class_bytes_[k]);
  }
  return out;
}

std::bitset<256> ClassAlphabet::used_bytes() const {
  std::bitset<256> out;
  for (std::uint8_t b : class_bytes_) out.set(b);
  return out;
}

void ClassAlphabet::map(std::string_view utf8, MappedText& out) const {
  out.text = utf8;
  out.offsets.clear();
  // An upper bound, not filled in advance: one code point takes at least a byte.
  out.class_buffer.reset(new char[utf8.size() + 1]);
  out.offsets.reserve(utf8.size() / MappedText::kStride + 1);
  const auto* begin = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = begin + utf8.size();
  const auto* p = begin;
  auto* o = reinterpret_cast<unsigned char*>(out.class_buffer.get());
  auto* const o_begin = o;
  // A local copy: stores through `o` cannot change it, so it stays in registers' reach.
  const std::array<std::uint8_t, 128> table = ascii_;
  std::size_t count = 0;      // code points mapped
  std::size_t next_mark = 0;  // the next code point whose offset is recorded
  while (p < end) {
    if (end - p >= 16) {
      std::uint64_t v0;
      std::uint64_t v1;
      std::memcpy(&v0, p, 8);
      std::memcpy(&v1, p + 8, 8);
      if (!((v0 | v1) & kHighBits)) {
        // Sixteen ASCII characters; the stride is longer, so at most one mark.
        if (count + 16 > next_mark) {
          out.offsets.push_back(static_cast<std::size_t>(p - begin) + (next_mark - count));
          next_mark += MappedText::kStride;
        }
        std::uint64_t w0 = 0;
        std::uint64_t w1 = 0;
        for (unsigned k = 0; k < 8; ++k) {
          w0 |= std::uint64_t{table[(v0 >> (8 * k)) & 0x7F]} << (8 * k);
          w1 |= std::uint64_t{table[(v1 >> (8 * k)) & 0x7F]} << (8 * k);
        }
        std::memcpy(o, &w0, 8);  // bytes in the order they were loaded in, on any machine
        std::memcpy(o + 8, &w1, 8);
        o += 16, p += 16, count += 16;
        continue;
      }
    }
    if (count == next_mark) {
      out.offsets.push_back(static_cast<std::size_t>(p - begin));
      next_mark += MappedText::kStride;
    }
    if (*p < 0x80) {
      *o++ = table[*p++];
    } else {
      char32_t cp;
      p += decode_one(p, end, cp);
      *o++ = class_of(cp);
    }
    ++count;
  }
  out.class_count = static_cast<std::size_t>(o - o_begin);
}

std::size_t MappedText::byte_offset(std::size_t index) const {
  if (index >= class_count) return text.size();
  const std::size_t block = index / kStride;
  std::size_t off = offsets[block];
  const auto* begin = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = begin + text.size();
  for (std::size_t k = block * kStride; k < index; ++k) {
    char32_t cp;
    off += decode_one(begin + off, end, cp);
  }
  return off;
}

}  // namespace vintra::inspector::detail
