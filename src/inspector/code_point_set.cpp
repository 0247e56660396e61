#include "src/inspector/code_point_set.hpp"

#include <algorithm>
#include <map>

#include "src/inspector/unicode_tables.inc"

namespace vintra::inspector::detail {

CodePointSet CodePointSet::range(char32_t first, char32_t last) {
  CodePointSet s;
  s.add(first, last);
  return s;
}

void CodePointSet::add(char32_t first, char32_t last) {
  if (first > last) return;
  // Find the ranges that overlap or touch [first, last] and merge them into one.
  auto lo = std::lower_bound(ranges_.begin(), ranges_.end(), first, [](const CodePointRange& r, char32_t c) {
    return r.last + 1 < c;  // ends strictly before `first` and does not touch it
  });
  auto hi = lo;
  while (hi != ranges_.end() && hi->first <= last + 1) {
    first = std::min(first, hi->first);
    last = std::max(last, hi->last);
    ++hi;
  }
  lo = ranges_.erase(lo, hi);
  ranges_.insert(lo, CodePointRange{first, last});
}

void CodePointSet::add(const CodePointSet& other) {
  for (const auto& r : other.ranges_) add(r.first, r.last);
}

CodePointSet CodePointSet::complement() const {
  CodePointSet out;
  char32_t next = 0;
  for (const auto& r : ranges_) {
    if (r.first > next) out.ranges_.push_back({next, r.first - 1});
    next = r.last + 1;
  }
  if (next <= kMaxCodePoint) out.ranges_.push_back({next, kMaxCodePoint});
  return out;
}

CodePointSet CodePointSet::intersect(const CodePointSet& other) const {
  CodePointSet out;
  auto a = ranges_.begin();
  auto b = other.ranges_.begin();
  while (a != ranges_.end() && b != other.ranges_.end()) {
    const char32_t first = std::max(a->first, b->first);
    const char32_t last = std::min(a->last, b->last);
    if (first <= last) out.ranges_.push_back({first, last});
    if (a->last < b->last) {
      ++a;
    } else {
      ++b;
    }
  }
  return out;
}

bool CodePointSet::contains(char32_t c) const {
  auto it = std::upper_bound(ranges_.begin(), ranges_.end(), c,
                             [](char32_t v, const CodePointRange& r) { return v < r.first; });
  return it != ranges_.begin() && std::prev(it)->last >= c;
}

namespace {

// The simple case fold orbits: code points grouped by their common fold.
const std::vector<std::vector<char32_t>>& fold_orbits() {
  static const auto orbits = [] {
    std::map<char32_t, std::vector<char32_t>> by_fold;
    for (const auto& f : ucd::kSimpleFold) {
      auto& orbit = by_fold[f.folded];
      if (orbit.empty()) orbit.push_back(f.folded);
      orbit.push_back(f.code_point);
    }
    std::vector<std::vector<char32_t>> out;
    out.reserve(by_fold.size());
    for (auto& [fold, orbit] : by_fold) out.push_back(std::move(orbit));
    return out;
  }();
  return orbits;
}

}  // namespace

CodePointSet CodePointSet::case_folded() const {
  CodePointSet out = *this;
  for (const auto& orbit : fold_orbits()) {
    if (std::any_of(orbit.begin(), orbit.end(), [&](char32_t c) { return contains(c); })) {
      for (char32_t c : orbit) out.add(c, c);
    }
  }
  return out;
}

const CodePointSet& decimal_digit_set() {
  static const CodePointSet s = CodePointSet::from_table(ucd::kDecimalDigit);
  return s;
}

const CodePointSet& white_space_set() {
  static const CodePointSet s = CodePointSet::from_table(ucd::kWhiteSpace);
  return s;
}

const CodePointSet& word_set() {
  static const CodePointSet s = CodePointSet::from_table(ucd::kWord);
  return s;
}

}  // namespace vintra::inspector::detail
