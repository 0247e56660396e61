#include "common/service/service.hpp"

#include <cstdio>

#include "common/platform/exe.hpp"
#include "common/platform/files.hpp"
#include "common/platform/process.hpp"

namespace vintra::service {
namespace {

std::string xml_escape(std::string_view in) {
  std::string out;
  out.reserve(in.size());
  for (char c : in) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
  }
  return out;
}

void say(const std::string& line) {
  std::string text = line + "\n";
  std::fputs(text.c_str(), stdout);
  std::fflush(stdout);
}

Result<platform::ExitStatus> launchctl(std::vector<std::string> args) {
  return platform::run_command("launchctl", args);
}

}  // namespace

ServiceSpec default_service_spec() {
  return {"Korvane-VintraDlp", "Korvane EDR DLP enforcement (USB + cloud folders, content-aware)"};
}

std::string job_label(const ServiceSpec& job) { return std::string(kLabelPrefix) + job.name; }

std::string plist_path(const ServiceSpec& job) {
  return std::string(kLaunchDaemonsDir) + "/" + job_label(job) + ".plist";
}

std::string launchd_target(const ServiceSpec& job) { return "system/" + job_label(job); }

std::string render_plist(const ServiceSpec& job, std::string_view exe_path) {
  const std::string label = xml_escape(job_label(job));
  const std::string name = xml_escape(job.name);
  std::string p;
  p += "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
  p += "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n";
  p += "<plist version=\"1.0\">\n";
  p += "<dict>\n";
  p += "  <key>Label</key>\n";
  p += "  <string>" + label + "</string>\n";
  p += "  <key>ProgramArguments</key>\n";
  p += "  <array>\n";
  p += "    <string>" + xml_escape(exe_path) + "</string>\n";
  p += "    <string>service</string>\n";
  p += "  </array>\n";
  p += "  <key>RunAtLoad</key>\n";
  p += "  <true/>\n";
  p += "  <key>KeepAlive</key>\n";
  p += "  <true/>\n";
  p += "  <key>StandardOutPath</key>\n";
  p += "  <string>" + std::string(kJobLogDir) + "/" + name + ".log</string>\n";
  p += "  <key>StandardErrorPath</key>\n";
  p += "  <string>" + std::string(kJobLogDir) + "/" + name + ".err</string>\n";
  p += "  <key>EnvironmentVariables</key>\n";
  p += "  <dict>\n";
  p += "    <key>" + xml_escape(kBacktraceEnv) + "</key>\n";
  p += "    <string>1</string>\n";
  p += "  </dict>\n";
  p += "  <!-- " + xml_escape(job.description) + " -->\n";
  p += "</dict>\n";
  p += "</plist>\n";
  return p;
}

Status install(const ServiceSpec& job) {
  VINTRA_TRY(std::string exe, platform::current_exe());
  const std::string plist = render_plist(job, exe);
  const std::string path = plist_path(job);
  (void)platform::create_directories(std::string(kJobLogDir));

  // Written in place: launchd reads the file only when bootstrapped below.
  VINTRA_TRY(platform::UniqueFd fd, platform::open_truncate_nofollow(path));
  VINTRA_TRY_STATUS(platform::write_all(fd.get(), plist));
  VINTRA_TRY_STATUS(fd.close());

  VINTRA_TRY(platform::ExitStatus st, launchctl({"bootstrap", "system", path}));
  if (!st.success()) return Error("launchctl bootstrap failed for " + job.name);
  say("Service '" + job.name + "' installed at " + path);
  return ok();
}

Status uninstall(const ServiceSpec& job) {
  const std::string path = plist_path(job);
  // Booting out a job that is not loaded fails; that changes nothing here.
  (void)launchctl({"bootout", launchd_target(job)});
  if (platform::entry_kind_nofollow(path) != platform::EntryKind::kMissing) {
    VINTRA_TRY_STATUS(platform::remove_file(path));
  }
  say("Service '" + job.name + "' uninstalled");
  return ok();
}

Status start(const ServiceSpec& job) {
  VINTRA_TRY(platform::ExitStatus st, launchctl({"kickstart", launchd_target(job)}));
  if (!st.success()) return Error("launchctl kickstart failed for " + job.name);
  say("Service '" + job.name + "' started");
  return ok();
}

Status stop(const ServiceSpec& job) {
  VINTRA_TRY(platform::ExitStatus st, launchctl({"kickstart", "-k", launchd_target(job)}));
  if (!st.success()) return Error("launchctl kickstart -k failed for " + job.name);
  say("Service '" + job.name + "' stopped (will restart if KeepAlive=true)");
  return ok();
}

}  // namespace vintra::service
