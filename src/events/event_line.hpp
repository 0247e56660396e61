// One journal line: the JSON text of a DlpEvent, written byte for byte the same way
// every time and read back strictly.
//
// Written form: one object, no whitespace, the thirteen keys always present in the
// record's field order, absent optionals as null, enums by their JSON names, times
// as RFC 3339 UTC with a "Z" and a 0/3/6/9-digit fraction, strings escaped
// minimally (\" \\ \b \t \n \f \r, other control characters as \u00xx, everything
// else as raw UTF-8). A line read back and written again is byte-identical.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "common/error.hpp"
#include "src/events/event.hpp"

namespace vintra::events {

// The one way serialisation fails.
inline constexpr std::string_view kInvalidPathUtf8 = "path contains invalid UTF-8 characters";

// The line without its terminating line feed. Fails only when `file_path` is not
// valid UTF-8 (kInvalidPathUtf8). The other text fields come from this program's own
// code or from the volume (drive_label); if one of them holds ill-formed UTF-8 it is
// written with U+FFFD in place of the bad bytes rather than losing the whole event or
// putting bytes into the journal that would make it unreadable as a whole.
Result<std::string> serialize_event_line(const DlpEvent& event);
// The same, appended to `out` (no line feed); `out` is unchanged on failure.
Status append_event_json(std::string& out, const DlpEvent& event);

// Reads one line (without its line terminator). Nothing when the line is not exactly
// one JSON object of the journal's form:
// - JSON whitespace around the object only; any other trailing text rejects;
// - the whole line must be valid JSON, including the values of unknown keys, which
//   are otherwise ignored; any key occurring twice (known or not, at the top level
//   or in a finding) rejects;
// - required: id, timestamp, channel, direction, file_path, file_size, decision,
//   findings, severity; optional (absent or null): drive_label, process,
//   decided_by, decided_at;
// - file_size and match_count are integer literals in 0..2^64-1 (1.0 or 1e3 reject;
//   -0 reads as 0);
// - enum names are matched exactly (case-sensitive);
// - times: see parse_rfc3339.
std::optional<DlpEvent> parse_event_line(std::string_view line);

// Parses many lines with one reused parser and reused record storage; this is what
// the journal uses. One instance per thread.
class EventLineParser {
 public:
  // Bytes that must be readable (though never interpreted) after the end of a line
  // given to parse_padded.
  static constexpr std::size_t kPadding = 64;

  EventLineParser();
  ~EventLineParser();
  EventLineParser(const EventLineParser&) = delete;
  EventLineParser& operator=(const EventLineParser&) = delete;

  // Parses `line` into `out`, reusing its storage. On false `out` holds garbage.
  bool parse(std::string_view line, DlpEvent& out);
  // The same without a copy: REQUIRES kPadding readable bytes after line's end
  // (for example the rest of a file buffer read with that much spare capacity).
  bool parse_padded(std::string_view line, DlpEvent& out);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// RFC 3339 UTC: "2024-06-03T16:00:00.123457Z" (fraction as described above).
std::string format_utc_time(UtcTime t);
void append_utc_time(std::string& out, UtcTime t);

// Any RFC 3339 date-time: "T" or "t", "Z", "z" or a numeric offset (converted to
// UTC; "-00:00" is UTC), a fraction of any length (digits beyond nanoseconds are
// truncated), second 60 (a leap second, counted as the first second of the next
// minute). Rejects impossible dates and instants outside the range of UtcTime
// (about 1677 to 2262).
std::optional<UtcTime> parse_rfc3339(std::string_view text);

}  // namespace vintra::events
