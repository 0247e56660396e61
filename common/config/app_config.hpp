// The agent-wide configuration record. Its format is shared with the agent's other
// components: eight sections, of which vintra-dlp reads agent, logging and vintra_dlp.
// The other five are converted and checked all the same, so a malformed value there
// stops this program too.
//
// Member initialisers hold the value each key has when no source sets it: the
// built-in default where the key has one (config_defaults() registers the same
// values), else the record default. A default-constructed AppConfig therefore equals
// the converted built-in defaults before the path keys are made absolute.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "common/config/value.hpp"

namespace vintra::config {

struct AgentConfig {
  std::string data_dir = "data";  // made absolute while loading
  std::optional<std::string> hostname;

  friend bool operator==(const AgentConfig&, const AgentConfig&) = default;
};

struct LogConfig {
  std::string level = "info";
  std::string directory = "logs";  // made absolute while loading
  bool console_output = true;

  friend bool operator==(const LogConfig&, const LogConfig&) = default;
};

struct VintraLogsConfig {
  bool enabled = true;
  std::uint64_t interval_seconds = 30;
  std::vector<std::string> event_logs = {"Security", "System", "Application"};
  std::uint64_t max_events_per_pull = 5000;
  std::string output_file = "logs.jsonl";
  std::string checkpoint_file = "checkpoint-logs.json";

  friend bool operator==(const VintraLogsConfig&, const VintraLogsConfig&) = default;
};

struct ResponseConfig {
  bool enabled = false;
  bool prevention_enabled = false;
  std::string min_severity = "critical";
  std::uint64_t channel_capacity = 128;
  std::vector<std::string> allowlist_images = {"sshd", "ssh"};
  std::vector<std::string> allowlist_paths = {"C:\\Windows\\", "C:\\Program Files\\",
                                              "C:\\Program Files (x86)\\"};
  std::vector<std::string> allowlist_rules;

  friend bool operator==(const ResponseConfig&, const ResponseConfig&) = default;
};

struct NetworkConfig {
  bool aggregation_enabled = true;
  std::uint64_t aggregation_max_entries = 20000;
  std::uint64_t aggregation_interval_buffer_size = 50;

  friend bool operator==(const NetworkConfig&, const NetworkConfig&) = default;
};

struct VintraThreatsConfig {
  bool enabled = true;
  bool sigma_enabled = true;
  std::string sigma_rules_path = "rules/sigma";  // made absolute while loading
  bool yara_enabled = true;
  std::string yara_rules_path = "rules/yara";  // made absolute while loading
  std::string output_file = "threats.jsonl";
  ResponseConfig response;
  NetworkConfig network;

  std::string ioc_file = "rules/iocs.json";
  std::string ioc_severity_min = "high";
  std::uint64_t memory_scan_interval_seconds = 0;
  std::uint64_t bruteforce_seuil = 10;
  std::uint64_t network_scan_seuil = 30;
  std::uint64_t data_staging_seuil_mo = 50;
  std::uint32_t ioc_min_confidence = 0;
  bool ioc_auto_response = false;

  std::vector<std::string> persistence_extra_paths;
  std::vector<std::string> webshell_extra_paths;
  std::vector<std::string> kext_extra_dirs;
  std::vector<std::string> suid_extra_dirs;
  std::vector<std::string> sshd_extra_config_paths;
  std::vector<std::string> pam_extra_config_paths;
  std::vector<std::string> shell_profile_extra_paths;
  std::vector<std::string> ssh_authkey_extra_paths;
  std::vector<std::string> malicious_job_extra_paths;
  std::vector<std::string> ransomware_canary_dirs;
  std::vector<std::string> honeytokens;

