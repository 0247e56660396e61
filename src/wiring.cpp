#include "src/wiring.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <utility>

#include "src/events/consumer.hpp"
#include "src/events/event.hpp"
#include "src/events/journal.hpp"
#include "src/inspector/dispatcher.hpp"
#include "src/inspector/patterns.hpp"
#include "src/inspector/scan_job.hpp"
#include "src/logging/log.hpp"
#include "src/network/doh_block.hpp"
#include "src/network/hosts.hpp"
#include "src/network/policy_cache.hpp"
#include "src/runtime/bounded_queue.hpp"

namespace vintra {
namespace {

using logging::kTargetMain;
using logging::Level;

constexpr std::size_t kQueueCapacity = 1024;
// Pending decisions never expire sooner than this, whatever the configuration says.
constexpr std::uint64_t kMinExpirySeconds = 10;
// ... and no later than this, so that a huge value cannot overflow the clock arithmetic
// (a thousand years is "never" for a pending decision).
constexpr std::uint64_t kMaxExpirySeconds = 1000ull * 366 * 24 * 3600;

// A task that cannot even be started leaves the daemon running without it; say so.
template <class F>
void spawn_or_log(runtime::Runtime& rt, const char* what, const char* thread_name, F&& body,
                  runtime::TaskHandle* handle = nullptr) {
  auto spawned = rt.spawn(thread_name, std::forward<F>(body));
  if (!spawned) {
    VINTRA_LOG(Level::kError, kTargetMain,
               fmt::format("could not start the {}: {}", what, spawned.error().render()));
    return;
  }
  if (handle != nullptr) *handle = std::move(spawned).value();
}

}  // namespace

Status startup_stage(RunContext& ctx, runtime::Runtime& rt) {
  const auto& cfg = ctx.config;
  const auto& net = cfg.vintra_dlp.network;

  // Queues. Nothing produces scan jobs in this version, so the scan queue's only
  // sending handle goes at once and the dispatcher finds the queue ended.
  auto [scan_tx, scan_rx] = runtime::make_bounded_queue<ScanJob>(kQueueCapacity);
  scan_tx.release();
  auto [event_tx, event_rx] = runtime::make_bounded_queue<DlpEvent>(kQueueCapacity);

  // The server-distributed domain list, merged with the configured one.
  std::optional<network::DlpPolicyCache> cache = network::load_policy_cache(cfg.agent.data_dir);
  const std::vector<std::string> no_domains;
  std::vector<std::string> merged =
      network::merge_blocked_domains(net.blocked_domains, cache ? cache->blocked_domains : no_domains);
  const std::string shown_version = cache && !cache->version.empty() ? cache->version : "none";
  VINTRA_LOG(Level::kInfo, kTargetMain,
             fmt::format("network DLP: {} blocked domains (config + server v{})", merged.size(), shown_version));

  network::ReloadInputs reload;
  reload.last_version = cache ? cache->version : std::string();
  reload.data_dir = cfg.agent.data_dir;
  reload.configured_domains = net.blocked_domains;
  reload.network_enabled = net.enabled;
  reload.ipv6_block = net.ipv6_block;
  spawn_or_log(rt, "policy reload task", "dlp-reload", [reload = std::move(reload)](std::stop_token st) mutable {
    network::run_policy_reload(std::move(reload), st);
  });

  if (net.enabled) {
    auto applied = network::apply_hosts_block(merged, net.ipv6_block);
    if (applied) {
      ctx.hosts_block_applied = true;
      if (net.disable_browser_doh) {
        if (auto doh = network::apply_doh_block(); !doh)
          VINTRA_LOG(Level::kError, kTargetMain, "DoH block apply failed: " + doh.error().render());
      }
      network::flush_dns_cache();
    } else {
      VINTRA_LOG(Level::kError, kTargetMain, "hosts apply failed: " + applied.error().render());
    }
  }

  auto catalogue = inspector::build_catalogue();
  if (!catalogue) return std::move(catalogue).error().context("DLP regex must compile");
  std::shared_ptr<const inspector::Catalogue> shared_catalogue = std::move(catalogue).value();
  auto shared_policies = std::make_shared<const policy::Policies>(std::move(ctx.policies));

  runtime::BlockingPool* pool = &rt.blocking();
  spawn_or_log(
      rt, "scan dispatcher", "dlp-dispatcher",
      [rx = std::move(scan_rx), shared_catalogue, shared_policies, tx = event_tx, pool](std::stop_token st) mutable {
        inspector::run_scan_dispatcher(std::move(rx), std::move(shared_catalogue), std::move(shared_policies),
                                       std::move(tx), *pool, st);
      },
      &ctx.dispatcher);
  // From here on only the dispatcher and its jobs keep the event queue open.
  event_tx.release();

  spawn_or_log(
      rt, "event consumer", "dlp-consumer",
      [path = ctx.events_path, rx = std::move(event_rx)](std::stop_token st) mutable {
        events::run_event_consumer(std::move(path), std::move(rx), st);
      },
      &ctx.consumer);

  const auto timeout = std::chrono::seconds(static_cast<std::int64_t>(
      std::clamp(cfg.vintra_dlp.decision_timeout_seconds, kMinExpirySeconds, kMaxExpirySeconds)));
  spawn_or_log(rt, "journal task", "dlp-journal", [path = ctx.events_path, timeout](std::stop_token st) mutable {
    events::run_expirer(std::move(path), timeout, st);
  });
  return ok();
}

void shutdown_stage(RunContext& ctx) {
  const auto& net = ctx.config.vintra_dlp.network;
  if (ctx.hosts_block_applied) {
    if (auto removed = network::remove_hosts_block(); !removed)
      VINTRA_LOG(Level::kWarn, kTargetMain, "network DLP: hosts cleanup failed: " + removed.error().render());
    if (net.disable_browser_doh) network::remove_doh_block();
    network::flush_dns_cache();
  }
  ctx.dispatcher.request_stop();
  ctx.consumer.request_stop();
}

}  // namespace vintra
