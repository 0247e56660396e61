// The daemon's launchd job: a property list in /Library/LaunchDaemons and launchctl
// calls in the system domain. One-shot, synchronous operations; each prints one line
// of success on standard output or returns an error. They do not check who runs them:
// without root the file operations or launchctl fail and that failure is returned.
#pragma once

#include <string>
#include <string_view>

#include "common/error.hpp"

namespace vintra::service {

struct ServiceSpec {
  std::string name;
  std::string description;
};

// "Korvane-VintraDlp", "Korvane EDR DLP enforcement (USB + cloud folders, content-aware)".
ServiceSpec default_service_spec();

// Reverse-domain prefix of the job label.
inline constexpr std::string_view kLabelPrefix = "com.korvane.";
inline constexpr std::string_view kLaunchDaemonsDir = "/Library/LaunchDaemons";
inline constexpr std::string_view kJobLogDir = "/var/log/korvane";
// The environment variable that makes the daemon add a stack backtrace to its fatal
// reports and error texts; the job sets it to 1.
inline constexpr std::string_view kBacktraceEnv = "VINTRA_DLP_BACKTRACE";

std::string job_label(const ServiceSpec& job);
std::string plist_path(const ServiceSpec& job);
std::string launchd_target(const ServiceSpec& job);

// The 27-line property list for the job running `exe_path service`. The inserted
// values are XML-escaped, so a path with "&" or "<" still gives a well-formed file.
std::string render_plist(const ServiceSpec& job, std::string_view exe_path);

Status install(const ServiceSpec& job);
Status uninstall(const ServiceSpec& job);
Status start(const ServiceSpec& job);
Status stop(const ServiceSpec& job);

}  // namespace vintra::service
