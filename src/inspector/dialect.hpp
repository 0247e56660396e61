// The detector pattern dialect: a parser for the Perl-style subset the catalogue
// uses, with Unicode semantics, and a renderer that writes a parsed pattern in RE2
// syntax over a byte alphabet. Build time only.
//
// Supported: literals and escaped punctuation; \n \t \r \f \v \x{..} \xHH; \d \D
// (Nd), \s \S (White_Space), \w \W (the word set of \b); '.' (anything but \n);
// bracketed classes with ranges, escapes and '^'; (?:...), (...) (not captured),
// (?i) and (?i:...); | ; greedy ? * + {n} {n,} {n,m}; \b. Anything else (anchors,
// lazy quantifiers, back-references, other flags) is an error, so that a pattern
// is never silently read with semantics we do not implement.
#pragma once

#include <bitset>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "src/inspector/code_point_set.hpp"

namespace vintra::inspector::detail {

struct Node {
  enum class Kind { kEmpty, kSet, kWordBoundary, kConcat, kAlternate, kRepeat };

  Kind kind = Kind::kEmpty;
  CodePointSet set;            // kSet: the code points this position matches (folded under (?i))
  std::vector<Node> children;  // kConcat, kAlternate; kRepeat has one
  int min = 0;                 // kRepeat
  int max = -1;                // kRepeat; -1 for no upper bound
};

// Parses one pattern; the error names the offending position.
Result<Node> parse_pattern(std::string_view pattern);

// Appends every code-point set of the pattern (the atoms the partition must respect).
void collect_sets(const Node& node, std::vector<CodePointSet>& out);

// Facts about what a pattern can match, for prefilters. Lengths count code points.
inline constexpr std::size_t kUnbounded = static_cast<std::size_t>(-1);
std::size_t min_length(const Node& node);
std::size_t max_length(const Node& node);  // kUnbounded when there is no limit
// Every code point that can be part of a match.
CodePointSet match_alphabet(const Node& node);
// The fewest positions of any match that take a code point of `within` (counting
// only positions whose set lies inside `within`).
std::size_t min_count(const Node& node, const CodePointSet& within);

using ByteAlphabet = std::function<std::bitset<256>(const CodePointSet&)>;

// The pattern in RE2 syntax for Latin-1 mode, each set replaced by the bytes that
// `alphabet` gives for it. \b stays \b, so the alphabet must give word characters
// bytes that RE2 counts as word bytes ([0-9A-Za-z_]) and others bytes it does not.
std::string render_re2(const Node& node, const ByteAlphabet& alphabet);

}  // namespace vintra::inspector::detail
