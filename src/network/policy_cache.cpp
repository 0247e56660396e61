#include "src/network/policy_cache.hpp"

#include <fmt/format.h>
#include <simdjson.h>

#include <unordered_set>

#include "common/paths.hpp"
#include "common/platform/files.hpp"
#include "src/logging/log.hpp"
#include "src/network/text.hpp"
#include "src/runtime/periodic_timer.hpp"

namespace vintra::network {
namespace {

using logging::Field;
using logging::Level;
using simdjson::dom::element;

bool get_string(element e, std::string& out) {
  std::string_view s;
  if (e.get_string().get(s)) return false;
  out.assign(s);
  return true;
}

bool get_string_array(element e, std::vector<std::string>& out) {
  simdjson::dom::array array;
  if (e.get_array().get(array)) return false;
  out.clear();
  out.reserve(array.size());
  for (element item : array) {
    std::string s;
    if (!get_string(item, s)) return false;
    out.push_back(std::move(s));
  }
  return true;
}

std::optional<DlpPolicyCache> from_object(simdjson::dom::object object) {
  DlpPolicyCache cache;
  bool have_version = false, have_domains = false, have_fetched_at = false;
  for (simdjson::dom::key_value_pair member : object) {
    bool* seen = nullptr;
    bool valid = true;
    if (member.key == "version") {
      seen = &have_version;
      valid = get_string(member.value, cache.version);
    } else if (member.key == "blocked_domains") {
      seen = &have_domains;
      valid = get_string_array(member.value, cache.blocked_domains);
    } else if (member.key == "fetched_at") {
      seen = &have_fetched_at;
      valid = get_string(member.value, cache.fetched_at);
    } else {
      continue;  // other members are ignored
    }
    if (*seen || !valid) return std::nullopt;
    *seen = true;
  }
  if (!have_version || !have_fetched_at) return std::nullopt;
  return cache;
}

std::optional<DlpPolicyCache> from_array(simdjson::dom::array array) {
  if (array.size() != 3) return std::nullopt;
  DlpPolicyCache cache;
  auto it = array.begin();
  if (!get_string(*it, cache.version)) return std::nullopt;
  ++it;
  if (!get_string_array(*it, cache.blocked_domains)) return std::nullopt;
  ++it;
  if (!get_string(*it, cache.fetched_at)) return std::nullopt;
  return cache;
}

}  // namespace

std::optional<DlpPolicyCache> parse_policy_cache(std::string_view json) {
  // The DOM parser validates UTF-8, rejects anything but white space after the value
  // (a byte-order mark included) and keeps repeated members, so duplicates can be seen.
  simdjson::dom::parser parser;
  simdjson::padded_string padded(json);
  element root;
  if (parser.parse(padded).get(root)) return std::nullopt;
  simdjson::dom::object object;
  if (!root.get_object().get(object)) return from_object(object);
  simdjson::dom::array array;
  if (!root.get_array().get(array)) return from_array(array);
  return std::nullopt;
}

std::optional<DlpPolicyCache> load_policy_cache(const std::string& data_dir) {
  auto data = platform::read_file(join_path(data_dir, kPolicyCacheFileName));
  if (!data) return std::nullopt;
  return parse_policy_cache(*data);
}

std::vector<std::string> merge_blocked_domains(const std::vector<std::string>& configured,
                                               const std::vector<std::string>& remote) {
  std::vector<std::string> merged;
  std::unordered_set<std::string> seen;
  auto add = [&](const std::vector<std::string>& list) {
    for (const std::string& entry : list) {
      std::string_view trimmed = text::trim(entry);
      if (trimmed.empty()) continue;
      std::string name = text::ascii_lower(trimmed);
      if (seen.insert(name).second) merged.push_back(std::move(name));
    }
  };
  add(configured);
  add(remote);
  return merged;
}

void run_policy_reload(ReloadInputs inputs, std::stop_token stop, std::chrono::milliseconds period) {
  const auto target = logging::kTargetMain;
  VINTRA_LOG(Level::kInfo, target, "DLP reload task started",
             {Field::display("initial", inputs.last_version)});

  runtime::PeriodicTimer timer(period);
  // The first tick is due at once and passes without work: the run sequence writes the
  // hosts file itself right after starting this task, so the first check waits a period.
  if (!timer.tick(stop)) return;

  while (timer.tick(stop)) {
    std::optional<DlpPolicyCache> cache = load_policy_cache(inputs.data_dir);
    if (!cache) {
      VINTRA_LOG(Level::kDebug, target, "DLP reload: policy file not readable, skipping tick");
      continue;
    }
    VINTRA_LOG(Level::kDebug, target, "DLP reload tick",
               {Field::display("cached", cache->version), Field::display("last", inputs.last_version)});
    if (cache->version == inputs.last_version) continue;

    VINTRA_LOG(Level::kInfo, target, "DLP policy version changed \u2014 re-applying network block",
               {Field::display("old", inputs.last_version), Field::display("new", cache->version),
                Field::uint("domains", cache->blocked_domains.size())});

    std::vector<std::string> merged =
        merge_blocked_domains(inputs.configured_domains, cache->blocked_domains);
    VINTRA_LOG(Level::kInfo, target, "merged config+remote, about to rewrite hosts",
               {Field::uint("merged_count", merged.size())});

    if (inputs.network_enabled) {
      auto applied = apply_hosts_block(merged, inputs.ipv6_block, inputs.hosts_paths);
      if (applied) {
        flush_dns_cache();
      } else {
        VINTRA_LOG(Level::kError, target, fmt::format("hosts apply failed: {}", applied.error().render()));
      }
    }
    // Remembered whatever the rewrite did: a failing hosts file is not retried every minute.
    inputs.last_version = std::move(cache->version);
  }
}

}  // namespace vintra::network
