#include "src/inspector/inspect.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <utility>

#include "common/platform/files.hpp"
#include "src/inspector/utf8.hpp"
#include "src/inspector/validators.hpp"
#include "src/logging/log.hpp"
#include "src/policy/evaluate.hpp"

namespace vintra::inspector {
namespace {

using policy::kEntityNames;

struct Tally {
  std::uint64_t count = 0;
  Severity highest = Severity::kLow;
};

// Per-entity tally, indexed like kEntityNames. Candidates arrive grouped by detector,
// so the entity's index is looked up once per run of candidates, not per candidate.
class EntityTally {
 public:
  void add(const Candidate& c) {
    if (c.entity.data() != last_entity_.data() || c.entity.size() != last_entity_.size()) {
      last_entity_ = c.entity;
      last_index_ = policy::entity_index(c.entity);
    }
    // The catalogue holds only the eleven entities; anything else cannot be a finding.
    if (!last_index_) return;
    Tally& t = tallies_[*last_index_];
    ++t.count;
    t.highest = std::max(t.highest, c.severity);
  }

  std::vector<Finding> findings() const {
    std::vector<Finding> out;
    for (std::size_t i = 0; i < tallies_.size(); ++i)
      if (tallies_[i].count > 0)
        out.push_back(Finding{std::string(kEntityNames[i]), tallies_[i].count, tallies_[i].highest});
    return out;
  }

 private:
  std::array<Tally, kEntityNames.size()> tallies_{};
  std::string_view last_entity_;
  std::optional<std::size_t> last_index_;
};

Channel channel_of(ScanSource source) {
  return source == ScanSource::kUsb ? Channel::kRemovableUsb : Channel::kCloudSync;
}

}  // namespace

std::string next_event_id() {
  static std::atomic<std::int64_t> last{std::numeric_limits<std::int64_t>::min()};
  const auto now = nanoseconds_since_epoch(std::chrono::system_clock::now().time_since_epoch());
  if (!now) return "0";
  std::int64_t prev = last.load(std::memory_order_relaxed);
  std::int64_t id = 0;
  do {
    id = prev < *now || prev == std::numeric_limits<std::int64_t>::max() ? *now : prev + 1;
  } while (!last.compare_exchange_weak(prev, id, std::memory_order_relaxed));
  return std::to_string(id);
}

InspectionResult inspect_path(const ScanJob& job, const Catalogue& catalogue,
                              const policy::Policies& policies, const CandidateObserver& observer) {
  InspectionResult r;
  auto bytes = platform::read_regular_file_up_to(job.path, MAX_SCAN_BYTES);
  if (bytes) {
    r.bytes_read = bytes->size();
    const std::string text = decode_lossy(std::move(*bytes));
    const std::string_view view = text;
    EntityTally tally;
    find_candidates(catalogue, view, [&](const Candidate& c) {
      const std::string_view matched = view.substr(c.start, c.end - c.start);
      const bool retained = candidate_is_retained(c, matched);
      if (observer) observer(c, matched, retained);
      if (retained) tally.add(c);
    });
    r.findings = tally.findings();
  } else if (bytes.error().os_error() == EFBIG) {
    r.read = ReadOutcome::kTooLarge;
  } else {
    r.read = ReadOutcome::kUnreadable;
    r.read_error = std::move(bytes).error();
  }

  policy::EntitySet found;
  for (const Finding& f : r.findings) {
    found.insert(f.entity);
    r.severity = std::max(r.severity, f.severity);
  }
  r.action = policy::evaluate_policies(policies, found, job.source);
  r.decision = r.action == policy::Action::kAllow && job.source == ScanSource::kCloud ? Decision::kAllowed
                                                                                      : Decision::kPending;
  if (r.decision == Decision::kAllowed && r.findings.empty()) return r;

  DlpEvent e;
  e.id = next_event_id();
  e.timestamp = std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
  e.channel = channel_of(job.source);
  e.direction = Direction::kOutbound;
  e.file_path = job.path;
  e.file_size = job.size;
  e.drive_label = job.drive_label;
  e.findings = r.findings;
  e.severity = r.severity;
  e.decision = r.decision;
  r.event = std::move(e);
  return r;
}

void inspect_file(const ScanJob& job, std::shared_ptr<const Catalogue> catalogue,
                  std::shared_ptr<const policy::Policies> policies, runtime::Sender<DlpEvent> events) {
  InspectionResult result = inspect_path(job, *catalogue, *policies);
  catalogue.reset();
  policies.reset();
  if (result.event) {
    if (Status sent = events.send(std::move(*result.event)); !sent)
      VINTRA_LOG(logging::Level::kError, logging::kTargetMain,
                 "out channel closed: " + sent.error().render());
  }
  events.release();
}

}  // namespace vintra::inspector
