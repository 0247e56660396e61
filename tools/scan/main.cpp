// vintra-dlp-scan: the administrators' scan tool. Runs the daemon's own inspection
// path over files and folders and prints what the daemon would find, decide and
// record for each of them.

#include <cstdio>
#include <memory>
#include <string>
#include <variant>
#include <vector>

#include "common/error.hpp"
#include "common/paths.hpp"
#include "common/platform/exe.hpp"
#include "common/platform/files.hpp"
#include "common/platform/terminal.hpp"
#include "src/inspector/patterns.hpp"
#include "src/logging/log.hpp"
#include "src/policy/policies.hpp"
#include "tools/scan/console.hpp"
#include "tools/scan/options.hpp"
#include "tools/scan/scanner.hpp"
#include "tools/scan/walk.hpp"

namespace vintra::scan {
namespace {

constexpr int kStdout = 1;
constexpr int kStderr = 2;

int fail(const Error& e) {
  std::fprintf(stderr, "Error: %s\n", e.render().c_str());
  return 1;
}

// An explicitly named file must load; the default one falls back as in the daemon.
Result<policy::Policies> policies_for(const Options& o, Console& console) {
  if (o.policies) {
    if (!platform::exists(*o.policies)) return Error("policies file not found at " + *o.policies);
    auto loaded = policy::load_policies(*o.policies);
    if (!loaded) return std::move(loaded).error().context("could not load policies from " + *o.policies);
    return loaded;
  }
  const std::string path = join_path(platform::exe_dir().value_or("."), "dlp_policies.yaml");
  auto loaded = policy::load_policies(path);  // warns through the log when missing
  if (loaded) return loaded;
  console.err("warning: could not load policies: " + loaded.error().render() + "\n");
  return policy::fallback_policies();
}

int scan_main(const std::vector<std::string>& args) {
  auto parsed = parse_options(args);
  if (const Exit* exit = std::get_if<Exit>(&parsed)) {
    std::fputs(exit->text.c_str(), exit->to_stderr ? stderr : stdout);
    return exit->status;
  }
  const Options& options = std::get<Options>(parsed);

  const bool err_terminal = platform::is_terminal(kStderr);
  Console console(err_terminal, err_terminal && platform::is_terminal(kStdout));
  // The daemon's modules report through the log; here their warnings go to the console.
  logging::install(logging::Filter::parse_or_info("warn"), console_log_sink(console));

  auto policies = policies_for(options, console);
  if (!policies) return fail(policies.error());
  auto catalogue = inspector::build_catalogue();
  if (!catalogue) return fail(std::move(catalogue).error().context("DLP regex must compile"));

  const Targets targets = collect_targets(options.paths, console);
  ScanSettings settings;
  settings.source = options.source;
  settings.format = options.format.value_or(platform::is_terminal(kStdout) ? Format::kText : Format::kJsonl);
  settings.candidates = options.candidates;
  const bool scanned = run_scan(targets.files, **catalogue, *policies, settings, console);
  logging::uninstall();
  return scanned && !targets.missing ? 0 : 1;
}

}  // namespace
}  // namespace vintra::scan

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
  return vintra::scan::scan_main(args);
}
