#include "common/config/load.hpp"

#include <fmt/format.h>

#include <charconv>
#include <cmath>
#include <limits>

#include "common/config/notations/notations.hpp"
#include "common/config/notations/text.hpp"
#include "common/paths.hpp"
#include "common/platform/environment.hpp"
#include "common/platform/exe.hpp"
#include "common/platform/files.hpp"

namespace vintra::config {
namespace {

constexpr std::string_view kEnvPrefix = "edr__";
constexpr std::string_view kEnvSeparator = "__";

// ---------------------------------------------------------------------------
// Conversion of single values. Each names the dotted key when it fails.

Error invalid(std::string_view key, std::string_view expected, const Value& found) {
  return Error(fmt::format("invalid value for {}: expected {}, found {}", key, expected, describe(found)));
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return out;
}

// The accepted boolean words, compared lower-cased.
std::optional<bool> bool_word(std::string_view text) {
  std::string lower = ascii_lower(text);
  if (lower == "true" || lower == "yes" || lower == "on" || lower == "1") return true;
  if (lower == "false" || lower == "no" || lower == "off" || lower == "0") return false;
  return std::nullopt;
}

Result<bool> to_bool(const Value& v, std::string_view key) {
  constexpr std::string_view kExpected = "a boolean";
  switch (v.kind()) {
    case Value::Kind::kBool: return *v.as_bool();
    case Value::Kind::kInt: return *v.as_int() != 0;
    case Value::Kind::kUint: return *v.as_uint() != 0;
    case Value::Kind::kDouble: return *v.as_double() != 0.0;
    case Value::Kind::kString:
      if (auto b = bool_word(*v.as_string())) return *b;
      break;
    default: break;
  }
  return invalid(key, kExpected, v);
}

std::optional<std::uint64_t> unsigned_of(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::kBool: return *v.as_bool() ? 1 : 0;
    case Value::Kind::kInt:
      if (*v.as_int() < 0) return std::nullopt;
      return static_cast<std::uint64_t>(*v.as_int());
    case Value::Kind::kUint: return *v.as_uint();
    case Value::Kind::kDouble: {
      double r = std::round(*v.as_double());
      // 2^64 is exactly representable; anything at or above it does not fit. NaN
      // fails both comparisons' negation below.
      if (!(r >= 0.0 && r < 18446744073709551616.0)) return std::nullopt;
      return static_cast<std::uint64_t>(r);
    }
    case Value::Kind::kString: {
      const std::string& s = *v.as_string();
      std::string lower = ascii_lower(s);
      if (lower == "true" || lower == "yes" || lower == "on") return 1;
      if (lower == "false" || lower == "no" || lower == "off") return 0;
      // A decimal integer, optionally with a leading "+".
      std::string_view digits = s;
      if (!digits.empty() && digits.front() == '+') digits.remove_prefix(1);
      if (digits.empty()) return std::nullopt;
      for (char c : digits)
        if (c < '0' || c > '9') return std::nullopt;
      std::uint64_t out = 0;
      auto res = std::from_chars(digits.data(), digits.data() + digits.size(), out);
      if (res.ec != std::errc()) return std::nullopt;
      return out;
    }
    default: return std::nullopt;
  }
}

Result<std::uint64_t> to_unsigned(const Value& v, std::string_view key, std::uint64_t max,
                                  std::string_view expected) {
  auto u = unsigned_of(v);
  if (!u || *u > max) return invalid(key, expected, v);
  return *u;
}

Result<std::string> to_text(const Value& v, std::string_view key) {
  switch (v.kind()) {
    case Value::Kind::kString: return *v.as_string();
    case Value::Kind::kBool: return std::string(*v.as_bool() ? "true" : "false");
    case Value::Kind::kInt: return std::to_string(*v.as_int());
    case Value::Kind::kUint: return std::to_string(*v.as_uint());
    case Value::Kind::kDouble: return double_text(*v.as_double());
    default: return invalid(key, "a text", v);
  }
}

Result<std::vector<std::string>> to_list(const Value& v, std::string_view key) {
  const Array* items = v.as_array();
  if (items == nullptr) return invalid(key, "a list", v);
  std::vector<std::string> out;
  out.reserve(items->size());
  for (std::size_t i = 0; i < items->size(); ++i) {
    VINTRA_TRY(std::string s, to_text((*items)[i], fmt::format("{}[{}]", key, i)));
    out.push_back(std::move(s));
  }
  return out;
}

// ---------------------------------------------------------------------------
// Reading one section of the merged tree into its record. The first failure is kept
// and every later read does nothing, so the section readers below stay a plain list
// of fields in record order.

class Section {
 public:
  Section(const Value* value, std::string path, std::optional<Error>& error)
      : path_(std::move(path)), error_(error) {
    if (value == nullptr || error_) return;
    table_ = value->as_table();
    if (table_ == nullptr) error_ = invalid(path_, "a section", *value);
  }

