#include "src/network/doh_block.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <optional>

#include "common/platform/files.hpp"
#include "common/utf8.hpp"
#include "common/platform/process.hpp"
#include "src/logging/log.hpp"
#include "src/network/text.hpp"

namespace vintra::network {
namespace {

using logging::Level;

constexpr std::string_view kPrefKey = "DnsOverHttpsMode";
constexpr std::string_view kAnchorHeader = "# Korvane DLP DoH block \u2014 generated, do not edit\n";
constexpr std::string_view kRuleCommentPrefix = "Korvane-Block-DoH-";

std::string pref_path(std::string_view bundle_id, const DohPaths& paths) {
  return fmt::format("{}/{}.plist", paths.managed_prefs_dir, bundle_id);
}

// Writes `content` in place (create or truncate) without following a link at `path`.
Status write_in_place(const std::string& path, std::string_view content) {
  VINTRA_TRY(platform::UniqueFd fd, platform::open_truncate_nofollow(path, 0666));
  VINTRA_TRY_STATUS(platform::write_all(fd.get(), content));
  return fd.close();
}

// pf.conf as text: empty when it does not exist; an error when it exists but cannot be
// read as text. That error must stop any rewrite: writing our lines over a file we could
// not read would throw away the system's packet-filter configuration.
Result<std::string> read_pf_conf(const std::string& path) {
  auto data = platform::read_file(path);
  if (!data) {
    if (data.error().os_error() == ENOENT) return std::string();
    return std::move(data).error();
  }
  if (!is_valid_utf8(*data)) return Error(std::string(text::kInvalidUtf8));
  return data;
}

void run_ignoring_outcome(const std::string& program, const std::vector<std::string>& args) {
  (void)platform::run_command(program, args);
}

}  // namespace

std::string doh_anchor_text() {
  std::string out(kAnchorHeader);
  for (const DohProvider& provider : DOH_PROVIDERS) {
    std::string_view rest = provider.addresses;
    while (!rest.empty()) {
      std::size_t comma = rest.find(',');
      std::string_view address = rest.substr(0, comma);
      out += fmt::format("block drop out proto tcp from any to {} port 443  # {}{}\n", address,
                         kRuleCommentPrefix, provider.name);
      rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma + 1);
    }
  }
  return out;
}

std::string pf_conf_anchor_lines(const DohPaths& paths) {
  return fmt::format("{}\nanchor \"{}\"\nload anchor \"{}\" from \"{}\"\n", kPfConfMarker, kDohAnchorName,
                     kDohAnchorName, paths.anchor_file);
}

Status set_browser_doh_policy(std::string_view bundle_id, const DohPaths& paths) {
  (void)platform::create_directories(paths.managed_prefs_dir, 0777);
  const std::string path = pref_path(bundle_id, paths);
  VINTRA_TRY(platform::ExitStatus status,
             platform::run_command("defaults", {"write", path, std::string(kPrefKey), "-string", "off"}));
  if (!status.success())
    return Error(fmt::format("defaults write {} {} exit {}", path, kPrefKey, status.to_string()));
  return ok();
}

Status clear_browser_doh_policy(std::string_view bundle_id, const DohPaths& paths) {
  const std::string path = pref_path(bundle_id, paths);
  VINTRA_TRY(platform::ExitStatus status,
             platform::run_command("defaults", {"delete", path, std::string(kPrefKey)}));
  (void)status;  // a key that is not there is not a failure
  return ok();
}

Status apply_doh_block(const DohPaths& paths) {
  remove_doh_block(paths);

  auto chrome = set_browser_doh_policy(kBrowserBundleIds[0], paths);
  if (!chrome) return std::move(chrome).error().context("Chrome managed pref");
  auto edge = set_browser_doh_policy(kBrowserBundleIds[1], paths);
  if (!edge) return std::move(edge).error().context("Edge managed pref");

  (void)platform::create_directories(paths.anchors_dir, 0777);
  auto anchor = write_in_place(paths.anchor_file, doh_anchor_text());
  if (!anchor) return std::move(anchor).error().context("write " + paths.anchor_file);

  const std::string update_context = "update " + paths.pf_conf;
  auto conf = read_pf_conf(paths.pf_conf);
  if (!conf) return std::move(conf).error().context(update_context);
  if (conf->find(kPfConfMarker) == std::string::npos) {
    std::string updated = std::move(*conf);
    if (updated.empty() || updated.back() != '\n') updated += '\n';
    updated += pf_conf_anchor_lines(paths);
    auto written = write_in_place(paths.pf_conf, updated);
    if (!written) return std::move(written).error().context(update_context);
  }

  run_ignoring_outcome("pfctl", {"-f", paths.pf_conf});
  run_ignoring_outcome("pfctl", {"-e"});

  VINTRA_LOG(Level::kInfo, logging::kTargetDoh,
             fmt::format("DoH block applied: browser policies + {} firewall rules", DOH_PROVIDERS.size()));
  return ok();
}

void remove_doh_block(const DohPaths& paths) {
  for (std::string_view bundle_id : kBrowserBundleIds) (void)clear_browser_doh_policy(bundle_id, paths);
  (void)platform::remove_file(paths.anchor_file);

  auto conf = read_pf_conf(paths.pf_conf);
  if (!conf) {
    VINTRA_LOG(Level::kWarn, logging::kTargetDoh,
               fmt::format("DoH block: {} left unchanged: {}", paths.pf_conf,
                           std::move(conf).error().context("read " + paths.pf_conf).render()));
  } else {
    std::string kept;
    kept.reserve(conf->size());
    bool first = true;
    for (std::string_view line : text::split_lines(*conf)) {
      if (line.find(kPfConfMarker) != std::string_view::npos ||
          line.find(kDohAnchorName) != std::string_view::npos)
        continue;
      if (!first) kept += '\n';
      kept += line;
      first = false;
    }
    (void)write_in_place(paths.pf_conf, kept);
  }

  run_ignoring_outcome("pfctl", {"-f", paths.pf_conf});

  VINTRA_LOG(Level::kInfo, logging::kTargetDoh, "DoH block cleaned up");
}

}  // namespace vintra::network
