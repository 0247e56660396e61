// Helpers of the inspection tests: the catalogue, policies from YAML text, a scratch
// directory and a log capture.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "src/inspector/patterns.hpp"
#include "src/logging/log.hpp"
#include "src/policy/policies.hpp"

namespace vintra::inspector::testing {

inline std::shared_ptr<const Catalogue> catalogue() {
  static const std::shared_ptr<const Catalogue> c = [] {
    auto built = build_catalogue();
    if (!built) std::abort();
    return std::move(built).value();
  }();
  return c;
}

inline policy::Policies policies_from(std::string_view yaml) {
  auto p = policy::parse_policies(yaml);
  if (!p) {
    ADD_FAILURE() << "policies do not parse: " << p.error().render();
    return {};
  }
  return std::move(p).value();
}

class ScratchDir {
 public:
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vintra-inspect-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    path_ = tmpl;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

  std::string write(std::string_view name, std::string_view content) const {
    const std::string p = *this / name;
    std::ofstream out(p, std::ios::binary);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    return p;
  }

 private:
  std::string path_;
};

class CaptureSink : public logging::Sink {
 public:
  void write_line(std::string_view line) override {
    std::lock_guard lock(mu_);
    lines_.emplace_back(line);
  }
  std::vector<std::string> lines() const {
    std::lock_guard lock(mu_);
    return lines_;
  }

 private:
  mutable std::mutex mu_;
  std::vector<std::string> lines_;
};

// Captures every line that `filter` lets through while alive.
class LogCapture {
 public:
  explicit LogCapture(std::string_view filter = "trace") : sink_(std::make_shared<CaptureSink>()) {
    logging::install(*logging::Filter::parse(filter), sink_);
  }
  ~LogCapture() { logging::uninstall(); }
  LogCapture(const LogCapture&) = delete;
  LogCapture& operator=(const LogCapture&) = delete;

  // "LEVEL target: message" of every line, without timestamp and line feed.
  std::vector<std::string> entries() const {
    std::vector<std::string> out;
    for (std::string line : sink_->lines()) {
      if (!line.empty() && line.back() == '\n') line.pop_back();
      const auto z = line.find("Z ");
      std::string rest = z == std::string::npos ? line : line.substr(z + 2);
      rest.erase(0, rest.find_first_not_of(' '));
      out.push_back(std::move(rest));
    }
    return out;
  }

 private:
  std::shared_ptr<CaptureSink> sink_;
};

}  // namespace vintra::inspector::testing
