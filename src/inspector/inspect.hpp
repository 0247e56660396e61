// The inspection job: one file named by a ScanJob is read (at most MAX_SCAN_BYTES),
// searched with the detector catalogue, its validated hits tallied per entity,
// evaluated against the policies, and turned into a DlpEvent unless the file is
// clean and allowed.
//
// inspect_path is the whole job up to the event; inspect_file adds the send on the
// event queue and is what the daemon runs. The administrators' scan tool calls
// inspect_path, so it shows exactly what the daemon would record.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <ratio>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"
#include "src/events/event.hpp"
#include "src/inspector/patterns.hpp"
#include "src/inspector/scan_job.hpp"
#include "src/policy/policies.hpp"
#include "src/runtime/bounded_queue.hpp"

namespace vintra::inspector {

// The largest file that is inspected, and the most bytes ever read from one file.
inline constexpr std::uint64_t MAX_SCAN_BYTES = 52'428'800;

// How the content of the file was obtained. Whatever went wrong, the job goes on as
// for a file without findings; the daemon leaves no trace of it, the scan tool warns.
enum class ReadOutcome : std::uint8_t {
  kRead,        // content read (up to MAX_SCAN_BYTES) and searched
  kTooLarge,    // the metadata gave more than MAX_SCAN_BYTES: nothing read
  kUnreadable,  // metadata, open or read failed, or not a regular file: nothing kept
};

struct InspectionResult {
  ReadOutcome read = ReadOutcome::kRead;
  std::optional<Error> read_error;  // why, for kUnreadable (the OS error, or "not a regular file")
  std::uint64_t bytes_read = 0;     // bytes of content searched (before decoding)
  // One entry per entity with at least one retained candidate, in catalogue order.
  std::vector<Finding> findings;
  Severity severity = Severity::kLow;  // the highest among the findings; low without any
  policy::Action action = policy::Action::kAllow;
  Decision decision = Decision::kPending;  // allowed iff action allow and source cloud
  std::optional<DlpEvent> event;           // nothing when clean and allowed
};

// Sees every candidate as it is validated: the candidate (byte offsets into the
// decoded text), its matched text (valid only during the call) and whether it was
// retained. Called on the inspecting thread, in catalogue order, in text order within
// a detector.
using CandidateObserver = std::function<void(const Candidate&, std::string_view matched, bool retained)>;

// The job without the send: reads and searches the file at job.path (symbolic links
// followed; a FIFO, device or socket is not read, so that it cannot hang the job),
// evaluates `policies` for job.source and builds the event the daemon would send, with
// a fresh id and timestamp. Never fails; thread-safe (shares nothing mutable).
// Memory: the file's size once for ASCII text; otherwise the decoded text plus about
// as much again while the detectors run (see find_candidates); no copy of matched text.
InspectionResult inspect_path(const ScanJob& job, const Catalogue& catalogue,
                              const policy::Policies& policies, const CandidateObserver& observer = {});

// The daemon's job: inspect_path, then put the event (if any) on `events`, waiting
// while the queue is full. A closed queue logs ERROR "out channel closed: channel
// closed" on target vintra_dlp and drops the event. Releases its references and its
// sending handle before it returns. Must run on a blocking-pool thread.
void inspect_file(const ScanJob& job, std::shared_ptr<const Catalogue> catalogue,
                  std::shared_ptr<const policy::Policies> policies, runtime::Sender<DlpEvent> events);

// An event id: the current time in nanoseconds since the epoch, as a signed decimal,
// "0" when that does not fit a signed 64-bit count. Ids handed out by one process
// strictly increase, so that two events created within the clock's resolution (a
// microsecond on some systems) still get different ids. Thread-safe.
std::string next_event_id();

// `since_epoch` in whole nanoseconds (towards negative infinity for finer units), or
// nothing when that does not fit a signed 64-bit count.
template <class Rep, class Period>
std::optional<std::int64_t> nanoseconds_since_epoch(std::chrono::duration<Rep, Period> since_epoch) {
  static_assert(std::numeric_limits<Rep>::is_integer, "clock ticks are integers");
  using Limits = std::numeric_limits<std::int64_t>;
  using NsPerTick = std::ratio_divide<Period, std::nano>;
  if constexpr (NsPerTick::den == 1) {
    constexpr std::int64_t k = NsPerTick::num;
    const auto ticks = since_epoch.count();
    if (ticks > Limits::max() / k || ticks < Limits::min() / k) return std::nullopt;
    return static_cast<std::int64_t>(ticks) * k;
  } else {
    return std::chrono::floor<std::chrono::duration<std::int64_t, std::nano>>(since_epoch).count();
  }
}

}  // namespace vintra::inspector
