// The server-distributed list of blocked domains ("dlp_policy_remote.json" in the
// agent's data directory, produced elsewhere and only read here), its merge with the
// configured domains, and the task that re-applies the hosts-file block when the
// list's version changes.
#pragma once

#include <chrono>
#include <optional>
#include <stop_token>
#include <string>
#include <string_view>
#include <vector>

#include "src/network/hosts.hpp"

namespace vintra::network {

inline constexpr std::string_view kPolicyCacheFileName = "dlp_policy_remote.json";

struct DlpPolicyCache {
  std::string version;                       // opaque, compared byte for byte
  std::vector<std::string> blocked_domains;  // as distributed
  std::string fetched_at;                    // required, not interpreted
};

// Parses the file's text: a JSON object with "version" (string), "fetched_at" (string)
// and optionally "blocked_domains" (array of strings), other members ignored; or the
// array [version, blocked_domains, fetched_at]. A duplicate or wrongly typed member
// (null included), anything but white space after the value, or text that is not UTF-8
// gives nothing.
std::optional<DlpPolicyCache> parse_policy_cache(std::string_view json);

// Reads and parses "dlp_policy_remote.json" in `data_dir`. Nothing when the file is
// missing, unreadable or invalid; never logs.
std::optional<DlpPolicyCache> load_policy_cache(const std::string& data_dir);

// Configured entries, then remote ones, each trimmed of white space and ASCII
// lower-cased; empty entries and repeats are dropped (the first occurrence wins).
std::vector<std::string> merge_blocked_domains(const std::vector<std::string>& configured,
                                               const std::vector<std::string>& remote);

// The reload task's inputs, all its own copies.
struct ReloadInputs {
  std::string last_version;  // the version seen at start, empty when none
  std::string data_dir;
  std::vector<std::string> configured_domains;
  bool network_enabled = false;
  bool ipv6_block = false;
  HostsPaths hosts_paths;  // the system's hosts file unless a test says otherwise
};

// Checks the cache every `period` (the first check one period after the start) and,
// when its version differs from the last one acted on, merges the domains and (when
// network DLP is enabled) rewrites the hosts-file block and flushes the DNS cache.
// Runs until `stop` is requested; failures are logged, never returned.
void run_policy_reload(ReloadInputs inputs, std::stop_token stop,
                       std::chrono::milliseconds period = std::chrono::seconds(60));

}  // namespace vintra::network
