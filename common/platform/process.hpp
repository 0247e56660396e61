// Child processes: the system commands this daemon drives (launchctl, dscacheutil,
// killall, defaults, pfctl) are started with the daemon's standard streams and waited for.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"

namespace vintra::platform {

struct ExitStatus {
  std::optional<int> code;  // absent when the child was ended by a signal
  int signal = 0;           // the signal that ended it, or 0
  bool success() const { return code && *code == 0; }
  // "3" for an exit code, "signal 9" for a child ended by a signal: how a status is
  // shown in error texts ("... exit 3").
  std::string to_string() const;
};

// Runs `program` (looked up through PATH when it holds no slash) with `args`,
// inheriting standard input, output and error, and waits for it. The child starts
// with an empty signal mask and default dispositions, whatever the daemon blocked
// or ignored. Fails only when the child cannot be created (the system's error).
// Thread-safe.
Result<ExitStatus> run_command(const std::string& program, const std::vector<std::string>& args);

}  // namespace vintra::platform
