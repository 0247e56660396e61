// Recording stand-ins for the system commands the network block runs, first on PATH.
#pragma once

#include <stdlib.h>

#include <array>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/files.hpp"

namespace vintra::network::testing {

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
      vintra::testing::write_file(path, script);
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
    return vintra::testing::lines_of(vintra::testing::read_file(log_));
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
