// The class alphabet of the matching layer.
//
// RE2 matches bytes, and its \b, \d and \s are ASCII ones. The catalogue's
// predicates (the sets of its patterns, after case folding, and the word set of \b)
// partition the code points into a few dozen classes; two code points of one class
// are indistinguishable to every pattern. Each class gets one byte: word classes a
// byte that RE2 counts as a word byte, the others one it does not. A pattern
// rewritten over class bytes and run by RE2 in Latin-1 mode over the text mapped to
// one class byte per code point then matches exactly where the Unicode pattern
// matches the text, \b included.
//
// A class that holds ASCII characters takes its smallest ASCII member as its byte,
// so the literals of the patterns keep their own bytes in class text.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "src/inspector/code_point_set.hpp"

namespace vintra::inspector::detail {

// Text mapped to class bytes, with the way back to byte offsets of the text.
struct MappedText {
  // Every kStride-th code point has its byte offset in `offsets`.
  static constexpr std::size_t kStride = 128;
  static_assert(kStride >= 16, "map() records at most one offset per 16 ASCII bytes");

  std::string_view text;                 // the UTF-8 text that was mapped
  std::unique_ptr<char[]> class_buffer;  // one class byte per code point
  std::size_t class_count = 0;
  std::vector<std::size_t> offsets;

  std::string_view classes() const { return {class_buffer.get(), class_count}; }

  // The byte offset in `text` of code point `index` (index == class_count gives
  // text.size()). Walks at most kStride - 1 code points.
  std::size_t byte_offset(std::size_t index) const;
};

class ClassAlphabet {
 public:
  // Partitions the code points by membership in `sets` and in `word`. Fails when
  // the classes do not fit the byte alphabet (more than 63 word classes or more
  // than 193 others).
  static Result<ClassAlphabet> build(const std::vector<CodePointSet>& sets, const CodePointSet& word);

  std::uint8_t class_of(char32_t c) const {
    return c < 0x80            ? ascii_[c]
           : c > kMaxCodePoint ? replacement_
                               : stage2_[(static_cast<std::size_t>(stage1_[c >> 8]) << 8) | (c & 0xFF)];
  }

  // The class bytes of the code points of `s`, which must be a union of classes
  // (true for every set the alphabet was built from).
  std::bitset<256> bytes_of(const CodePointSet& s) const;

  std::size_t class_count() const { return representatives_.size(); }
  // The bytes some class has: all that can occur in class text.
  std::bitset<256> used_bytes() const;

  // Maps `utf8` (well-formed; any ill-formed byte is taken as one U+FFFD) to class
  // bytes. Linear; allocates one byte per code point plus 1/16 byte of index.
  void map(std::string_view utf8, MappedText& out) const;

 private:
  std::array<std::uint8_t, 128> ascii_{};
  std::vector<std::uint16_t> stage1_;      // code point >> 8 -> block
  std::vector<std::uint8_t> stage2_;       // block << 8 | low byte -> class byte
  std::vector<char32_t> representatives_;  // per class: its smallest member
  std::vector<std::uint8_t> class_bytes_;  // per class: its byte
  std::uint8_t replacement_ = 0;           // class byte of U+FFFD
};

// The bytes RE2 counts as word characters for \b: [0-9A-Za-z_].
bool is_re2_word_byte(unsigned b);

}  // namespace vintra::inspector::detail
