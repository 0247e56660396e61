// The scan tool's two output streams: reports on standard output, warnings and the
// progress line on standard error, kept from running into each other.
#pragma once

#include <memory>
#include <mutex>
#include <string_view>

#include "src/logging/log.hpp"

namespace vintra::scan {

class Console {
 public:
  // `progress`: whether a progress line may be drawn (standard error is a terminal);
  // `shared_terminal`: whether standard output shows on that terminal too, so that
  // the progress line must make way for reports.
  Console(bool progress, bool shared_terminal)
      : progress_enabled_(progress), shared_terminal_(shared_terminal) {}

  bool progress_enabled() const { return progress_enabled_; }

  // Writes `text` (whole lines) to standard error / standard output. Thread-safe.
  void err(std::string_view text);
  void out(std::string_view text);
  void flush_out();
  // Draws `text` as the progress line, replacing the previous one.
  void progress(std::string_view text);
  // Removes the progress line, if one is shown.
  void clear_progress();

 private:
  void clear_locked();

  std::mutex mu_;
  const bool progress_enabled_;
  const bool shared_terminal_;
  bool shown_ = false;
};

// A log sink that turns WARN and ERROR lines of the daemon's modules (the policy
// loader's "policies file not found at ...", say) into "warning: ..." and "error: ..."
// lines on the console's standard error.
std::shared_ptr<logging::Sink> console_log_sink(Console& console);

}  // namespace vintra::scan
