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
  CodePointSet set;             // kSet: the code points this position matches (folded under (?i))
  std::vector<Node> children;   // kConcat, kAlternate; kRepeat has one
  int min = 0;                  // kRepeat
  int max = -1;                 // kRepeat; -1 for no upper bound
};

// Parses one pattern; the error names the offending position.
Result<Node> parse_pattern(std::string_view pattern);

// Appends every code-point set of the pattern (the atoms the partition must respect).
void collect_sets(const Node& node, std::vector<CodePointSet>& out);

using ByteAlphabet = std::function<std::bitset<256>(const CodePointSet&)>;

// The pattern in RE2 syntax for Latin-1 mode, each set replaced by the bytes that
// `alphabet` gives for it. \b stays \b, so the alphabet must give word characters
// bytes that RE2 counts as word bytes ([0-9A-Za-z_]) and others bytes it does not.
std::string render_re2(const Node& node, const ByteAlphabet& alphabet);

}  // namespace vintra::inspector::detail
