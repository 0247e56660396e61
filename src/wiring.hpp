// Start-up wiring and shutdown clean-up: what the run sequence does between loading
// its policies and waiting for the interrupt, and after the interrupt.
#pragma once

#include <string>

#include "common/config/app_config.hpp"
#include "common/error.hpp"
#include "src/policy/policies.hpp"
#include "src/runtime/runtime.hpp"

namespace vintra {

// What the run sequence holds from start-up until it returns.
struct RunContext {
  explicit RunContext(const config::AppConfig& cfg) : config(cfg) {}

  const config::AppConfig& config;
  std::string events_path;
  std::string exe_dir;
  std::string policies_path;
  policy::Policies policies;

  // Filled by the start-up stage.
  runtime::TaskHandle dispatcher;
  runtime::TaskHandle consumer;
  bool hosts_block_applied = false;
};

// Queues, remote domain list, reload task, network block, detector catalogue,
// dispatcher, consumer and journal task. Fails only with the fatal catalogue error.
Status startup_stage(RunContext& ctx, runtime::Runtime& runtime);

// Removes the network block written at start-up, flushes the DNS caches and cancels
// the dispatcher and the consumer. Never fails.
void shutdown_stage(RunContext& ctx);

}  // namespace vintra
