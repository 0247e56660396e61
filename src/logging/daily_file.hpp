// The daily log file: "vintra-dlp.log.YYYY-MM-DD" (the UTC date) directly in one
// directory, a new file from each UTC midnight on. Old files are left alone.
#pragma once

#include <atomic>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "common/platform/files.hpp"
#include "src/logging/clock.hpp"
#include "src/logging/log.hpp"

namespace vintra::logging {

class DailyFileSink final : public Sink {
 public:
  // Opens the file for the log clock's current date for appending: created (0666
  // before the umask) when missing, never truncated, never through a symbolic link at
  // its name. When that fails, the directory is created with its parents and the open
  // is tried once more. Errors: "failed to create log directory: {os error}" or
  // "failed to create log file: {os error}".
  static Result<std::shared_ptr<DailyFileSink>> open(std::string directory);

  // Writes the line with one write call (continued only after a partial write) while
  // holding the file lock shared, so concurrent lines never interleave. At or after
  // the next UTC midnight, the one thread whose compare-and-swap advances the
  // rotation point opens the new day's file and swaps it in under the lock held
  // exclusively; if that open fails, "Couldn't create writer for logs: {error}" goes
  // to standard error and writing goes on in the old file. A failed write loses the
  // line and leaves a notice on standard error. Thread-safe; never throws.
  void write_line(std::string_view line) noexcept override;

  // "vintra-dlp.log.YYYY-MM-DD" for the UTC date of `when`.
  static std::string file_name_for(LogClock::time_point when);

 private:
  DailyFileSink(std::string directory, platform::UniqueFd fd, LogClock::time_point next_rotation);
  void rotate(LogClock::time_point now) noexcept;

  const std::string directory_;
  // Start of the UTC day after the open file's day, as a count of clock ticks.
  std::atomic<LogClock::rep> next_rotation_;
  std::shared_mutex file_mutex_;  // shared: writing a line; exclusive: swapping the file
  platform::UniqueFd fd_;
};

}  // namespace vintra::logging
