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

#include <chrono>
#include <cstdint>
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

  // A plain text: written in double quotes. Escaped: \" \\ \n \r \t \0, every other
  // control character (C0, DEL, C1) and U+2028/U+2029 as \u{hex} in lower case without
  // leading zeros (\u{1b}), and each byte that is not part of valid UTF-8 as \xHH
  // (upper case), so that a field never breaks its line and the file stays UTF-8.
  static Field text(std::string name, std::string_view value);
  // A value recorded in display form: written as it is, without quotes.
  static Field display(std::string name, std::string_view value);
  static Field uint(std::string name, std::uint64_t value);
  static Field integer(std::string name, std::int64_t value);
  static Field boolean(std::string name, bool value);
};

// Whether an event of this level and target passes the filter in force. Lock-free:
// one atomic load and a walk over a few directives.
bool enabled(Level level, std::string_view target) noexcept;

// Formats and writes one event (the filter is applied again, so calling it directly
// is correct, only less thrifty than VINTRA_LOG). Never throws; an event that cannot
// be formatted or written is dropped with a notice on standard error.
void emit(Level level, std::string_view target, std::string_view message,
          std::initializer_list<Field> fields = {}) noexcept;

// Where formatted lines go. The daily file writer is one; tests install their own.
class Sink {
 public:
  virtual ~Sink() = default;
  // `line` is one complete line, line feed included. Called concurrently.
  virtual void write_line(std::string_view line) = 0;
};

// A parsed filter such as "info" or "vintra_dlp::network=debug,warn".
//
// Directives are separated by commas; empty pieces and white space around a piece,
// a target or a level are ignored. A directive is
//   LEVEL          applies to every target
//   TARGET=LEVEL   applies to targets that begin with TARGET
//   TARGET         the same with every level enabled
// LEVEL is off, error, warn, info, debug or trace in any letter case, or a number
// from 0 (off) to 5 (trace). TARGET is a non-empty run of ASCII letters, digits, '_',
// ':', '-' or non-ASCII bytes. A directive matches an event's target when its TARGET
// is a plain string prefix of it ("vintra_dlp::net" matches "vintra_dlp::network::hosts",
// and so does "vintra"). The longest matching TARGET decides, a level-only directive
// last; when one TARGET is given twice, the later directive wins. An event that no
// directive matches is rejected, so the empty filter rejects everything.
// Anything else (a second '=', a word after '=' that is not a level, an empty TARGET,
// span or field selectors) makes the whole filter unparsable.
class Filter {
 public:
  // Parses a filter; nothing when it cannot be parsed (callers then use "info").
  static std::optional<Filter> parse(std::string_view directives);
  // parse(), with "info" in place of a filter that does not parse.
  static Filter parse_or_info(std::string_view directives);
  bool allows(Level level, std::string_view target) const noexcept;

  struct Directive {
    std::string target;  // empty: applies to every target
    int max_level;       // 0 (off) to 5 (trace)
  };

 private:
  std::vector<Directive> directives_;  // most specific (longest target) first
  int max_level_ = 0;                  // highest level any directive allows: quick reject
};

// Replaces the process-wide filter and sink. For set-up and for tests; a null sink
// turns logging off. Emitting threads never wait for this: the new set-up is published
// with one atomic pointer swap, and a replaced one stays in memory (with its sink) until
// the process ends, because a thread may still be writing through it. Set-up happens
// once per process, tests do it a few times, so what stays is small.
void install(Filter filter, std::shared_ptr<Sink> sink);
// Turns logging off and forgets an earlier init_daemon_logging (for tests).
void uninstall();

// Formats one line exactly as the file holds it: UTC timestamp with microseconds,
// level right-aligned in five characters, target, ": ", message, " name=value" for
// each field, line feed. The first form stamps the line with the log clock's now.
std::string format_line(Level level, std::string_view target, std::string_view message,
                        std::initializer_list<Field> fields);
std::string format_line(std::chrono::system_clock::time_point when, Level level,
                        std::string_view target, std::string_view message,
                        std::initializer_list<Field> fields);

// Sets up logging for the daemon: filter from `level_spec` ("info" when it does not
// parse), daily file "vintra-dlp.log.YYYY-MM-DD" in `directory` (created with its
// parents when missing; see daily_file.hpp), opened even when the filter lets nothing
// through. Fails with "initializing rolling file appender failed" caused by "failed to
// create log directory: {os error}" or "failed to create log file: {os error}", or with
// "Unable to install global subscriber" when it succeeded before. The caller turns a
// failure into exit status 101.
Status init_daemon_logging(std::string_view level_spec, const std::string& directory);

}  // namespace vintra::logging

#define VINTRA_LOG(level, target, ...)                         \
  do {                                                         \
    if (::vintra::logging::enabled((level), (target)))         \
      ::vintra::logging::emit((level), (target), __VA_ARGS__); \
  } while (0)
