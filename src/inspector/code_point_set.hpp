// Sets of Unicode code points as sorted, disjoint, non-adjacent ranges. Used at
// catalogue build time only: the pattern translator and the class partition.
#pragma once

#include <cstddef>
#include <vector>

namespace vintra::inspector::detail {

inline constexpr char32_t kMaxCodePoint = 0x10FFFF;

struct CodePointRange {
  char32_t first;
  char32_t last;  // inclusive

  bool operator==(const CodePointRange&) const = default;
};

class CodePointSet {
 public:
  CodePointSet() = default;
  static CodePointSet of(char32_t c) { return range(c, c); }
  static CodePointSet range(char32_t first, char32_t last);
  template <class R>
  static CodePointSet from_table(const R& table) {
    CodePointSet s;
    for (const auto& r : table) s.add(r.first, r.last);
    return s;
  }

  void add(char32_t first, char32_t last);
  void add(const CodePointSet& other);
  CodePointSet complement() const;
  CodePointSet intersect(const CodePointSet& other) const;
  // Closure under Unicode simple case folding: every code point whose fold orbit
  // (the code points sharing one simple case fold) meets this set is added.
  CodePointSet case_folded() const;

  bool contains(char32_t c) const;
  bool empty() const { return ranges_.empty(); }
  const std::vector<CodePointRange>& ranges() const { return ranges_; }

  bool operator==(const CodePointSet&) const = default;

 private:
  std::vector<CodePointRange> ranges_;
};

// The dialect's predicates, from the generated Unicode tables.
const CodePointSet& decimal_digit_set();  // \d: general category Nd
const CodePointSet& white_space_set();    // \s: White_Space
const CodePointSet& word_set();           // the word characters of \b

}  // namespace vintra::inspector::detail
