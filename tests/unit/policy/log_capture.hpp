// Captures the log lines emitted while an instance is alive.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "src/logging/log.hpp"

namespace vintra::policy::testing {

class CaptureSink : public logging::Sink {
 public:
  void write_line(std::string_view line) override {
    std::lock_guard<std::mutex> lock(mu_);
    lines_.emplace_back(line);
  }
  std::vector<std::string> lines() const {
    std::lock_guard<std::mutex> lock(mu_);
    return lines_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

class LogCapture {
 public:
  explicit LogCapture(std::string_view spec = "trace") : sink_(std::make_shared<CaptureSink>()) {
    logging::install(*logging::Filter::parse(spec), sink_);
  }
  ~LogCapture() { logging::uninstall(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // Messages of the lines with this level ("DEBUG", "WARN", ...) and target, in order.
  std::vector<std::string> messages(std::string_view level, std::string_view target) const {
    const std::string marker = std::string(level) + " " + std::string(target) + ": ";
    std::vector<std::string> out;
    for (const std::string& line : sink_->lines()) {
      const auto at = line.find(marker);
      if (at == std::string::npos) continue;
      std::string message = line.substr(at + marker.size());
      if (!message.empty() && message.back() == '\n') message.pop_back();
      out.push_back(std::move(message));
    }
    return out;
  }
  std::size_t line_count() const { return sink_->lines().size(); }

 private:
  std::shared_ptr<CaptureSink> sink_;
};

}  // namespace vintra::policy::testing
