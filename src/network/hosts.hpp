// The hosts-file domain block: a managed section at the end of /etc/hosts that points
// each blocked domain and its "www." form at the loopback addresses, between the lines
// "# BEGIN Korvane DLP" and "# END Korvane DLP".
//
// Every operation that touches the hosts file (apply, remove, replace) holds one
// process-wide lock for its whole duration, so the run sequence and the reload task
// never overlap (they share the one temporary file name). All calls block on file I/O;
// flush_dns_cache also waits for child processes.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "common/error.hpp"

namespace vintra::network {

inline constexpr std::string_view kHostsBeginMarker = "# BEGIN Korvane DLP";
inline constexpr std::string_view kHostsEndMarker = "# END Korvane DLP";
inline constexpr std::string_view kHostsTempName = "hosts.korvane-tmp";

// Where the hosts file and its one-time backup live. The defaults are the system's;
// tests point them at a scratch directory.
struct HostsPaths {
  std::string hosts = "/etc/hosts";
  std::string backup = "/etc/hosts.korvane-backup";
};

enum class RemoveOutcome { kRemoved, kNothingToDo };

// `text` without any managed section: every line from a begin marker to the next end
// marker (both compared after trimming white space) is dropped, as are lone end
// markers and everything after a begin marker that is never closed. Kept lines are
// unchanged and each ends with a line feed (CRLF becomes LF). Pure.
std::string strip_managed_section(std::string_view text);

// Writes `content` to "hosts.korvane-tmp" beside `target`, then renames it over
// `target`. The temporary file is always created anew, so a link planted at its path
// is never followed. Errors: "create {temp}" or "rename to {target}" with the OS error
// as cause; a failed write returns the OS error alone and leaves the temporary file.
Status replace_file_via_temp(const std::string& target, std::string_view content);

// Rewrites the managed section from `domains` (trimmed, ASCII lower-cased, first
// occurrence wins), each name with a dot and its "www." form getting a "127.0.0.1"
// entry and, when `ipv6`, a "::1" entry. Names holding anything but ASCII letters,
// digits, hyphens and dots are skipped with a WARN line and not counted, because they
// would corrupt the file. Writes the backup first when none exists. Returns the number
// of distinct names written (single-label names count); errors: "read {hosts}" or those
// of replace_file_via_temp, with the hosts file untouched.
Result<std::size_t> apply_hosts_block(const std::vector<std::string>& domains, bool ipv6);
Result<std::size_t> apply_hosts_block(const std::vector<std::string>& domains, bool ipv6,
                                      const HostsPaths& paths);

// Removes the managed section. Nothing to do (and nothing written or logged) when the
// hosts file cannot be read as text or holds nothing to strip; otherwise the stripped
// text, without trailing white space, replaces it.
Result<RemoveOutcome> remove_hosts_block();
Result<RemoveOutcome> remove_hosts_block(const HostsPaths& paths);

// Runs "dscacheutil -flushcache", then "killall -HUP mDNSResponder"; their outcome is
// ignored.
void flush_dns_cache();

// Whether `name` (already trimmed and lower-cased) may be written to the hosts file:
// non-empty, only ASCII letters, digits, hyphens and dots.
bool is_valid_hosts_name(std::string_view name);

}  // namespace vintra::network
