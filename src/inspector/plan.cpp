#include "src/inspector/plan.hpp"

#include <algorithm>
#include <optional>

namespace vintra::inspector::detail {

ByteSet::ByteSet(const std::bitset<256>& members, const std::bitset<256>& never_seen) {
  std::vector<Range> ranges;
  for (int b = 0; b < 256; ++b) {
    if (!members[static_cast<std::size_t>(b)]) continue;
    table_[static_cast<std::size_t>(b)] = 1;
    if (count_++ == 0) first_ = static_cast<unsigned char>(b);
    if (!ranges.empty()) {
      // Extend the last range over a gap of bytes that never occur.
      Range& last = ranges.back();
      const int end = last.lo + last.span;
      bool bridge = true;
      for (int g = end + 1; g < b; ++g) bridge = bridge && never_seen[static_cast<std::size_t>(g)];
      if (bridge) {
        last.span = static_cast<std::uint8_t>(b - last.lo);
        continue;
      }
    }
    ranges.push_back(Range{static_cast<std::uint8_t>(b), 0});
  }
  if (ranges.size() <= kMaxRanges) {
    std::copy(ranges.begin(), ranges.end(), ranges_.begin());
    range_count_ = ranges.size();
    for (std::size_t r = 0; r < ranges.size(); ++r) {
      lo16_[r].fill(ranges[r].lo);
      span16_[r].fill(ranges[r].span);
    }
  }
}

bool ByteSet::intersects(const ByteSet& other) const {
  for (std::size_t b = 0; b < 256; ++b) {
    if (table_[b] && other.table_[b]) return true;
  }
  return false;
}

namespace {

bool is_single(const Node& n) {
  return n.kind == Node::Kind::kSet && n.set.ranges().size() == 1 &&
         n.set.ranges()[0].first == n.set.ranges()[0].last;
}

bool fixed_width(const Node& n) {
  return min_length(n) == max_length(n);
}

// A set repeated with no lower bound (\s*): stepped over in full before a tail check.
bool is_optional_set_repeat(const Node& n) {
  return n.kind == Node::Kind::kRepeat && n.min == 0 && n.children.front().kind == Node::Kind::kSet;
}

// The sets of the last positions of every match of `n`, nearest last position
// first, as many as every match has (at most `want`).
std::vector<CodePointSet> suffix_sets(const Node& n, std::size_t want) {
  std::vector<CodePointSet> out;
  switch (n.kind) {
    case Node::Kind::kSet:
      out.push_back(n.set);
      break;
    case Node::Kind::kRepeat:
      if (n.children.front().kind == Node::Kind::kSet) {
        for (int i = 0; i < n.min && out.size() < want; ++i) out.push_back(n.children.front().set);
      }
      break;
    case Node::Kind::kConcat:
      for (auto it = n.children.rbegin(); it != n.children.rend() && out.size() < want; ++it) {
        if (it->kind == Node::Kind::kWordBoundary) continue;
        auto part = suffix_sets(*it, want - out.size());
        const bool whole = fixed_width(*it) && part.size() == min_length(*it);
        out.insert(out.end(), part.begin(), part.end());
        if (!whole) break;  // what comes before has no fixed place
      }
      break;
    case Node::Kind::kAlternate: {
      bool first = true;
      for (const auto& c : n.children) {
        auto part = suffix_sets(c, want);
        if (first) {
          out = std::move(part);
          first = false;
          continue;
        }
        out.resize(std::min(out.size(), part.size()));
        for (std::size_t i = 0; i < out.size(); ++i) out[i].add(part[i]);
      }
      break;
    }
    default:
      break;
  }
  if (out.size() > want) out.resize(want);
  return out;
}

bool is_rare_anchor(const Node& n) {
  if (n.kind != Node::Kind::kSet) return false;
  for (char32_t c = 0; c < 0x80; ++c) {
    const bool alnum_or_space = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                                c == ' ' || (c >= '\t' && c <= '\r');
    if (alnum_or_space && n.set.contains(c)) return false;
  }
  return true;
}

}  // namespace

Plan make_plan(const Node& pattern, const SetBytes& bytes, const std::bitset<256>& never_seen) {
  auto to_set = [&](const CodePointSet& s) { return ByteSet(bytes(s), never_seen); };
  Plan plan;
  plan.alphabet = to_set(match_alphabet(pattern));
  plan.max_length = max_length(pattern);
  const std::vector<Node> single = {pattern};
  const std::vector<Node>& parts = pattern.kind == Node::Kind::kConcat ? pattern.children : single;

  // A literal at a fixed offset: single code points in a row, after parts of fixed width.
  {
    std::size_t offset = 0;
    std::size_t start = 0;  // index in `parts` where the literal run begins
    std::size_t run = 0;
    std::size_t run_offset = 0;
    for (std::size_t i = 0; i <= parts.size(); ++i) {
      const bool lit = i < parts.size() && is_single(parts[i]);
      if (lit) {
        if (run++ == 0) start = i, run_offset = offset;
        offset += 1;
        continue;
      }
      if (run >= 2) break;
      run = 0;
      if (i == parts.size() || !fixed_width(parts[i])) break;
      offset += min_length(parts[i]);
    }
    if (run >= 2) {
      std::string literal;
      for (std::size_t i = start; i < start + run; ++i) {
        const auto b = bytes(parts[i].set);
        if (b.none()) {
          plan.kind = Plan::Kind::kNever;  // a character this subject cannot hold
          return plan;
        }
        if (b.count() != 1) break;
        for (std::size_t v = 0; v < 256; ++v) {
          if (b[v]) literal += static_cast<char>(v);
        }
      }
      if (literal.size() == run) {
        CodePointSet before;
        for (std::size_t i = 0; i < start; ++i) before.add(match_alphabet(parts[i]));
        plan.kind = Plan::Kind::kLiteral;
        plan.literal = std::move(literal);
        plan.literal_offset = run_offset;
        plan.before = to_set(before);
        return plan;
      }
    }
  }

  // An anchor: a rare set in the top-level sequence that nothing around it can hold.
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (!is_rare_anchor(parts[i])) continue;
    Plan p = plan;
    p.anchor = to_set(parts[i].set);
    if (p.anchor.empty()) {
      p.kind = Plan::Kind::kNever;
      return p;
    }
    bool apart = true;
    for (std::size_t k = i; k-- > 0;) {
      if (parts[k].kind == Node::Kind::kWordBoundary) continue;
      p.back.push_back({to_set(match_alphabet(parts[k])), max_length(parts[k])});
      apart = apart && !p.back.back().bytes.intersects(p.anchor);
    }
    for (std::size_t k = i + 1; k < parts.size(); ++k) {
      if (parts[k].kind == Node::Kind::kWordBoundary) continue;
      p.forward.push_back({to_set(match_alphabet(parts[k])), max_length(parts[k])});
      apart = apart && !p.forward.back().bytes.intersects(p.anchor);
    }
    if (!apart) continue;
    // The tail: the last letters of the part before the optional repeats, if those
    // repeats cannot hold them (so that skipping them in full is exact).
    std::size_t k = i;
    std::size_t skip = 0;
    std::bitset<256> skipped_bytes;
    while (k > 0 &&
           (is_optional_set_repeat(parts[k - 1]) || parts[k - 1].kind == Node::Kind::kWordBoundary)) {
      --k;
      if (parts[k].kind == Node::Kind::kWordBoundary) continue;
      ++skip;
      skipped_bytes |= bytes(parts[k].children.front().set);
    }
    // Word boundaries between the skipped repeats are zero-width and were not made
    // steps, so `skip` counts steps of `back`.
    if (k > 0) {
      const ByteSet skip_set(skipped_bytes, never_seen);
      std::vector<ByteSet> tail;
      for (const auto& s : suffix_sets(parts[k - 1], 3)) tail.push_back(to_set(s));
      const bool exact =
          std::none_of(tail.begin(), tail.end(), [&](const ByteSet& t) { return t.intersects(skip_set); });
      if (exact && !tail.empty()) {
        p.tail_skip = skip;
        p.tail = std::move(tail);
      }
    }
    p.kind = Plan::Kind::kAnchor;
    return p;
  }

  // Runs holding enough digits.
  const std::size_t digits = min_count(pattern, decimal_digit_set());
  if (digits >= 2) {
    plan.kind = Plan::Kind::kRuns;
    const CodePointSet alphabet = match_alphabet(pattern);
    plan.counted = to_set(alphabet.intersect(decimal_digit_set()));
    plan.uncounted = to_set(alphabet.intersect(decimal_digit_set().complement()));
    plan.min_count = digits;
    plan.min_length = min_length(pattern);
    return plan;
  }
  return plan;
}

}  // namespace vintra::inspector::detail
