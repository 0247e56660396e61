#include "src/events/journal.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <unordered_map>

#include "common/platform/files.hpp"
#include "src/events/event_line.hpp"
#include "common/utf8.hpp"
#include "src/logging/log.hpp"
#include "src/runtime/periodic_timer.hpp"

namespace vintra::events {

namespace {

using logging::Level;
using logging::kTargetMain;

std::mutex& journal_mutex(const std::string& events_path) {
  // Never destroyed: a task may still append while static destructors run at exit.
  static auto* registry_mu = new std::mutex;
  static auto* registry = new std::unordered_map<std::string, std::unique_ptr<std::mutex>>;
  std::string key = std::filesystem::path(events_path).lexically_normal().string();
  std::lock_guard guard(*registry_mu);
  auto& slot = (*registry)[std::move(key)];
  if (!slot) slot = std::make_unique<std::mutex>();
  return *slot;
}

// The parent directory as ordinary path rules give it ("" when there is none).
std::string parent_dir(const std::string& path) {
  std::size_t end = path.find_last_not_of('/');
  if (end == std::string::npos) return {};
  std::size_t slash = path.rfind('/', end);
  if (slash == std::string::npos) return {};
  std::size_t parent_end = path.find_last_not_of('/', slash);
  if (parent_end == std::string::npos) return "/";
  return path.substr(0, parent_end + 1);
}

bool is_blank(std::string_view line) {
  for (char c : line) {
    if (c != ' ' && c != '\t' && c != '\r' && c != '\v' && c != '\f') return false;
  }
  return true;
}

// Calls f(line) for every non-blank line of `text`; a CR before the LF is not part
// of the line and a last line without LF counts.
template <class F>
void for_each_line(std::string_view text, F&& f) {
  std::size_t pos = 0;
  while (pos < text.size()) {
    const void* nl = std::memchr(text.data() + pos, '\n', text.size() - pos);
    const std::size_t end =
        nl != nullptr ? static_cast<std::size_t>(static_cast<const char*>(nl) - text.data())
                      : text.size();
    std::size_t line_end = end;
    if (line_end > pos && text[line_end - 1] == '\r') --line_end;
    std::string_view line = text.substr(pos, line_end - pos);
    if (!is_blank(line)) f(line);
    pos = end + 1;
  }
}

// The journal's text with room for the parser to read ahead, or nothing when it
// cannot be read as a whole or is not UTF-8 (both read as an empty journal).
std::optional<std::string> read_journal_text(const std::string& events_path) {
  auto text = platform::read_file_nofollow(events_path, EventLineParser::kPadding);
  if (!text || !is_valid_utf8(*text)) return std::nullopt;
  return std::move(*text);
}

std::int64_t saturating_sub(std::int64_t a, std::int64_t b) {
  std::int64_t r;
  if (__builtin_sub_overflow(a, b, &r)) return b > 0 ? INT64_MIN : INT64_MAX;
  return r;
}

// The expiry and retention rules of one pass, all against one instant.
class PassRules {
 public:
  PassRules(UtcTime now, std::chrono::seconds expiry_timeout) : now_(now) {
    const std::int64_t ns = now.time_since_epoch().count();
    std::int64_t timeout;
    if (__builtin_mul_overflow(static_cast<std::int64_t>(expiry_timeout.count()),
                               std::int64_t{1'000'000'000}, &timeout)) {
      timeout = expiry_timeout.count() < 0 ? INT64_MIN : INT64_MAX;
    }
    timeout_ns_ = timeout;
    cutoff_ns_ = saturating_sub(ns, std::int64_t{kRetentionWindow.count()} * 1'000'000'000);
  }

  // Marks the record expired when its decision waited strictly longer than the
  // timeout; a timestamp in the future never expires. True when it did.
  bool expire(DlpEvent& e) const {
    if (e.decision != Decision::kPending || e.channel == Channel::kNetworkUpload) return false;
    const std::int64_t now = now_.time_since_epoch().count();
    const std::int64_t ts = e.timestamp.time_since_epoch().count();
    std::int64_t age;
    bool old_enough;
    if (__builtin_sub_overflow(now, ts, &age)) {
      old_enough = ts < now;  // the age exceeds every representable timeout
    } else {
      old_enough = age >= 0 && age > timeout_ns_;
    }
    if (!old_enough) return false;
    e.decision = Decision::kExpired;
    e.decided_at = now_;
    return true;
  }

  // Decided records older than the retention window go; pending records and those of
  // network uploads stay whatever their age.
  bool pruned(const DlpEvent& e) const {
    return e.decision != Decision::kPending && e.channel != Channel::kNetworkUpload &&
           e.timestamp.time_since_epoch().count() < cutoff_ns_;
  }

 private:
  UtcTime now_;
  std::int64_t timeout_ns_;
  std::int64_t cutoff_ns_;
};

UtcTime system_utc_now() {
  return std::chrono::time_point_cast<std::chrono::nanoseconds>(std::chrono::system_clock::now());
}

}  // namespace

JournalLock::JournalLock(const std::string& events_path) : lock_(journal_mutex(events_path)) {}

std::string temp_path_for(const std::string& events_path) {
  static constexpr std::string_view kExtension = "jsonl.tmp";
  const std::size_t slash = events_path.rfind('/');
  const std::size_t name_start = slash == std::string::npos ? 0 : slash + 1;
  const std::string_view name = std::string_view(events_path).substr(name_start);
  const std::size_t dot = name.rfind('.');
  std::string tmp;
  if (dot != std::string_view::npos && dot > 0 && name != "..") {
    tmp = events_path.substr(0, name_start + dot + 1);  // keeps the point
  } else {
    tmp = events_path + ".";
  }
  tmp.append(kExtension);
  return tmp;
}

Status append_event_line(const std::string& events_path, const DlpEvent& event) {
  // Best effort: if it fails, the open below reports why.
  if (std::string parent = parent_dir(events_path); !parent.empty()) {
    (void)platform::create_directories(parent, 0777);
  }
  VINTRA_TRY(std::string line, serialize_event_line(event));
  line.push_back('\n');
  JournalLock lock(events_path);
  VINTRA_TRY(platform::UniqueFd fd, platform::open_append_nofollow(events_path, 0666));
  VINTRA_TRY_STATUS(platform::write_all(fd.get(), line));
  return fd.close();
}

std::vector<DlpEvent> load_events(const std::string& events_path) {
  std::optional<std::string> text;
  {
    JournalLock lock(events_path);
    text = read_journal_text(events_path);
  }
  std::vector<DlpEvent> events;
  if (!text) return events;
  events.reserve(static_cast<std::size_t>(std::count(text->begin(), text->end(), '\n')) + 1);
  EventLineParser parser;
  DlpEvent event;
  for_each_line(*text, [&](std::string_view line) {
    if (parser.parse_padded(line, event)) events.push_back(event);
  });
  return events;
}

Status replace_journal(const std::string& events_path, std::string_view content) {
  const std::string tmp = temp_path_for(events_path);
  VINTRA_TRY(platform::UniqueFd fd, platform::create_fresh(tmp, 0666));
  Status st = platform::write_all(fd.get(), content);
  if (st) st = fd.close();
  if (st) st = platform::rename_file(tmp, events_path);
  if (!st) {
    (void)fd.close();
    (void)platform::remove_file(tmp);
  }
  return st;
}

PassReport expire_pass(const std::string& events_path, std::chrono::seconds expiry_timeout,
                       UtcTime now) {
  PassReport report;
  const PassRules rules(now, expiry_timeout);
  JournalLock lock(events_path);
  const std::optional<std::string> text = read_journal_text(events_path);
  if (!text) return report;

  // First a read-only sweep: most passes change nothing and must not write, and
  // this way they hold no more than the file's text in memory.
  EventLineParser parser;
  DlpEvent event;
  std::size_t removed = 0;
  for_each_line(*text, [&](std::string_view line) {
    if (!parser.parse_padded(line, event)) return;
    ++report.before;
    if (rules.expire(event)) ++report.expired;
    if (rules.pruned(event)) ++removed;
  });
  report.after = report.before - removed;
  if (report.expired == 0 && removed == 0) return report;

  // Something changed: stream the surviving records, in order, into the new text.
  // Expiry adds a decided_at to a line; other lines come out no longer than a
  // little over their input (absent optional keys are written as null).
  std::string out;
  out.reserve(text->size() + text->size() / 16 + report.expired * 48);
  Status st = ok();
  for_each_line(*text, [&](std::string_view line) {
    if (!st || !parser.parse_padded(line, event)) return;
    rules.expire(event);
    if (rules.pruned(event)) return;
    st = append_event_json(out, event);
    out.push_back('\n');
  });
  if (st) st = replace_journal(events_path, out);
  if (!st) {
    VINTRA_LOG(Level::kWarn, kTargetMain, "expirer: " + st.error().render());
    report.error = st.error();
    return report;
  }
  report.rewritten = true;
  if (report.after != report.before) {
    VINTRA_LOG(Level::kInfo, kTargetMain,
               fmt::format("DLP jsonl compacted: {} -> {} events", report.before, report.after));
  }
  return report;
}

void run_expirer(std::string events_path, std::chrono::seconds expiry_timeout,
                 std::stop_token stop, ExpirerOptions options) {
  runtime::PeriodicTimer timer(options.period);
  while (timer.tick(stop)) {
    const UtcTime now = options.clock ? options.clock() : system_utc_now();
    (void)expire_pass(events_path, expiry_timeout, now);
  }
}

}  // namespace vintra::events