  bool ioc_enabled = true;
  bool persistence_enabled = true;
  bool account_watch = true;
  bool ptrace_detection = true;
  bool lolbin_detection = true;
  bool hosts_tamper_detection = true;
  bool rogue_ca_detection = true;
  bool webshell_detection = true;
  bool proxy_tamper_detection = true;
  bool browser_ext_detection = true;
  bool firewall_watch_detection = true;
  bool secctl_watch_detection = true;
  bool data_staging_detection = true;
  bool sniff_watch_detection = true;
  bool dns_hijack_detection = true;
  bool remote_access_detection = true;
  bool process_masq_detection = true;
  bool network_scan_detection = true;
  bool cryptominer_detection = true;
  bool bruteforce_detection = true;
  bool suspicious_exec_detection = true;
  bool reverse_shell_detection = true;
  bool bind_shell_detection = true;
  bool preload_injection_detection = true;
  bool log_tamper_detection = true;
  bool sshd_backdoor_detection = true;
  bool pam_backdoor_detection = true;
  bool kmod_detection = true;
  bool suid_detection = true;
  bool download_exec_detection = true;
  bool inhibit_recovery_detection = true;
  bool service_stop_detection = true;
  bool data_destruction_detection = true;
  bool shell_profile_detection = true;
  bool protocol_tunnel_detection = true;
  bool rmm_tool_detection = true;
  bool ssh_authkey_detection = true;
  bool malicious_job_detection = true;
  bool credential_theft_detection = true;
  bool container_escape_detection = true;
  bool data_exfil_detection = true;
  bool lateral_movement_detection = true;
  bool shell_escape_detection = true;
  bool anon_proxy_detection = true;

  friend bool operator==(const VintraThreatsConfig&, const VintraThreatsConfig&) = default;
};

// The built-in default of sender.server_url: the agent's server on this machine.
inline constexpr const char* kDefaultServerUrl = "https://127.0.0.1:8443";

struct SenderConfig {
  bool enabled = true;
  std::string server_url = kDefaultServerUrl;
  std::string api_key;
  std::uint64_t interval_seconds = 10;
  std::uint64_t batch_size = 100;
  std::string cursors_file = ".cursors.json";
  bool verify_tls = true;
  std::uint64_t rules_sync_interval_seconds = 3600;
  bool enforce_command_signature = false;

  friend bool operator==(const SenderConfig&, const SenderConfig&) = default;
};

struct RmmConfig {
  bool inventory_enabled = false;
  bool file_transfer_enabled = false;
  bool script_exec_enabled = false;
  bool remote_desktop_enabled = false;

  friend bool operator==(const RmmConfig&, const RmmConfig&) = default;
};

struct PatchManagementConfig {
  bool enabled = false;
  std::uint64_t scan_interval_seconds = 3600;
  bool auto_deploy = false;
  std::string severity_threshold = "critical";

  friend bool operator==(const PatchManagementConfig&, const PatchManagementConfig&) = default;
};

struct NetworkDlpConfig {
  bool enabled = false;
  std::vector<std::string> blocked_domains;
  bool ipv6_block = true;
  bool disable_browser_doh = true;
  bool dns_probe_enabled = true;
  std::uint64_t dns_probe_sample_size = 10;
  std::uint64_t dns_probe_interval_seconds = 600;

  friend bool operator==(const NetworkDlpConfig&, const NetworkDlpConfig&) = default;
};

struct VintraDlpConfig {
  bool enabled = false;
  bool usb_enabled = true;
  std::uint64_t usb_poll_seconds = 5;
  std::uint64_t decision_timeout_seconds = 300;
  std::string events_file = "dlp_events.jsonl";
  std::vector<std::string> ignore_extensions;
  std::vector<std::string> cloud_folders = {"OneDrive", "Dropbox", "MEGA", "MEGAsync", "Google Drive"};
  NetworkDlpConfig network;

  friend bool operator==(const VintraDlpConfig&, const VintraDlpConfig&) = default;
};

struct AppConfig {
  AgentConfig agent;
  LogConfig logging;
  VintraLogsConfig vintra_logs;
  VintraThreatsConfig vintra_threats;
  SenderConfig sender;
  RmmConfig rmm;
  PatchManagementConfig patch_management;
  VintraDlpConfig vintra_dlp;

  friend bool operator==(const AppConfig&, const AppConfig&) = default;
};

// The built-in defaults as (dotted key, value) pairs, section by section in record
// order and keys in field order; each value is of its key's kind (lists as arrays of
// texts, unsigned numbers as uint). The loader registers them one by one as its
// lowest layer, so every listed key is present after loading.
const std::vector<std::pair<std::string, Value>>& config_defaults();

}  // namespace vintra::config
