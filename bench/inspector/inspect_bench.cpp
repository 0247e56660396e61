// vintra-inspect-bench: the whole inspection path over files, timed.
//
// For every FILE: read it as the inspection job does (at most 50 MiB), decode it
// lossily, run the catalogue, validate every candidate and tally them by entity.
// Prints one line per run and the median of the runs:
//   file=... bytes=... run=N read_ms=... decode_ms=... match_ms=... total_ms=... mbps=... candidates=...
//   retained=...
// With --per-detector, also the matching time of each detector alone.
//
// usage: vintra-inspect-bench [--runs N] [--per-detector] FILE...

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "common/platform/files.hpp"
#include "src/inspector/catalogue_impl.hpp"
#include "src/inspector/patterns.hpp"
#include "src/inspector/utf8.hpp"
#include "src/inspector/validators.hpp"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t kMaxScanBytes = 52428800;

double ms_since(Clock::time_point t) {
  return std::chrono::duration<double, std::milli>(Clock::now() - t).count();
}

struct Run {
  double read_ms, decode_ms, match_ms, total_ms;
  std::size_t bytes, candidates, retained;
};

bool run_once(const vintra::inspector::Catalogue& cat, const char* path, Run& r) {
  using namespace vintra;
  const auto t0 = Clock::now();
  auto bytes = platform::read_regular_file_up_to(path, kMaxScanBytes);
  if (!bytes) {
    std::fprintf(stderr, "%s: %s\n", path, bytes.error().render().c_str());
    return false;
  }
  r.bytes = bytes->size();
  r.read_ms = ms_since(t0);
  auto t = Clock::now();
  const std::string text = inspector::decode_lossy(std::move(*bytes));
  r.decode_ms = ms_since(t);
  t = Clock::now();
  std::unordered_map<std::string_view, std::pair<std::uint64_t, Severity>> tally;
  r.candidates = r.retained = 0;
  inspector::find_candidates(cat, text, [&](const inspector::Candidate& c) {
    ++r.candidates;
    if (!inspector::candidate_is_retained(c, std::string_view(text).substr(c.start, c.end - c.start))) return;
    ++r.retained;
    auto& [count, severity] = tally[c.entity];
    ++count;
    severity = std::max(severity, c.severity);
  });
  r.match_ms = ms_since(t);
  r.total_ms = ms_since(t0);
  return true;
}

void per_detector(const vintra::inspector::Catalogue& cat, const char* path) {
  using namespace vintra;
  auto bytes = platform::read_file(path);
  if (!bytes) return;
  const std::size_t size = bytes->size();
  const std::string text = inspector::decode_lossy(std::move(*bytes));
  const auto& impl = cat.impl();
  auto t = Clock::now();
  const inspector::Subject subject = inspector::prepare_subject(impl, text);
  std::printf("  prepare_ms=%.1f\n", ms_since(t));
  for (std::size_t i = 0; i < impl.detectors.size(); ++i) {
    std::size_t n = 0;
    t = Clock::now();
    inspector::scan_detector(impl, i, subject, [&](const inspector::Candidate&) { ++n; });
    const double ms = ms_since(t);
    std::printf("  detector=%s count=%zu ms=%.1f mbps=%.1f\n", std::string(impl.detectors[i].entity).c_str(),
                n, ms, static_cast<double>(size) / 1e3 / ms);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  bool detectors = false;
  std::vector<const char*> files;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (!std::strcmp(argv[i], "--per-detector")) {
      detectors = true;
    } else if (argv[i][0] == '-') {
      std::fputs("usage: vintra-inspect-bench [--runs N] [--per-detector] FILE...\n", stderr);
      return 2;
    } else {
      files.push_back(argv[i]);
    }
  }
  auto t = Clock::now();
  auto cat = vintra::inspector::build_catalogue();
  if (!cat) {
    std::fprintf(stderr, "DLP regex must compile: %s\n", cat.error().render().c_str());
    return 1;
  }
  std::printf("build_catalogue_ms=%.1f\n", ms_since(t));
  for (const char* f : files) {
    std::vector<Run> all;
    for (int k = 0; k < runs; ++k) {
      Run r{};
      if (!run_once(**cat, f, r)) return 1;
      std::printf(
          "file=%s bytes=%zu run=%d read_ms=%.1f decode_ms=%.1f match_ms=%.1f total_ms=%.1f mbps=%.1f "
          "candidates=%zu retained=%zu\n",
          f, r.bytes, k + 1, r.read_ms, r.decode_ms, r.match_ms, r.total_ms,
          static_cast<double>(r.bytes) / 1e3 / r.total_ms, r.candidates, r.retained);
      all.push_back(r);
    }
    std::sort(all.begin(), all.end(), [](const Run& a, const Run& b) { return a.total_ms < b.total_ms; });
    const Run& m = all[all.size() / 2];
    std::printf("file=%s median total_ms=%.1f mbps=%.1f (read %.1f, decode %.1f, match+validate %.1f)\n", f,
                m.total_ms, static_cast<double>(m.bytes) / 1e3 / m.total_ms, m.read_ms, m.decode_ms,
                m.match_ms);
    if (detectors) per_detector(**cat, f);
    std::fflush(stdout);
  }
  return 0;
}