  void field(std::string_view key, bool& out) { read(key, out, [&](const Value& v, const std::string& k) { return to_bool(v, k); }); }
  void field(std::string_view key, std::uint64_t& out) {
    read(key, out, [&](const Value& v, const std::string& k) {
      return to_unsigned(v, k, std::numeric_limits<std::uint64_t>::max(), "an unsigned integer");
    });
  }
  void field(std::string_view key, std::uint32_t& out) {
    std::uint64_t wide = out;
    read(key, wide, [&](const Value& v, const std::string& k) {
      return to_unsigned(v, k, std::numeric_limits<std::uint32_t>::max(), "an unsigned 32-bit integer");
    });
    out = static_cast<std::uint32_t>(wide);
  }
  void field(std::string_view key, std::string& out) { read(key, out, [&](const Value& v, const std::string& k) { return to_text(v, k); }); }
  void field(std::string_view key, std::vector<std::string>& out) {
    read(key, out, [&](const Value& v, const std::string& k) { return to_list(v, k); });
  }
  void field(std::string_view key, std::optional<std::string>& out) {
    const Value* v = lookup(key);
    if (v == nullptr) return;
    if (v->is_null()) {
      out.reset();
      return;
    }
    auto text = to_text(*v, child_path(key));
    if (!text) {
      error_ = std::move(text).error();
      return;
    }
    out = std::move(text).value();
  }

  Section section(std::string_view key) { return Section(lookup(key), child_path(key), error_); }

 private:
  std::string child_path(std::string_view key) const { return fmt::format("{}.{}", path_, key); }

  const Value* lookup(std::string_view key) const {
    if (error_ || table_ == nullptr) return nullptr;
    return table_->find(key);
  }

  template <class T, class Convert>
  void read(std::string_view key, T& out, Convert convert) {
    const Value* v = lookup(key);
    if (v == nullptr) return;
    auto converted = convert(*v, child_path(key));
    if (!converted) {
      error_ = std::move(converted).error();
      return;
    }
    out = std::move(converted).value();
  }

