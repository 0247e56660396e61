#include "src/run.hpp"

#include <fmt/format.h>

#include <memory>
#include <optional>
#include <string>

#include "common/config/app_config.hpp"
#include "common/config/load.hpp"
#include "common/paths.hpp"
#include "common/platform/exe.hpp"
#include "common/platform/signals.hpp"
#include "src/logging/log.hpp"
#include "src/policy/policies.hpp"
#include "src/wiring.hpp"

namespace vintra {

using logging::Level;
using logging::kTargetMain;

RunOutcome run_daemon(runtime::Runtime& runtime) {
  auto loaded = config::load_config();
  if (!loaded) return {Status(std::move(loaded).error()), false};
  const config::AppConfig& cfg = *loaded;

  if (auto st = logging::init_daemon_logging(cfg.logging.level, cfg.logging.directory); !st)
    return {std::move(st), true};

  if (!cfg.vintra_dlp.enabled) {
    VINTRA_LOG(Level::kInfo, kTargetMain, "vintra_dlp disabled in config, exiting");
    return {ok(), false};
  }
  VINTRA_LOG(Level::kInfo, kTargetMain, "Korvane DLP starting");

  RunContext ctx(cfg);
  ctx.events_path = join_path(cfg.agent.data_dir, cfg.vintra_dlp.events_file);
  ctx.exe_dir = platform::exe_dir().value_or(".");
  ctx.policies_path = join_path(ctx.exe_dir, "dlp_policies.yaml");

  auto policies = policy::load_policies(ctx.policies_path);
  if (policies) {
    ctx.policies = std::move(policies).value();
  } else {
    VINTRA_LOG(Level::kWarn, kTargetMain, "could not load policies: " + policies.error().render());
    ctx.policies = policy::fallback_policies();
  }
  VINTRA_LOG(Level::kInfo, kTargetMain, fmt::format("loaded {} DLP policies", ctx.policies.policies.size()));

  if (auto st = startup_stage(ctx, runtime); !st) return {std::move(st), true};

  // Without a way to wait for the interrupt the daemon shuts down at once rather
  // than running unstoppably.
  (void)platform::wait_for_sigint();

  VINTRA_LOG(Level::kInfo, kTargetMain, "Shutdown");
  shutdown_stage(ctx);
  return {ok(), false};
}

}  // namespace vintra
