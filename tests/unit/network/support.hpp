// Scaffolding for the network tests: a scratch directory, captured log lines, and
// recording stand-ins for the system commands, first on PATH.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "src/logging/log.hpp"

namespace vintra::network::testing {

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

inline void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vintra-network-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    root_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(root_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string path(std::string_view name) const { return root_ + "/" + std::string(name); }
  const std::string& root() const { return root_; }

 private:
  std::string root_;
};

// Collects every log line, without its timestamp ("INFO target: message fields").
class LogCapture : public logging::Sink {
 public:
  static std::shared_ptr<LogCapture> install() {
    auto sink = std::make_shared<LogCapture>();
    logging::install(*logging::Filter::parse("trace"), sink);
    return sink;
  }

  void write_line(std::string_view line) override {
    // "2025-03-04T09:15:02.481337Z  INFO target: ..." -> "INFO target: ..."
    std::string_view rest = line.size() > 28 ? line.substr(28) : line;
    while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
    if (!rest.empty() && rest.back() == '\n') rest.remove_suffix(1);
    {
      std::lock_guard lock(mu_);
      lines_.emplace_back(rest);
    }
    cv_.notify_all();
  }

  std::vector<std::string> lines() const {
    std::lock_guard lock(mu_);
    return lines_;
  }

  std::size_t count(std::string_view part) const {
    std::lock_guard lock(mu_);
    std::size_t n = 0;
    for (const auto& l : lines_) n += l.find(part) != std::string::npos;
    return n;
  }

  // Waits (generously, so a loaded machine does not fail the test) until at least `n`
  // lines contain `part`.
  bool wait_for(std::string_view part, std::size_t n = 1) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, std::chrono::seconds(20), [&] {
      std::size_t seen = 0;
      for (const auto& l : lines_) seen += l.find(part) != std::string::npos;
      return seen >= n;
    });
  }

 private:
  mutable std::mutex mu_;
  std::condition_variable cv_;
  std::vector<std::string> lines_;
};

// Shell stand-ins for defaults, pfctl, dscacheutil and killall. Each appends one line,
// its name and arguments separated by "|", to a log, then exits 0 unless its command
// line (name and arguments joined by spaces) matches the glob set by fail(): then it
// exits with the given code, or is killed by SIGKILL when the code is "signal".
// PATH holds only their directory while they are in place.
class StandIns {
 public:
  explicit StandIns(const std::string& dir) : dir_(dir), log_(dir + "/calls.log") {
    std::filesystem::create_directories(dir_);
    for (const char* name : {"defaults", "pfctl", "dscacheutil", "killall"}) {
      std::string script = std::string("#!/bin/sh\nline=") + name +
                           "\nfor a in \"$@\"; do line=\"$line|$a\"; done\n"
                           "printf '%s\\n' \"$line\" >> \"$VINTRA_STANDIN_LOG\"\n"
                           "case \"" +
                           name +
                           " $*\" in\n"
                           "  ${VINTRA_STANDIN_FAIL_GLOB:-__never__}) ;;\n"
                           "  *) exit 0 ;;\n"
                           "esac\n"
                           "if [ \"$VINTRA_STANDIN_FAIL_HOW\" = signal ]; then kill -KILL $$; fi\n"
                           "exit \"${VINTRA_STANDIN_FAIL_HOW:-1}\"\n";
      std::string path = dir_ + "/" + name;
      write_file(path, script);
      std::filesystem::permissions(path, std::filesystem::perms::owner_all);
    }
    for (std::size_t i = 0; i < kVars.size(); ++i)
      if (const char* old = ::getenv(kVars[i])) saved_[i] = old;
    ::setenv("PATH", dir_.c_str(), 1);
    ::setenv("VINTRA_STANDIN_LOG", log_.c_str(), 1);
    ::unsetenv("VINTRA_STANDIN_FAIL_GLOB");
    ::unsetenv("VINTRA_STANDIN_FAIL_HOW");
  }
  // Puts back what was there, so stand-ins can be nested.
  ~StandIns() {
    for (std::size_t i = 0; i < kVars.size(); ++i) {
      if (saved_[i])
        ::setenv(kVars[i], saved_[i]->c_str(), 1);
      else
        ::unsetenv(kVars[i]);
    }
  }
  StandIns(const StandIns&) = delete;
  StandIns& operator=(const StandIns&) = delete;

  void fail(const std::string& glob, const std::string& how) {
    ::setenv("VINTRA_STANDIN_FAIL_GLOB", glob.c_str(), 1);
    ::setenv("VINTRA_STANDIN_FAIL_HOW", how.c_str(), 1);
  }
  void remove(const std::string& name) { std::filesystem::remove(dir_ + "/" + name); }

  std::vector<std::string> calls() const {
    std::vector<std::string> out;
    std::istringstream in(read_file(log_));
    for (std::string line; std::getline(in, line);) out.push_back(line);
    return out;
  }
  void clear_calls() { std::filesystem::remove(log_); }

 private:
  std::string dir_;
  std::string log_;
  static constexpr std::array<const char*, 4> kVars = {"PATH", "VINTRA_STANDIN_LOG",
                                                       "VINTRA_STANDIN_FAIL_GLOB", "VINTRA_STANDIN_FAIL_HOW"};
  std::array<std::optional<std::string>, 4> saved_;
};

}  // namespace vintra::network::testing
