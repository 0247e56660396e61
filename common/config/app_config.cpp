#include "common/config/app_config.hpp"

namespace vintra::config {
namespace {

Value texts(std::initializer_list<const char*> items) {
  Array out;
  out.reserve(items.size());
  for (const char* item : items) out.emplace_back(item);
  return out;
}

std::vector<std::pair<std::string, Value>> build_defaults() {
  using U = std::uint64_t;
  return {
      {"agent.data_dir", "data"},

      {"logging.level", "info"},
      {"logging.directory", "logs"},
      {"logging.console_output", true},

      {"vintra_logs.enabled", true},
      {"vintra_logs.interval_seconds", U{30}},
      {"vintra_logs.event_logs", texts({"Security", "System", "Application"})},
      {"vintra_logs.max_events_per_pull", U{5000}},
      {"vintra_logs.output_file", "logs.jsonl"},
      {"vintra_logs.checkpoint_file", "checkpoint-logs.json"},

      {"vintra_threats.enabled", true},
      {"vintra_threats.sigma_enabled", true},
      {"vintra_threats.sigma_rules_path", "rules/sigma"},
      {"vintra_threats.yara_enabled", true},
      {"vintra_threats.yara_rules_path", "rules/yara"},
      {"vintra_threats.output_file", "threats.jsonl"},
      {"vintra_threats.response.enabled", false},
      {"vintra_threats.response.prevention_enabled", false},
      {"vintra_threats.response.min_severity", "critical"},
      {"vintra_threats.response.channel_capacity", U{128}},
      {"vintra_threats.response.allowlist_images", texts({"sshd", "ssh"})},
      {"vintra_threats.response.allowlist_paths",
       texts({"C:\\Windows\\", "C:\\Program Files\\", "C:\\Program Files (x86)\\"})},
      {"vintra_threats.network.aggregation_enabled", true},
      {"vintra_threats.network.aggregation_max_entries", U{20000}},
      {"vintra_threats.network.aggregation_interval_buffer_size", U{50}},

      {"sender.enabled", true},
      {"sender.server_url", kDefaultServerUrl},
      {"sender.api_key", ""},
      {"sender.interval_seconds", U{10}},
      {"sender.batch_size", U{100}},
      {"sender.cursors_file", ".cursors.json"},
      {"sender.verify_tls", true},
      {"sender.rules_sync_interval_seconds", U{3600}},

      {"rmm.inventory_enabled", false},
      {"rmm.file_transfer_enabled", false},
      {"rmm.script_exec_enabled", false},
      {"rmm.remote_desktop_enabled", false},

      {"patch_management.enabled", false},
      {"patch_management.scan_interval_seconds", U{3600}},
      {"patch_management.auto_deploy", false},
      {"patch_management.severity_threshold", "critical"},

      {"vintra_dlp.enabled", false},
      {"vintra_dlp.usb_enabled", true},
      {"vintra_dlp.usb_poll_seconds", U{5}},
      {"vintra_dlp.decision_timeout_seconds", U{300}},
      {"vintra_dlp.events_file", "dlp_events.jsonl"},
      {"vintra_dlp.ignore_extensions", Array{}},
      {"vintra_dlp.cloud_folders", texts({"OneDrive", "Dropbox", "MEGA", "MEGAsync", "Google Drive"})},
      {"vintra_dlp.network.enabled", false},
      {"vintra_dlp.network.blocked_domains", Array{}},
      {"vintra_dlp.network.ipv6_block", true},
      {"vintra_dlp.network.disable_browser_doh", true},
      {"vintra_dlp.network.dns_probe_enabled", true},
      {"vintra_dlp.network.dns_probe_sample_size", U{10}},
      {"vintra_dlp.network.dns_probe_interval_seconds", U{600}},
  };
}

}  // namespace

const std::vector<std::pair<std::string, Value>>& config_defaults() {
  static const auto defaults = build_defaults();
  return defaults;
}

}  // namespace vintra::config
