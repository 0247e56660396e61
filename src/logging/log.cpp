// The process-wide set-up: a filter and a sink, published together as one immutable
// state behind an atomic pointer so that the check every potential event makes is a
// single load, with no lock and no reference count to touch.
#include "src/logging/log.hpp"

#include <atomic>
#include <mutex>
#include <new>

#include "common/platform/files.hpp"
#include "src/logging/daily_file.hpp"

namespace vintra::logging {
namespace {

struct State {
  Filter filter;
  std::shared_ptr<Sink> sink;
};

std::atomic<const State*> g_state{nullptr};

// Set-up bookkeeping, only touched while installing. Deliberately never destroyed:
// threads may still log while static objects are torn down at exit, and a replaced
// state must outlive every emitter that loaded it just before the swap.
struct Registry {
  std::mutex mutex;
  std::vector<const State*> retired;
  bool daemon_installed = false;
};

Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

void publish_locked(Registry& r, const State* next) {
  const State* previous = g_state.exchange(next, std::memory_order_acq_rel);
  if (previous != nullptr) r.retired.push_back(previous);
}

void notice(std::string_view text) noexcept {
  constexpr int kStandardError = 2;
  (void)platform::write_all(kStandardError, text);
}

}  // namespace

bool enabled(Level level, std::string_view target) noexcept {
  const State* state = g_state.load(std::memory_order_acquire);
  return state != nullptr && state->sink != nullptr && state->filter.allows(level, target);
}

void emit(Level level, std::string_view target, std::string_view message,
          std::initializer_list<Field> fields) noexcept {
  const State* state = g_state.load(std::memory_order_acquire);
  if (state == nullptr || state->sink == nullptr || !state->filter.allows(level, target)) return;
  std::string line;
  try {
    line = format_line(level, target, message, fields);
  } catch (...) {
    notice("vintra-dlp: log event dropped: it could not be formatted\n");
    return;
  }
  try {
    state->sink->write_line(line);
  } catch (...) {
    notice("vintra-dlp: log event lost: the log writer failed\n");
  }
}

void install(Filter filter, std::shared_ptr<Sink> sink) {
  auto* next = new State{std::move(filter), std::move(sink)};
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  publish_locked(r, next);
}

void uninstall() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  publish_locked(r, nullptr);
  r.daemon_installed = false;
}

Status init_daemon_logging(std::string_view level_spec, const std::string& directory) {
  Filter filter = Filter::parse_or_info(level_spec);
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  if (r.daemon_installed) return Error("Unable to install global subscriber");
  auto sink = DailyFileSink::open(directory);
  if (!sink) return std::move(sink).error().context("initializing rolling file appender failed");
  publish_locked(r, new State{std::move(filter), std::move(*sink)});
  r.daemon_installed = true;
  return ok();
}

}  // namespace vintra::logging
