// The process-wide structured log. An event has a level, a target (the emitting
// module, such as "vintra_dlp::network::hosts"), a message and named fields, and
// becomes one line of the daily log file:
//   2025-03-04T09:15:02.481337Z  INFO vintra_dlp: Korvane DLP starting key="value"
//
// Emit through VINTRA_LOG so that an event the filter rejects costs no formatting:
//   VINTRA_LOG(Level::kInfo, kTarget, fmt::format("loaded {} DLP policies", n));
//   VINTRA_LOG(Level::kInfo, kTarget, "DLP reload task started", {Field::display("initial", v)});
// Safe from any thread at any time; before set-up (or after an empty filter) nothing
// is written. Emitting never fails and never blocks on anything but the file write.
#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace vintra::logging {

enum class Level { kTrace = 5, kDebug = 4, kInfo = 3, kWarn = 2, kError = 1 };

// Targets of this system.
inline constexpr std::string_view kTargetMain = "vintra_dlp";
inline constexpr std::string_view kTargetPolicy = "vintra_dlp::policy";
inline constexpr std::string_view kTargetHosts = "vintra_dlp::network::hosts";
inline constexpr std::string_view kTargetDoh = "vintra_dlp::network::doh_block";

// One named field, its value already in its written form.
struct Field {
  std::string name;
  std::string value;

  // A plain text: written in double quotes, with quotes, backslashes and control
  // characters escaped.
  static Field text(std::string name, std::string_view value);
  // A value recorded in display form: written as it is, without quotes.
  static Field display(std::string name, std::string_view value);
  static Field uint(std::string name, std::uint64_t value);
  static Field integer(std::string name, std::int64_t value);
  static Field boolean(std::string name, bool value);
};

// Whether an event of this level and target passes the filter in force.
bool enabled(Level level, std::string_view target);

// Formats and writes one event (the filter is applied again, so calling it directly
// is correct, only less thrifty than VINTRA_LOG).
void emit(Level level, std::string_view target, std::string_view message,
          std::initializer_list<Field> fields = {});

// Where formatted lines go. The daily file writer is one; tests install their own.
class Sink {
 public:
  virtual ~Sink() = default;
  // `line` is one complete line, line feed included. Called concurrently.
  virtual void write_line(std::string_view line) = 0;
};

// A parsed filter specification such as "info" or "vintra_dlp::network=debug,warn".
class Filter {
 public:
  // Parses a specification; nothing when it cannot be parsed (callers then use "info").
  static std::optional<Filter> parse(std::string_view spec);
  bool allows(Level level, std::string_view target) const;

  struct Directive {
    std::string target;  // empty: applies to every target
    int max_level;       // 0 (off) to 5 (trace)
  };

 private:
  std::vector<Directive> directives_;  // most specific (longest target) first
};

// Replaces the process-wide filter and sink. For set-up and for tests; a null sink
// turns logging off.
void install(Filter filter, std::shared_ptr<Sink> sink);
void uninstall();

// Formats one line exactly as the file holds it (timestamp now, level, target,
// message, fields, line feed).
std::string format_line(Level level, std::string_view target, std::string_view message,
                        std::initializer_list<Field> fields);

// Sets up logging for the daemon: filter from `level_spec` ("info" when it does not
// parse), daily file "vintra-dlp.log.YYYY-MM-DD" in `directory` (created with its
// parents when missing). Fails with "initializing rolling file appender failed" and its
// cause, or with "Unable to install global subscriber" when called twice. The caller
// turns a failure into exit status 101.
Status init_daemon_logging(std::string_view level_spec, const std::string& directory);

}  // namespace vintra::logging

#define VINTRA_LOG(level, target, ...)                         \
  do {                                                         \
    if (::vintra::logging::enabled((level), (target)))         \
      ::vintra::logging::emit((level), (target), __VA_ARGS__); \
  } while (0)
