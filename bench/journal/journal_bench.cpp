// journal_bench [--events N] [--burst M] [--dir DIR] [--keep]
//
// Builds a journal of N events (default 1,000,000) and measures
//   1. an expirer pass that changes nothing (it must not write), three times,
//   2. a pass that expires pending decisions (rewrite, count unchanged),
//   3. a pass that prunes old decided events (rewrite, count drops),
//   4. load_events of the whole journal,
//   5. a burst of M events (default 10,000) through the consumer into a fresh
//      journal, checked to be persisted in order.
// Each step runs in a child process of its own so that its peak RSS is its own.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>

#include "common/platform/files.hpp"
#include "src/events/consumer.hpp"
#include "src/events/event_line.hpp"
#include "src/events/journal.hpp"
#include "src/runtime/bounded_queue.hpp"

namespace {

using namespace std::chrono_literals;
using vintra::Channel;
using vintra::Decision;
using vintra::DlpEvent;
using vintra::Severity;
using vintra::UtcTime;
namespace events = vintra::events;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// CPU seconds (user + system) of this process so far: on a shared machine the
// wall-clock figures drift with the load, these less so.
double cpu_seconds() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  auto tv = [](timeval t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
  return tv(ru.ru_utime) + tv(ru.ru_stime);
}

const UtcTime kNow = UtcTime(std::chrono::seconds(1717430400) + std::chrono::hours(24 * 30));

DlpEvent make_event(std::size_t i, UtcTime ts, Decision decision) {
  DlpEvent e;
  e.id = std::to_string(ts.time_since_epoch().count());
  e.timestamp = ts;
  e.channel = i % 3 == 0 ? Channel::kCloudSync : Channel::kRemovableUsb;
  e.file_path = "/Volumes/KEY/projects/report-" + std::to_string(i) + ".txt";
  e.file_size = 4096 + i;
  if (e.channel == Channel::kRemovableUsb) e.drive_label = "KEY";
  e.decision = decision;
  e.findings = {{"EMAIL", 2, Severity::kMedium}};
  if (i % 4 == 0) e.findings.push_back({"CREDIT_CARD", 1, Severity::kCritical});
  e.severity = i % 4 == 0 ? Severity::kCritical : Severity::kMedium;
  return e;
}

// N events spread over the six days before kNow, every tenth pending: recent ones
// (a pass at kNow changes nothing) or as old as their neighbours (a pass expires them).
std::size_t write_journal(const std::string& path, std::size_t n, bool old_pending) {
  std::string text;
  text.reserve(n * 400);
  for (std::size_t i = 0; i < n; ++i) {
    const auto age = std::chrono::seconds(static_cast<long>((n - i) * 6 * 86400 / n));
    const bool pending = i % 10 == 0;
    UtcTime ts = kNow - age;
    if (pending && !old_pending) ts = kNow - 60s;
    (void)events::append_event_json(
        text, make_event(i, ts, pending ? Decision::kPending : Decision::kAllowed));
    text.push_back('\n');
  }
  auto fd = vintra::platform::open_truncate_nofollow(path);
  if (!fd || !vintra::platform::write_all(fd->get(), text)) {
    std::fprintf(stderr, "cannot write %s\n", path.c_str());
    std::exit(1);
  }
  // Measure a journal at rest, not one whose pages are still being written back.
  ::fsync(fd->get());
  return text.size();
}

// Runs `step` in a child process and prints its peak RSS after what it printed.
void in_child(const char* name, const std::function<void()>& step) {
  std::fflush(stdout);
  pid_t pid = ::fork();
  if (pid == 0) {
    step();
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("  %s peak RSS: %ld MiB\n", name, ru.ru_maxrss / 1024);
    std::fflush(stdout);
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
}

struct timespec mtime_of(const std::string& path) {
  struct stat st{};
  ::stat(path.c_str(), &st);
  return st.st_mtim;
}

}  // namespace

int main(int argc, char** argv) {
  std::size_t n = 1'000'000, burst = 10'000;
  std::string dir;
  bool keep = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--keep") == 0) keep = true;
    if (i + 1 < argc && std::strcmp(argv[i], "--events") == 0) n = std::strtoull(argv[i + 1], nullptr, 10);
    if (i + 1 < argc && std::strcmp(argv[i], "--burst") == 0) burst = std::strtoull(argv[i + 1], nullptr, 10);
    if (i + 1 < argc && std::strcmp(argv[i], "--dir") == 0) dir = argv[i + 1];
  }
  if (dir.empty()) {
    std::string tmpl = (std::filesystem::temp_directory_path() / "journal-bench-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) return 1;
    dir = tmpl;
  }
  const std::string path = dir + "/dlp_events.jsonl";

  std::size_t bytes = write_journal(path, n, false);
  std::printf("journal: %zu events, %.1f MiB\n", n, static_cast<double>(bytes) / 1048576.0);

  in_child("unchanged pass", [&] {
    const auto before = mtime_of(path);
    for (int run = 0; run < 3; ++run) {
      auto t0 = Clock::now();
      const double c0 = cpu_seconds();
      auto report = events::expire_pass(path, 300s, kNow);
      std::printf("unchanged pass %d: %.3f s wall, %.3f s cpu (%zu records, rewritten=%d)\n",
                  run + 1, seconds_since(t0), cpu_seconds() - c0, report.before,
                  report.rewritten);
    }
    const auto after = mtime_of(path);
    const bool same = before.tv_sec == after.tv_sec && before.tv_nsec == after.tv_nsec;
    std::printf("  journal untouched: %s\n", same ? "yes" : "NO");
  });

  write_journal(path, n, true);
  in_child("expiring pass", [&] {
    auto t0 = Clock::now();
    const double c0 = cpu_seconds();
    auto report = events::expire_pass(path, 300s, kNow);
    std::printf("expiring pass: %.3f s wall, %.3f s cpu (%zu expired, %zu -> %zu, rewritten=%d)\n",
                seconds_since(t0), cpu_seconds() - c0, report.expired, report.before,
                report.after, report.rewritten);
  });

  // A day and a half later the oldest twelfth is past the retention window.
  in_child("pruning pass", [&] {
    auto t0 = Clock::now();
    const double c0 = cpu_seconds();
    auto report = events::expire_pass(path, 300s, kNow + 36h);
    std::printf("pruning pass: %.3f s wall, %.3f s cpu (%zu -> %zu, rewritten=%d)\n",
                seconds_since(t0), cpu_seconds() - c0, report.before, report.after,
                report.rewritten);
  });

  in_child("load_events", [&] {
    auto t0 = Clock::now();
    const double c0 = cpu_seconds();
    std::size_t loaded = events::load_events(path).size();
    std::printf("load_events: %.3f s wall, %.3f s cpu (%zu records)\n", seconds_since(t0),
                cpu_seconds() - c0, loaded);
  });

  in_child("consumer burst", [&] {
    const std::string burst_path = dir + "/burst/dlp_events.jsonl";
    auto [tx, rx] = vintra::runtime::make_bounded_queue<DlpEvent>(1024);
    auto t0 = Clock::now();
    std::thread consumer([&, rx = std::move(rx)]() mutable {
      events::run_event_consumer(burst_path, std::move(rx), {});
    });
    for (std::size_t i = 0; i < burst; ++i) {
      DlpEvent e = make_event(i, kNow, Decision::kPending);
      e.id = std::to_string(i);
      (void)tx.send(std::move(e));
    }
    tx.release();
    consumer.join();
    const double s = seconds_since(t0);
    auto persisted = events::load_events(burst_path);
    bool in_order = persisted.size() == burst;
    for (std::size_t i = 0; in_order && i < burst; ++i) {
      in_order = persisted[i].id == std::to_string(i);
    }
    std::printf("consumer burst: %zu events in %.3f s (%.0f events/s), in order: %s\n", burst, s,
                static_cast<double>(burst) / s, in_order ? "yes" : "NO");
  });

  if (keep) {
    std::printf("kept %s\n", dir.c_str());
  } else {
    std::filesystem::remove_all(dir);
  }
  return 0;
}