  const Table* table_ = nullptr;
  std::string path_;
  std::optional<Error>& error_;
};

void read_agent(Section s, AgentConfig& c) {
  s.field("data_dir", c.data_dir);
  s.field("hostname", c.hostname);
}

void read_logging(Section s, LogConfig& c) {
  s.field("level", c.level);
  s.field("directory", c.directory);
  s.field("console_output", c.console_output);
}

void read_vintra_logs(Section s, VintraLogsConfig& c) {
  s.field("enabled", c.enabled);
  s.field("interval_seconds", c.interval_seconds);
  s.field("event_logs", c.event_logs);
  s.field("max_events_per_pull", c.max_events_per_pull);
  s.field("output_file", c.output_file);
  s.field("checkpoint_file", c.checkpoint_file);
}

void read_response(Section s, ResponseConfig& c) {
  s.field("enabled", c.enabled);
  s.field("prevention_enabled", c.prevention_enabled);
  s.field("min_severity", c.min_severity);
  s.field("channel_capacity", c.channel_capacity);
  s.field("allowlist_images", c.allowlist_images);
  s.field("allowlist_paths", c.allowlist_paths);
  s.field("allowlist_rules", c.allowlist_rules);
}

void read_threat_network(Section s, NetworkConfig& c) {
  s.field("aggregation_enabled", c.aggregation_enabled);
  s.field("aggregation_max_entries", c.aggregation_max_entries);
  s.field("aggregation_interval_buffer_size", c.aggregation_interval_buffer_size);
}

void read_vintra_threats(Section s, VintraThreatsConfig& c) {
  s.field("enabled", c.enabled);
  s.field("sigma_enabled", c.sigma_enabled);
  s.field("sigma_rules_path", c.sigma_rules_path);
  s.field("yara_enabled", c.yara_enabled);
  s.field("yara_rules_path", c.yara_rules_path);
  s.field("output_file", c.output_file);
  read_response(s.section("response"), c.response);
  read_threat_network(s.section("network"), c.network);

  s.field("ioc_file", c.ioc_file);
  s.field("ioc_severity_min", c.ioc_severity_min);
  s.field("memory_scan_interval_seconds", c.memory_scan_interval_seconds);
  s.field("bruteforce_seuil", c.bruteforce_seuil);
  s.field("network_scan_seuil", c.network_scan_seuil);
  s.field("data_staging_seuil_mo", c.data_staging_seuil_mo);
  s.field("ioc_min_confidence", c.ioc_min_confidence);
  s.field("ioc_auto_response", c.ioc_auto_response);

  s.field("persistence_extra_paths", c.persistence_extra_paths);
  s.field("webshell_extra_paths", c.webshell_extra_paths);
  s.field("kext_extra_dirs", c.kext_extra_dirs);
  s.field("suid_extra_dirs", c.suid_extra_dirs);
  s.field("sshd_extra_config_paths", c.sshd_extra_config_paths);
  s.field("pam_extra_config_paths", c.pam_extra_config_paths);
  s.field("shell_profile_extra_paths", c.shell_profile_extra_paths);
  s.field("ssh_authkey_extra_paths", c.ssh_authkey_extra_paths);
  s.field("malicious_job_extra_paths", c.malicious_job_extra_paths);
  s.field("ransomware_canary_dirs", c.ransomware_canary_dirs);
  s.field("honeytokens", c.honeytokens);

  s.field("ioc_enabled", c.ioc_enabled);
  s.field("persistence_enabled", c.persistence_enabled);
  s.field("account_watch", c.account_watch);
  s.field("ptrace_detection", c.ptrace_detection);
  s.field("lolbin_detection", c.lolbin_detection);
  s.field("hosts_tamper_detection", c.hosts_tamper_detection);
  s.field("rogue_ca_detection", c.rogue_ca_detection);
  s.field("webshell_detection", c.webshell_detection);
  s.field("proxy_tamper_detection", c.proxy_tamper_detection);
  s.field("browser_ext_detection", c.browser_ext_detection);
  s.field("firewall_watch_detection", c.firewall_watch_detection);
  s.field("secctl_watch_detection", c.secctl_watch_detection);
  s.field("data_staging_detection", c.data_staging_detection);
  s.field("sniff_watch_detection", c.sniff_watch_detection);
  s.field("dns_hijack_detection", c.dns_hijack_detection);
  s.field("remote_access_detection", c.remote_access_detection);
  s.field("process_masq_detection", c.process_masq_detection);
  s.field("network_scan_detection", c.network_scan_detection);
  s.field("cryptominer_detection", c.cryptominer_detection);
  s.field("bruteforce_detection", c.bruteforce_detection);
  s.field("suspicious_exec_detection", c.suspicious_exec_detection);
  s.field("reverse_shell_detection", c.reverse_shell_detection);
  s.field("bind_shell_detection", c.bind_shell_detection);
  s.field("preload_injection_detection", c.preload_injection_detection);
  s.field("log_tamper_detection", c.log_tamper_detection);
  s.field("sshd_backdoor_detection", c.sshd_backdoor_detection);
  s.field("pam_backdoor_detection", c.pam_backdoor_detection);
  s.field("kmod_detection", c.kmod_detection);
  s.field("suid_detection", c.suid_detection);
  s.field("download_exec_detection", c.download_exec_detection);
  s.field("inhibit_recovery_detection", c.inhibit_recovery_detection);
  s.field("service_stop_detection", c.service_stop_detection);
  s.field("data_destruction_detection", c.data_destruction_detection);
  s.field("shell_profile_detection", c.shell_profile_detection);
  s.field("protocol_tunnel_detection", c.protocol_tunnel_detection);
  s.field("rmm_tool_detection", c.rmm_tool_detection);
  s.field("ssh_authkey_detection", c.ssh_authkey_detection);
  s.field("malicious_job_detection", c.malicious_job_detection);
  s.field("credential_theft_detection", c.credential_theft_detection);
  s.field("container_escape_detection", c.container_escape_detection);
  s.field("data_exfil_detection", c.data_exfil_detection);
  s.field("lateral_movement_detection", c.lateral_movement_detection);
  s.field("shell_escape_detection", c.shell_escape_detection);
  s.field("anon_proxy_detection", c.anon_proxy_detection);
}

void read_sender(Section s, SenderConfig& c) {
  s.field("enabled", c.enabled);
  s.field("server_url", c.server_url);
  s.field("api_key", c.api_key);
  s.field("interval_seconds", c.interval_seconds);
  s.field("batch_size", c.batch_size);
  s.field("cursors_file", c.cursors_file);
  s.field("verify_tls", c.verify_tls);
  s.field("rules_sync_interval_seconds", c.rules_sync_interval_seconds);
  s.field("enforce_command_signature", c.enforce_command_signature);
}

void read_rmm(Section s, RmmConfig& c) {
  s.field("inventory_enabled", c.inventory_enabled);
  s.field("file_transfer_enabled", c.file_transfer_enabled);
  s.field("script_exec_enabled", c.script_exec_enabled);
  s.field("remote_desktop_enabled", c.remote_desktop_enabled);
}

void read_patch_management(Section s, PatchManagementConfig& c) {
  s.field("enabled", c.enabled);
  s.field("scan_interval_seconds", c.scan_interval_seconds);
  s.field("auto_deploy", c.auto_deploy);
  s.field("severity_threshold", c.severity_threshold);
}

void read_dlp_network(Section s, NetworkDlpConfig& c) {
  s.field("enabled", c.enabled);
  s.field("blocked_domains", c.blocked_domains);
  s.field("ipv6_block", c.ipv6_block);
  s.field("disable_browser_doh", c.disable_browser_doh);
  s.field("dns_probe_enabled", c.dns_probe_enabled);
  s.field("dns_probe_sample_size", c.dns_probe_sample_size);
  s.field("dns_probe_interval_seconds", c.dns_probe_interval_seconds);
}

void read_vintra_dlp(Section s, VintraDlpConfig& c) {
  s.field("enabled", c.enabled);
  s.field("usb_enabled", c.usb_enabled);
  s.field("usb_poll_seconds", c.usb_poll_seconds);
  s.field("decision_timeout_seconds", c.decision_timeout_seconds);
  s.field("events_file", c.events_file);
  s.field("ignore_extensions", c.ignore_extensions);
  s.field("cloud_folders", c.cloud_folders);
  read_dlp_network(s.section("network"), c.network);
}

// ---------------------------------------------------------------------------
// Layers.

Table defaults_layer() {
  Table root;
  for (const auto& [key, value] : config_defaults()) set_path(root, split_dotted(key), value);
  return root;
}

// Reads the configuration file found at the stem, if any. Nothing when there is no
// candidate or it cannot be read; an error naming the file when it does not parse.
Result<std::optional<Table>> file_layer(const std::string& stem) {
  // A file named exactly like the stem has no notation: it switches the file layer off.
  if (platform::is_regular_file(stem)) return std::optional<Table>();
  for (std::string_view ext : kConfigExtensions) {
    std::string path = fmt::format("{}.{}", stem, ext);
    if (!platform::is_regular_file(path)) continue;
    auto data = platform::read_file(path);
    if (!data) return std::optional<Table>();
    auto parsed = parse_notation(*notation_for_extension(ext), *data);
    const std::string context = fmt::format("cannot parse configuration file {}", path);
    if (!parsed) return std::move(parsed).error().context(context);
    if (parsed->is_null()) return std::optional<Table>(Table{});  // an empty YAML file
    if (Table* table = parsed->as_table()) return std::optional<Table>(std::move(*table));
    return Error(fmt::format("the top level must be a table, found {}", describe(*parsed))).context(context);
  }
  return std::optional<Table>();
}

// Names are lower-cased as Unicode does it; for the keys that exist, only ASCII
// letters and the Kelvin sign U+212A (which lower-cases to "k") can matter, since no
// other character lower-cases into ASCII.
std::string lower_name(std::string_view name) {
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') {
      out.push_back(static_cast<char>(c - 'A' + 'a'));
    } else if (name.substr(i, 3) == "\xE2\x84\xAA") {
      out.push_back('k');
      i += 2;
    } else {
      out.push_back(c);
    }
  }
  return out;
}

