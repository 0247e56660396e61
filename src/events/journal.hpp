// The event journal: a JSON Lines file of DlpEvents (one line each, see
// event_line.hpp), appended to by the consumer and rewritten by the expirer, which
// marks pending decisions that waited too long as expired and prunes decided events
// older than the retention window.
//
// Serialisation: every writer of a journal goes through that journal's JournalLock,
// one process-wide mutex per path. An append holds it from open to close; an expirer
// pass holds it from its read to its rename (never while waiting for its timer), so
// no appended line can fall between the pass's read and the rename that replaces the
// file. All functions here are thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "src/events/event.hpp"

namespace vintra::events {

// Period of the expirer's timer.
inline constexpr std::chrono::seconds kExpirerPeriod{60};
// Decided events whose timestamp is older than this are removed.
inline constexpr std::chrono::seconds kRetentionWindow{604'800};

// Holds the process-wide lock of the journal at `events_path` (paths are compared in
// their lexically normal form, so "data//x.jsonl" and "data/x.jsonl" share one lock).
class JournalLock {
 public:
  explicit JournalLock(const std::string& events_path);
  JournalLock(const JournalLock&) = delete;
  JournalLock& operator=(const JournalLock&) = delete;

 private:
  std::unique_lock<std::mutex> lock_;
};

// The temporary file of a rewrite: the journal's path with its extension replaced by
// "jsonl.tmp" ("dlp_events.jsonl" -> "dlp_events.jsonl.tmp"); a name without one gets
// ".jsonl.tmp" appended.
std::string temp_path_for(const std::string& events_path);

// Appends `event` as one line: creates the parent directory if needed (result
// ignored), serialises (the only non-OS error: the path is not valid UTF-8), opens
// for appending (created 0666 before the umask, never truncated, a symbolic link at
// the path is not followed), writes line and line feed in one write, closes. Errors
// are the OS error or the serialisation error, without context.
Status append_event_line(const std::string& events_path, const DlpEvent& event);

// The events of the journal in file order. Never fails: a journal that is missing,
// unreadable, a symbolic link or not valid UTF-8 as a whole reads as empty. Blank
// lines are skipped, a CR before an LF is removed, a last line without LF counts,
// lines that do not parse are dropped.
std::vector<DlpEvent> load_events(const std::string& events_path);

// Replaces the journal with `content` in one step: writes the temporary file (any
// entry already there, a planted link included, is replaced, never followed),
// closes it and renames it over the journal. On failure the journal is untouched and
// the temporary file is removed. REQUIRES: the caller holds the JournalLock.
Status replace_journal(const std::string& events_path, std::string_view content);

// What one expirer pass did.
struct PassReport {
  std::size_t before = 0;   // records loaded
  std::size_t after = 0;    // records kept
  std::size_t expired = 0;  // pending decisions turned into expired
  bool rewritten = false;   // the journal was replaced
  std::optional<Error> error;  // the rewrite failed (and was logged)
};

// One pass at the instant `now`: expire pending decisions older than
// `expiry_timeout` (never those of network_upload events), prune decided events
// older than kRetentionWindow, rewrite the journal only when something changed.
// Logs "DLP jsonl compacted: {before} -> {after} events" when the count changed and
// "expirer: {error}" when the rewrite failed.
PassReport expire_pass(const std::string& events_path, std::chrono::seconds expiry_timeout,
                       UtcTime now);

struct ExpirerOptions {
  std::chrono::steady_clock::duration period = kExpirerPeriod;
  // The UTC clock read once per pass; empty: the system clock.
  std::function<UtcTime()> clock;
};

// The journal task: a pass at once, then one per period (ticks missed while a pass
// ran follow back to back), until `stop` is requested.
void run_expirer(std::string events_path, std::chrono::seconds expiry_timeout,
                 std::stop_token stop, ExpirerOptions options = {});

}  // namespace vintra::events
