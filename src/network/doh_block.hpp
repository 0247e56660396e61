// The DNS-over-HTTPS block, so that browsers cannot resolve around the hosts file:
// the managed preference "DnsOverHttpsMode" = "off" for Chrome and Edge, and a pf
// anchor that drops outgoing HTTPS to six public DoH resolvers, hooked into pf.conf by
// three lines under a marker comment.
//
// All calls block on file I/O and wait for child processes ("defaults", "pfctl").
// Only the run sequence calls them, at start and at shutdown, never concurrently.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "common/error.hpp"

namespace vintra::network {

struct DohProvider {
  std::string_view name;
  std::string_view addresses;  // comma-separated
};

// The resolvers whose addresses the anchor blocks, in rule order. Not configurable.
inline constexpr std::array<DohProvider, 6> DOH_PROVIDERS = {{
    {"Cloudflare", "1.1.1.1,1.0.0.1,2606:4700:4700::1111,2606:4700:4700::1001"},
    {"Google", "8.8.8.8,8.8.4.4,2001:4860:4860::8888,2001:4860:4860::8844"},
    {"Quad9", "9.9.9.9,149.112.112.112,2620:fe::fe,2620:fe::9"},
    {"OpenDNS", "208.67.222.222,208.67.220.220"},
    {"AdGuard", "94.140.14.14,94.140.15.15"},
    {"NextDNS", "45.90.28.0,45.90.30.0"},
}};

inline constexpr std::string_view kBrowserBundleIds[] = {"com.google.Chrome", "com.microsoft.Edge"};
inline constexpr std::string_view kDohAnchorName = "korvane-doh-block";
inline constexpr std::string_view kPfConfMarker = "# Korvane DoH anchor";

// Where the block lives. The defaults are the system's; tests use a scratch tree.
struct DohPaths {
  std::string managed_prefs_dir = "/Library/Managed Preferences";
  std::string anchors_dir = "/etc/pf.anchors";
  std::string anchor_file = "/etc/pf.anchors/korvane-doh-block";
  std::string pf_conf = "/etc/pf.conf";
};

// The anchor file: a header line and one "block drop out" rule per resolver address
// (19 lines, each ending with a line feed).
std::string doh_anchor_text();

// The three lines appended to pf.conf (each ending with a line feed).
std::string pf_conf_anchor_lines(const DohPaths& paths = {});

// Runs "defaults write {dir}/{bundle_id}.plist DnsOverHttpsMode -string off". Errors:
// the OS error when "defaults" cannot be started; "defaults write {path}
// DnsOverHttpsMode exit {status}" when it fails.
Status set_browser_doh_policy(std::string_view bundle_id, const DohPaths& paths = {});

// Runs "defaults delete {path} DnsOverHttpsMode". Fails only when the command cannot
// be started (deleting a key that is not there is fine).
Status clear_browser_doh_policy(std::string_view bundle_id, const DohPaths& paths = {});

// Removes any previous block, then sets both browser preferences, writes the anchor
// file, hooks it into pf.conf and reloads and enables pf. Errors carry the context
// "Chrome managed pref", "Edge managed pref", "write {anchor}" or "update {pf.conf}"; a
// pf.conf that exists but cannot be read as text is never rewritten (the last error).
Status apply_doh_block(const DohPaths& paths = {});

// Deletes both preferences, the anchor file and every pf.conf line that mentions the
// anchor, then reloads pf. Never fails; a pf.conf that cannot be read as text is left
// as it is, with a WARN line.
void remove_doh_block(const DohPaths& paths = {});

}  // namespace vintra::network
