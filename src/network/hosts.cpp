#include "src/network/hosts.hpp"

#include <fmt/format.h>

#include <mutex>
#include <unordered_set>

#include "common/platform/files.hpp"
#include "common/utf8.hpp"
#include "common/platform/process.hpp"
#include "src/logging/log.hpp"
#include "src/network/text.hpp"

namespace vintra::network {
namespace {

using logging::Field;
using logging::Level;

// Held for the whole of every operation on the hosts file: apply and remove share the
// temporary file name, and a read-modify-write must not interleave with another.
std::mutex& hosts_mutex() {
  static std::mutex mu;
  return mu;
}

std::string temp_path_for(const std::string& target) {
  std::size_t slash = target.rfind('/');
  if (slash == std::string::npos) return std::string(kHostsTempName);
  return target.substr(0, slash + 1) + std::string(kHostsTempName);
}

Status replace_locked(const std::string& target, std::string_view content) {
  const std::string temp = temp_path_for(target);
  // create_fresh unlinks whatever sits at the temporary path (a stale file or a planted
  // link) and creates the file exclusively, so we only ever write a file we just made.
  auto fd = platform::create_fresh(temp, 0666);
  if (!fd) return std::move(fd).error().context("create " + temp);
  VINTRA_TRY_STATUS(platform::write_all(fd->get(), content));
  // A failed close can mean the data never reached the file: same as a failed write.
  VINTRA_TRY_STATUS(fd->close());
  auto renamed = platform::rename_file(temp, target);
  if (!renamed) return std::move(renamed).error().context("rename to " + target);
  return ok();
}

// Reads the file as text; an error (OS error or invalid UTF-8) otherwise.
Result<std::string> read_text(const std::string& path) {
  auto data = platform::read_file(path);
  if (!data) return std::move(data).error();
  if (!is_valid_utf8(*data)) return Error(std::string(text::kInvalidUtf8));
  return data;
}

// The one-time copy of the hosts file as it was before we first wrote it. Only made
// when nothing at all is at the backup path (not even a link), and created exclusively
// without following links. A copy that could not be written completely is removed so
// that a later application tries again instead of keeping a truncated backup forever.
void write_backup_once(const std::string& backup, std::string_view original) {
  if (platform::entry_kind_nofollow(backup) != platform::EntryKind::kMissing) return;
  auto fd = platform::create_new(backup, 0666);
  if (!fd) return;
  bool written = platform::write_all(fd->get(), original).has_value();
  written = fd->close().has_value() && written;
  if (!written) (void)platform::remove_file(backup);
}

void append_entries(std::string& out, std::string_view name, bool ipv6) {
  out += "127.0.0.1 ";
  out += name;
  out += '\n';
  if (ipv6) {
    out += "::1       ";
    out += name;
    out += '\n';
  }
}

}  // namespace

bool is_valid_hosts_name(std::string_view name) {
  // A hosts line is "address name" and ends at a line feed; anything beyond these
  // characters (white space, "#", line breaks, control bytes) could end the entry early
  // or add entries of someone else's choosing. Names in Unicode form are refused too:
  // resolvers look up the punycode form, so only that form would block anything.
  if (name.empty()) return false;
  for (char c : name) {
    bool ok =
        (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.';
    if (!ok) return false;
  }
  return true;
}

std::string strip_managed_section(std::string_view text_in) {
  std::string out;
  out.reserve(text_in.size() + 1);
  bool inside = false;
  for (std::string_view line : text::split_lines(text_in)) {
    std::string_view bare = text::trim(line);
    if (bare == kHostsEndMarker) {
      inside = false;
    } else if (inside) {
      // dropped
    } else if (bare == kHostsBeginMarker) {
      inside = true;
    } else {
      out += line;
      out += '\n';
    }
  }
  return out;
}

Status replace_file_via_temp(const std::string& target, std::string_view content) {
  std::lock_guard lock(hosts_mutex());
  return replace_locked(target, content);
}

Result<std::size_t> apply_hosts_block(const std::vector<std::string>& domains, bool ipv6) {
  return apply_hosts_block(domains, ipv6, HostsPaths{});
}

Result<std::size_t> apply_hosts_block(const std::vector<std::string>& domains, bool ipv6,
                                      const HostsPaths& paths) {
  std::lock_guard lock(hosts_mutex());

  auto original = read_text(paths.hosts);
  if (!original) return std::move(original).error().context("read " + paths.hosts);

  write_backup_once(paths.backup, *original);

  const std::string stripped = strip_managed_section(*original);
  std::string content(text::trim_end(stripped));
  if (!content.empty()) content += "\n\n";
  content += kHostsBeginMarker;
  content += '\n';

  std::unordered_set<std::string> seen;
  for (const std::string& raw : domains) {
    std::string_view trimmed = text::trim(raw);
    if (trimmed.empty()) continue;
    std::string name = text::ascii_lower(trimmed);
    if (!is_valid_hosts_name(name)) {
      VINTRA_LOG(Level::kWarn, logging::kTargetHosts, "hosts: skipping invalid domain name",
                 {Field::text("domain", name)});
      continue;
    }
    if (!seen.insert(name).second) continue;
    if (name.find('.') != std::string::npos) append_entries(content, name, ipv6);
    append_entries(content, "www." + name, ipv6);
  }

  content += kHostsEndMarker;
  content += '\n';

  VINTRA_TRY_STATUS(replace_locked(paths.hosts, content));

  VINTRA_LOG(Level::kInfo, logging::kTargetHosts,
             fmt::format("hosts: applied {} blocked domains", seen.size()));
  return seen.size();
}

Result<RemoveOutcome> remove_hosts_block() {
  return remove_hosts_block(HostsPaths{});
}

Result<RemoveOutcome> remove_hosts_block(const HostsPaths& paths) {
  std::lock_guard lock(hosts_mutex());

  auto original = read_text(paths.hosts);
  if (!original) return RemoveOutcome::kNothingToDo;

  const std::string stripped = strip_managed_section(*original);
  if (stripped == *original) return RemoveOutcome::kNothingToDo;

  VINTRA_TRY_STATUS(replace_locked(paths.hosts, text::trim_end(stripped)));

  VINTRA_LOG(Level::kInfo, logging::kTargetHosts, "hosts: Korvane block removed");
  return RemoveOutcome::kRemoved;
}

void flush_dns_cache() {
  (void)platform::run_command("dscacheutil", {"-flushcache"});
  (void)platform::run_command("killall", {"-HUP", "mDNSResponder"});
}

}  // namespace vintra::network