Table environment_layer(const std::vector<std::pair<std::string, std::string>>& environment) {
  Table layer;
  for (const auto& [name, value] : environment) {
    // The layer is defined over UTF-8 names and values; anything else is left out
    // rather than guessed at.
    if (text::find_invalid_utf8(name) != std::string_view::npos ||
        text::find_invalid_utf8(value) != std::string_view::npos)
      continue;
    std::string lower = lower_name(name);
    if (lower.size() < kEnvPrefix.size() || std::string_view(lower).substr(0, kEnvPrefix.size()) != kEnvPrefix)
      continue;
    std::string key;
    std::string_view rest = std::string_view(lower).substr(kEnvPrefix.size());
    for (std::size_t i = 0; i < rest.size();) {
      if (rest.substr(i, kEnvSeparator.size()) == kEnvSeparator) {
        key.push_back('.');
        i += kEnvSeparator.size();
      } else {
        key.push_back(rest[i++]);
      }
    }
    auto parts = split_dotted(key);
    bool usable = true;
    for (auto p : parts) usable = usable && !p.empty();
    if (!usable) continue;
    set_path(layer, parts, Value(value));
  }
  return layer;
}

}  // namespace

std::string config_file_stem(const ConfigInputs& inputs) {
  if (inputs.exe_dir && platform::exists(join_path(*inputs.exe_dir, "config.toml")))
    return join_path(*inputs.exe_dir, "config");
  return inputs.cwd ? join_path(*inputs.cwd, "config") : std::string("config");
}

