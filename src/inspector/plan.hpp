// Prefilter plans: how a detector finds the few places where its pattern can
// match before RE2 confirms them, derived once from the parsed pattern.
//
// A plan never decides a match; it only rules out stretches of text in which no
// match can lie, and hands RE2 windows that contain every match that can start
// there, with the whole text as context for \b. Each kind keeps the total work
// linear in the text:
//   kLiteral  every match holds a literal at a fixed offset from its start
//             (AWS_KEY, GCP_KEY, AZURE_KEY, JWT, PRIVATE_KEY_BLOCK);
//   kAnchor   every match holds exactly one byte of a rare set at a fixed place of
//             its top-level sequence; the window around each occurrence is found
//             by stepping over what can come before and after it (EMAIL '@',
//             GENERIC_API_KEY ':' or '=', with a check of the keyword's last letters);
//   kRuns     matches lie inside runs of their alphabet that hold enough digits
//             (CREDIT_CARD, IBAN, FRENCH_NIR, PHONE_FR);
//   kScan     RE2 over the whole text;
//   kNever    the pattern needs a byte that cannot occur in the subject.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "src/inspector/dialect.hpp"

namespace vintra::inspector::detail {

// A set of bytes: a table for single tests and, for vector scans, a few ranges that
// cover it (bytes that never occur in the subject may be folded into them).
class ByteSet {
 public:
  static constexpr std::size_t kMaxRanges = 6;
  struct Range {
    std::uint8_t lo;
    std::uint8_t span;  // lo .. lo + span
  };

  ByteSet() = default;
  ByteSet(const std::bitset<256>& members, const std::bitset<256>& never_seen);

  bool contains(unsigned char b) const { return table_[b] != 0; }
  bool empty() const { return count_ == 0; }
  std::size_t count() const { return count_; }
  // The ranges, or none when the set needs more than kMaxRanges.
  std::size_t range_count() const { return range_count_; }
  const Range& range(std::size_t i) const { return ranges_[i]; }
  // The range's bounds repeated in 16 bytes, ready for vector loads.
  const unsigned char* lo16(std::size_t i) const { return lo16_[i].data(); }
  const unsigned char* span16(std::size_t i) const { return span16_[i].data(); }
  // The lowest member.
  unsigned char first() const { return first_; }
  bool intersects(const ByteSet& other) const;

 private:
  std::array<std::uint8_t, 256> table_{};
  std::array<Range, kMaxRanges> ranges_{};
  alignas(16) std::array<std::array<unsigned char, 16>, kMaxRanges> lo16_{};
  alignas(16) std::array<std::array<unsigned char, 16>, kMaxRanges> span16_{};
  std::size_t range_count_ = 0;
  std::size_t count_ = 0;
  unsigned char first_ = 0;
};

struct Plan {
  enum class Kind { kScan, kNever, kLiteral, kAnchor, kRuns };
  Kind kind = Kind::kScan;

  // Every byte a match can hold.
  ByteSet alphabet;

  // kLiteral.
  std::string literal;
  std::size_t literal_offset = 0;  // bytes of every match before the literal
  ByteSet before;                  // what those bytes can be
  std::size_t max_length = kUnbounded;

  // kAnchor. A step covers at most `bound` bytes, each in `bytes`.
  struct Step {
    ByteSet bytes;
    std::size_t bound;
  };
  ByteSet anchor;
  std::vector<Step> back;     // the parts before the anchor, nearest first
  std::vector<Step> forward;  // the parts after it
  // The last bytes before the anchor, once the first `tail_skip` steps of `back`
  // (optional repeats, skipped in full) are stepped over: tail[0] is the nearest.
  std::size_t tail_skip = 0;
  std::vector<ByteSet> tail;

  // kRuns: runs of `alphabet` of at least `min_length` bytes and `min_count`
  // bytes of `counted`.
  ByteSet counted;
  ByteSet uncounted;  // the rest of the alphabet
  std::size_t min_count = 0;
  std::size_t min_length = 0;
};

using SetBytes = std::function<std::bitset<256>(const CodePointSet&)>;

// The plan of one pattern over one byte alphabet (the bytes of all-ASCII text, or
// class bytes); `never_seen` are bytes that cannot occur in such a subject.
Plan make_plan(const Node& pattern, const SetBytes& bytes, const std::bitset<256>& never_seen);

}  // namespace vintra::inspector::detail
