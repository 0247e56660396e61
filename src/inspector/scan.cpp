#include "src/inspector/scan.hpp"

#include <re2/re2.h>

#include <algorithm>
#include <bit>
#include <cstring>

#include "src/inspector/byte_scan.hpp"

namespace vintra::inspector::detail {
namespace {

using u64 = std::uint64_t;

const unsigned char* bytes_of(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

// The leftmost match of `re` inside [from, to); the text around is context.
bool find_first(const RE2& re, std::string_view subject, std::size_t from, std::size_t to, RE2::Anchor anchor,
                std::size_t& start, std::size_t& end) {
  const re2::StringPiece whole(subject.data(), subject.size());
  re2::StringPiece m;
  if (from >= to || !re.Match(whole, from, to, anchor, &m, 1)) return false;
  start = static_cast<std::size_t>(m.data() - subject.data());
  end = start + m.size();
  return true;
}

void scan_literal(const RE2& re, const Plan& plan, std::string_view subject, MatchSink sink) {
  const auto* s = bytes_of(subject);
  const std::size_t n = subject.size();
  const std::size_t off = plan.literal_offset;
  const std::string& lit = plan.literal;
  std::size_t from = off;   // where the next literal may start
  std::size_t run_end = 0;  // end of the alphabet run last measured (unbounded matches)
  while (from + lit.size() <= n) {
    const std::size_t q = find_literal(s, from, n, lit);
    if (q == n) return;
    const std::size_t start = q - off;
    // Everything before the literal must be able to belong to a match.
    std::size_t i = q;
    while (i > start && plan.before.contains(s[i - 1])) --i;
    if (i != start) {
      from = q + 1;
      continue;
    }
    std::size_t ms;
    std::size_t me;
    if (plan.max_length != kUnbounded) {
      if (find_first(re, subject, start, std::min(n, start + plan.max_length), RE2::ANCHOR_START, ms, me)) {
        sink(ms, me);
        from = me + off;
      } else {
        from = q + 1;
      }
      continue;
    }
    // Unbounded: every match starting in [start, run_end) lies in that run of the
    // pattern's alphabet, so one unanchored search there finds the first or rules
    // them all out.
    if (start >= run_end) {
      run_end = start;
      while (run_end < n && plan.alphabet.contains(s[run_end])) ++run_end;
    }
    if (find_first(re, subject, start, run_end, RE2::UNANCHORED, ms, me)) {
      sink(ms, me);
      from = me + off;
    } else {
      from = run_end + off;
    }
  }
}

std::size_t step_back(const unsigned char* s, std::size_t i, std::size_t limit, const Plan::Step& step) {
  std::size_t k = 0;
  while (i > limit && k < step.bound && step.bytes.contains(s[i - 1])) --i, ++k;
  return i;
}

std::size_t step_forward(const unsigned char* s, std::size_t i, std::size_t n, const Plan::Step& step) {
  std::size_t k = 0;
  while (i < n && k < step.bound && step.bytes.contains(s[i])) ++i, ++k;
  return i;
}

void scan_anchor(const RE2& re, const Plan& plan, std::string_view subject, MatchSink sink) {
  const auto* s = bytes_of(subject);
  const std::size_t n = subject.size();
  std::size_t pos = 0;  // no match may start before this
  for (std::size_t q = find_in(plan.anchor, s, 0, n); q < n; q = find_in(plan.anchor, s, q + 1, n)) {
    if (!plan.tail.empty()) {
      std::size_t b = q;
      for (std::size_t k = 0; k < plan.tail_skip; ++k) b = step_back(s, b, pos, plan.back[k]);
      if (b - pos < plan.tail.size()) continue;
      bool ok = true;
      for (std::size_t k = 0; k < plan.tail.size(); ++k) ok &= plan.tail[k].contains(s[b - 1 - k]);
      if (!ok) continue;
    }
    std::size_t from = q;
    for (const auto& step : plan.back) from = step_back(s, from, pos, step);
    std::size_t to = q + 1;
    for (const auto& step : plan.forward) to = step_forward(s, to, n, step);
    std::size_t ms;
    std::size_t me;
    if (find_first(re, subject, from, to, RE2::UNANCHORED, ms, me)) {
      sink(ms, me);
      pos = me;
      if (me > q + 1) q = me - 1;  // the next anchor is searched from the end of the match
    }
  }
}

// Baseline x86-64 has no population-count instruction, and the compiler's fallback
// is a library call; this is a few instructions inline.
inline std::size_t popcount64(u64 x) {
#if defined(__POPCNT__) || defined(__aarch64__)
  return static_cast<std::size_t>(__builtin_popcountll(x));
#else
  x = x - ((x >> 1) & 0x5555555555555555ULL);
  x = (x & 0x3333333333333333ULL) + ((x >> 2) & 0x3333333333333333ULL);
  x = (x + (x >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
  return static_cast<std::size_t>((x * 0x0101010101010101ULL) >> 56);
#endif
}

// Bits [0, k) set; k < 64.
inline u64 low_bits(unsigned k) {
  return (u64{1} << k) - 1;
}

// Bit i set where bits i .. i + length - 1 of m are all set.
inline u64 runs_at_least(u64 m, std::size_t length) {
  std::size_t covered = 1;
  while (covered < length && m) {
    const std::size_t step = std::min(covered, length - covered);
    m &= m >> step;
    covered += step;
  }
  return m;
}

void scan_runs(const RE2& re, const Plan& plan, std::string_view subject, MatchSink sink) {
  const auto* s = bytes_of(subject);
  const std::size_t n = subject.size();
  const ByteSet& in_run = plan.alphabet;
  const ByteSet& counted = plan.counted;
  auto finish = [&](std::size_t start, std::size_t end, std::size_t count) {
    if (end - start >= plan.min_length && count >= plan.min_count) scan_plain(re, subject, start, end, sink);
  };
  const bool vector = counted.range_count() != 0 && plan.uncounted.range_count() != 0;
  bool open = false;  // a run reaches the end of the previous block
  std::size_t open_start = 0;
  std::size_t open_count = 0;
  for (std::size_t b = 0; b < n; b += 64) {
    const std::size_t len = std::min<std::size_t>(64, n - b);
    u64 m;
    u64 d;
    if (len == 64 && vector) {
      masks64(counted, plan.uncounted, s + b, d, m);
    } else {
      m = mask_partial(in_run, s + b, len);
      d = mask_partial(counted, s + b, len);
    }
    if (open) {
      if (m == ~u64{0}) {
        open_count += popcount64(d);
        continue;
      }
      const auto t = static_cast<unsigned>(std::countr_one(m));
      open_count += popcount64(d & low_bits(t));
      finish(open_start, b + t, open_count);
      open = false;
      m &= ~low_bits(t);
    }
    u64 inner = m;
    if (len == 64 && (m >> 63)) {
      // The last run goes on into the next block.
      const unsigned last = m == ~u64{0} ? 0 : 64 - static_cast<unsigned>(std::countl_one(m));
      open = true;
      open_start = b + last;
      open_count = popcount64(last == 0 ? d : d >> last);
      inner = last == 0 ? 0 : m & low_bits(last);
    }
    if (!inner || popcount64(d & inner) < plan.min_count) continue;
    // Only the runs that are long enough: each starts where a group of `long_enough`
    // starts (bits i .. i + min_length - 1 all in the run).
    u64 long_enough = runs_at_least(inner, plan.min_length);
    while (long_enough) {
      const auto start = static_cast<unsigned>(std::countr_zero(long_enough));
      const auto length = static_cast<unsigned>(std::countr_one(inner >> start));
      const u64 run = low_bits(length) << start;  // length < 64: bit 63 of inner is clear
      finish(b + start, b + start + length, popcount64(d & run));
      long_enough &= ~(run | low_bits(start));
    }
  }
  if (open) finish(open_start, n, open_count);
}

}  // namespace

void scan_plain(const RE2& re, std::string_view subject, std::size_t from, std::size_t to, MatchSink sink) {
  std::size_t start;
  std::size_t end;
  while (find_first(re, subject, from, to, RE2::UNANCHORED, start, end)) {
    sink(start, end);
    from = end > start ? end : end + 1;  // no pattern matches empty; guard anyway
  }
}

void scan(const RE2& re, const Plan& plan, std::string_view subject, MatchSink sink) {
  switch (plan.kind) {
    case Plan::Kind::kNever:
      return;
    case Plan::Kind::kLiteral:
      return scan_literal(re, plan, subject, sink);
    case Plan::Kind::kAnchor:
      return scan_anchor(re, plan, subject, sink);
    case Plan::Kind::kRuns:
      return scan_runs(re, plan, subject, sink);
    case Plan::Kind::kScan:
      break;
  }
  scan_plain(re, subject, 0, subject.size(), sink);
}

}  // namespace vintra::inspector::detail
