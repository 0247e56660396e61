// Helpers shared by the events tests: a scratch directory, whole-file reads and
// writes, a log capture, and a ready-made event.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "src/events/event.hpp"
#include "src/logging/log.hpp"

namespace vintra::events::testing {

inline UtcTime utc(std::int64_t seconds, std::int64_t nanos = 0) {
  return UtcTime(std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanos));
}

// 2024-06-03T16:00:00Z
inline constexpr std::int64_t kJune3 = 1717430400;

inline DlpEvent sample_event() {
  DlpEvent e;
  e.id = "1717430400123456000";
  e.timestamp = utc(kJune3, 123457000);
  e.channel = Channel::kRemovableUsb;
  e.direction = Direction::kOutbound;
  e.file_path = "/Volumes/KEY/notes.txt";
  e.file_size = 512;
  e.drive_label = "KEY";
  e.decision = Decision::kPending;
  e.findings = {{"EMAIL", 2, Severity::kMedium}};
  e.severity = Severity::kMedium;
  return e;
}

inline DlpEvent event_at(std::string id, UtcTime ts, Decision decision = Decision::kPending,
                         Channel channel = Channel::kRemovableUsb) {
  DlpEvent e = sample_event();
  e.id = std::move(id);
  e.timestamp = ts;
  e.decision = decision;
  e.channel = channel;
  return e;
}

class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vintra-events-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  const std::string& path() const { return path_; }
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

 private:
  std::string path_;
};

inline std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

inline void spit(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// Captures log lines without their timestamp: " INFO vintra_dlp: message fields".
class LogCapture : public logging::Sink {
 public:
  static std::shared_ptr<LogCapture> install() {
    auto sink = std::make_shared<LogCapture>();
    logging::install(*logging::Filter::parse("trace"), sink);
    return sink;
  }
  ~LogCapture() override = default;

  void write_line(std::string_view line) override {
    // "2024-06-03T16:00:00.000000Z " is 28 characters; the line feed goes too.
    std::string_view rest = line.substr(std::min<std::size_t>(28, line.size()));
    if (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
    std::lock_guard lock(mu_);
    lines_.emplace_back(rest);
    if (on_line_) on_line_(lines_.back());
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mu_);
    return lines_;
  }
  void clear() {
    std::lock_guard lock(mu_);
    lines_.clear();
  }
  // Called under the capture's lock for each line as it is written.
  void on_line(std::function<void(const std::string&)> f) { on_line_ = std::move(f); }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
  std::function<void(const std::string&)> on_line_;
};

// Restores "no logging" after a test that captured.
struct LogCaptureScope {
  std::shared_ptr<LogCapture> sink = LogCapture::install();
  ~LogCaptureScope() { logging::uninstall(); }
};

}  // namespace vintra::events::testing