Result<AppConfig> convert_config(const Table& merged) {
  AppConfig config;
  std::optional<Error> error;
  auto section = [&](std::string_view key) { return Section(merged.find(key), std::string(key), error); };
  read_agent(section("agent"), config.agent);
  read_logging(section("logging"), config.logging);
  read_vintra_logs(section("vintra_logs"), config.vintra_logs);
  read_vintra_threats(section("vintra_threats"), config.vintra_threats);
  read_sender(section("sender"), config.sender);
  read_rmm(section("rmm"), config.rmm);
  read_patch_management(section("patch_management"), config.patch_management);
  read_vintra_dlp(section("vintra_dlp"), config.vintra_dlp);
  if (error) return std::move(*error);
  return config;
}

std::string resolve_base(const ConfigInputs& inputs) {
  if (inputs.exe_dir) return *inputs.exe_dir;
  if (inputs.cwd) return *inputs.cwd;
  return std::string();
}

AppConfig resolve_relative_paths(AppConfig config, std::string_view base) {
  for (std::string* path : {&config.agent.data_dir, &config.logging.directory,
                            &config.vintra_threats.sigma_rules_path, &config.vintra_threats.yara_rules_path}) {
    if (path->empty() || path->front() != '/') *path = join_path(base, *path);
  }
  return config;
}

Result<AppConfig> load_config_from(const ConfigInputs& inputs) {
  Table merged = defaults_layer();
  VINTRA_TRY(std::optional<Table> file, file_layer(config_file_stem(inputs)));
  if (file) merge_into(merged, std::move(*file));
  merge_into(merged, environment_layer(inputs.environment));
  VINTRA_TRY(AppConfig config, convert_config(merged));
  return resolve_relative_paths(std::move(config), resolve_base(inputs));
}

Result<AppConfig> load_config() {
  ConfigInputs inputs;
  inputs.exe_dir = platform::exe_dir();
  if (auto cwd = platform::current_dir()) inputs.cwd = std::move(cwd).value();
  inputs.environment = platform::environment();
  return load_config_from(inputs);
}

}  // namespace vintra::config
