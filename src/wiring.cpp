#include "src/wiring.hpp"

namespace vintra {

Status startup_stage(RunContext& ctx, runtime::Runtime& runtime) {
  (void)ctx;
  (void)runtime;
  return ok();
}

void shutdown_stage(RunContext& ctx) {
  ctx.dispatcher.request_stop();
  ctx.consumer.request_stop();
}

}  // namespace vintra
