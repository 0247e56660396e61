// Captures what the logging facade writes while an instance is alive, for tests that
// assert on log lines (or only want them out of the test output).
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "src/logging/log.hpp"

namespace vintra::testing {

// Installs a capturing sink behind `filter` on construction and turns logging off on
// destruction. Lines are kept as written; the accessors give views of them:
//
//   raw_lines()  "2025-03-04T09:15:02.481337Z  INFO vintra_dlp: message k=v\n"
//   lines()      " INFO vintra_dlp: message k=v"   (no timestamp, no line feed)
//   entries()    "INFO vintra_dlp: message k=v"    (and no padding before the level)
//   messages("INFO", "vintra_dlp")  {"message k=v"}
//
// Every accessor may be called while other threads still log.
class LogCapture {
 public:
  explicit LogCapture(std::string_view filter = "trace") : sink_(std::make_shared<CaptureSink>()) {
    logging::install(*logging::Filter::parse(filter), sink_);
  }
  ~LogCapture() { logging::uninstall(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // The lines exactly as the sink received them.
  std::vector<std::string> raw_lines() const {
    std::lock_guard lock(sink_->mu);
    return sink_->lines;
  }

  // Each line without its timestamp and line feed; the level keeps its alignment in
  // five columns (" INFO", " WARN", "ERROR").
  std::vector<std::string> lines() const { return view(&without_timestamp); }

  // Each line without its timestamp, line feed and the blanks that align the level.
  std::vector<std::string> entries() const { return view(&entry_of); }

  // The messages (with their fields) of the lines of this level ("DEBUG", "WARN", ...)
  // and exactly this target, in order.
  std::vector<std::string> messages(std::string_view level, std::string_view target) const {
    const std::string head = std::string(level) + " " + std::string(target) + ": ";
    std::vector<std::string> out;
    for (std::string& entry : entries())
      if (entry.compare(0, head.size(), head) == 0) out.push_back(entry.substr(head.size()));
    return out;
  }

  std::size_t line_count() const {
    std::lock_guard lock(sink_->mu);
    return sink_->lines.size();
  }

  // How many entries contain `part`.
  std::size_t count(std::string_view part) const {
    std::lock_guard lock(sink_->mu);
    return count_locked(part);
  }

  // Waits until at least `n` entries contain `part`: true when they do, false after a
  // timeout generous enough that only a line that never comes reaches it.
  bool wait_for(std::string_view part, std::size_t n = 1) const {
    std::unique_lock lock(sink_->mu);
    return sink_->written.wait_for(lock, std::chrono::seconds(20), [&] { return count_locked(part) >= n; });
  }

  // Forgets the lines captured so far.
  void clear() {
    std::lock_guard lock(sink_->mu);
    sink_->lines.clear();
  }

  // Calls `f` with each raw line as it is written, on the writing thread and under the
  // capture's lock (so `f` must not call back into the capture).
  void on_line(std::function<void(const std::string&)> f) {
    std::lock_guard lock(sink_->mu);
    sink_->on_line = std::move(f);
  }

 private:
  // Shared with the logging facade, which may keep it after the capture is gone.
  struct CaptureSink : logging::Sink {
    void write_line(std::string_view line) override {
      {
        std::lock_guard lock(mu);
        lines.emplace_back(line);
        if (on_line) on_line(lines.back());
      }
      written.notify_all();
    }
    std::mutex mu;
    std::condition_variable written;
    std::vector<std::string> lines;
    std::function<void(const std::string&)> on_line;
  };

  // "2025-03-04T09:15:02.481337Z " is 28 bytes.
  static constexpr std::size_t kTimestampWidth = 28;

  static std::string_view without_timestamp(std::string_view line) {
    if (line.size() >= kTimestampWidth && line[kTimestampWidth - 2] == 'Z' &&
        line[kTimestampWidth - 1] == ' ')
      line.remove_prefix(kTimestampWidth);
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    return line;
  }
  static std::string_view entry_of(std::string_view line) {
    line = without_timestamp(line);
    while (!line.empty() && line.front() == ' ') line.remove_prefix(1);
    return line;
  }

  std::vector<std::string> view(std::string_view (*cut)(std::string_view)) const {
    std::lock_guard lock(sink_->mu);
    std::vector<std::string> out;
    out.reserve(sink_->lines.size());
    for (const std::string& line : sink_->lines) out.emplace_back(cut(line));
    return out;
  }
  std::size_t count_locked(std::string_view part) const {
    std::size_t n = 0;
    for (const std::string& line : sink_->lines) n += entry_of(line).find(part) != std::string_view::npos;
    return n;
  }

  std::shared_ptr<CaptureSink> sink_;
};

}  // namespace vintra::testing
