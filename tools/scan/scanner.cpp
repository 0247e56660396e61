#include "tools/scan/scanner.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "src/events/event_line.hpp"
#include "src/inspector/inspect.hpp"
#include "tools/scan/report.hpp"

namespace vintra::scan {
namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kProgressDelay = std::chrono::seconds(1);
constexpr auto kProgressPeriod = std::chrono::milliseconds(250);
// Candidate lines of one file beyond this are written out early when that file is
// next in line, so that a file with millions of candidates is not held in memory.
constexpr std::size_t kSpillBytes = 1 << 20;

struct FileReport {
  std::string out;  // candidate lines, then the event line or the text line
  std::string err;  // warnings, printed just before `out`
  std::uint64_t bytes = 0;
  bool failed = false;
};

// `spill` is offered the candidate lines gathered so far whenever they grow large; it
// may write them out and clear them.
FileReport inspect_target(const Target& target, const inspector::Catalogue& catalogue,
                          const policy::Policies& policies, const ScanSettings& settings,
                          const std::function<void(std::string&)>& spill) {
  FileReport report;
  const std::string shown = display_path(target.path);
  inspector::CandidateObserver observer;
  std::size_t next_spill = kSpillBytes;
  if (settings.candidates) {
    observer = [&](const inspector::Candidate& c, std::string_view matched, bool retained) {
      append_candidate_line(report.out, target.path, c, matched, retained);
      if (report.out.size() >= next_spill) {
        spill(report.out);
        next_spill = report.out.size() + kSpillBytes;
      }
    };
  }
  const ScanJob job{target.path, std::nullopt, target.size, settings.source};
  const inspector::InspectionResult r = inspect_path(job, catalogue, policies, observer);
  report.bytes = r.bytes_read;

  if (r.read == inspector::ReadOutcome::kUnreadable && r.read_error) {
    report.err += "warning: cannot read " + shown + ": " + r.read_error->render() + "\n";
  } else if (r.read == inspector::ReadOutcome::kTooLarge) {
    report.err +=
        fmt::format("warning: not inspected, larger than {} bytes: {}\n", inspector::MAX_SCAN_BYTES, shown);
  }
  std::optional<Result<std::string>> line;
  if (r.event) {
    line = events::serialize_event_line(*r.event);
    // What the daemon's consumer would report, dropping the event.
    if (!*line) report.err += "warning: " + shown + ": persist event: " + line->error().render() + "\n";
  }
  if (settings.format == Format::kText) {
    report.out += text_line(target.path, r);
  } else if (line && *line) {
    report.out += **line;
    report.out += '\n';
  }
  return report;
}

}  // namespace

bool run_scan(const std::vector<Target>& targets, const inspector::Catalogue& catalogue,
              const policy::Policies& policies, const ScanSettings& settings, Console& console) {
  const std::size_t n = targets.size();
  if (n == 0) return true;
  const std::size_t workers = std::clamp<std::size_t>(std::thread::hardware_concurrency(), 1, n);
  const std::size_t window = workers * 4;

  std::mutex mu;
  std::condition_variable ready_cv;  // a report was stored
  std::condition_variable room_cv;   // the output moved on
  std::vector<std::optional<FileReport>> slots(n);
  std::size_t next_take = 0;
  std::size_t next_print = 0;
  std::size_t done = 0;
  std::uint64_t bytes_done = 0;

  auto work = [&] {
    for (;;) {
      std::size_t i = 0;
      {
        std::unique_lock lock(mu);
        room_cv.wait(lock, [&] { return next_take >= n || next_take < next_print + window; });
        if (next_take >= n) return;
        i = next_take++;
      }
      FileReport report;
      try {
        // Once every file before this one has been written, nothing else can reach
        // standard output until this one is done: its lines may go straight out.
        const auto spill = [&](std::string& lines) {
          {
            std::lock_guard lock(mu);
            if (next_print != i) return;
          }
          console.out(lines);
          lines.clear();
        };
        report = inspect_target(targets[i], catalogue, policies, settings, spill);
      } catch (const std::exception& e) {
        report = FileReport{};
        report.err = "error: " + display_path(targets[i].path) + ": " + e.what() + "\n";
        report.failed = true;
      }
      {
        std::lock_guard lock(mu);
        ++done;
        bytes_done += report.bytes;
        slots[i] = std::move(report);
      }
      ready_cv.notify_all();
    }
  };

  std::vector<std::thread> threads;
  threads.reserve(workers);
  for (std::size_t w = 0; w < workers; ++w) threads.emplace_back(work);

  const auto start = Clock::now();
  auto last_progress = start;
  // Called with `lock` held; draws the progress line when it is due.
  auto maybe_progress = [&](std::unique_lock<std::mutex>& lock) {
    if (!console.progress_enabled()) return;
    const auto now = Clock::now();
    if (now - start < kProgressDelay || now - last_progress < kProgressPeriod) return;
    last_progress = now;
    const std::string text = fmt::format("scanned {}/{} files, {:.1f} MiB", done, n,
                                         static_cast<double>(bytes_done) / (1024.0 * 1024.0));
    lock.unlock();
    console.progress(text);
    lock.lock();
  };

  bool ok = true;
  for (std::size_t p = 0; p < n; ++p) {
    std::unique_lock lock(mu);
    if (!slots[p]) {
      // What is written so far goes out before the wait, not at the end.
      lock.unlock();
      console.flush_out();
      lock.lock();
    }
    while (!slots[p]) {
      if (console.progress_enabled()) {
        ready_cv.wait_for(lock, kProgressPeriod);
        if (!slots[p]) maybe_progress(lock);
      } else {
        ready_cv.wait(lock, [&] { return slots[p].has_value(); });
      }
    }
    FileReport report = std::move(*slots[p]);
    slots[p].reset();
    lock.unlock();
    if (!report.err.empty()) console.err(report.err);
    if (!report.out.empty()) console.out(report.out);
    ok = ok && !report.failed;
    lock.lock();
    // Only now, with this file written, may the next one write its own lines.
    next_print = p + 1;
    room_cv.notify_all();
    maybe_progress(lock);
  }
  for (auto& t : threads) t.join();
  console.clear_progress();
  console.flush_out();
  return ok;
}

}  // namespace vintra::scan
