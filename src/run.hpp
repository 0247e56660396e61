// The run sequence behind `run` and `service`: configuration, logging, the disabled
// exit, policies, the start-up stage, the wait for SIGINT, and the shutdown stage.
#pragma once

#include "common/error.hpp"
#include "src/runtime/runtime.hpp"

namespace vintra {

struct RunOutcome {
  Status status;       // an error is printed after "Error: " with exit status 1
  bool fatal = false;  // a fatal start-up error: exit status 101 with a report
};

// Drives the whole sequence on the calling (main) thread; background tasks go to
// `runtime`, which the caller shuts down afterwards. Requires SIGINT blocked in
// every thread.
RunOutcome run_daemon(runtime::Runtime& runtime);

}  // namespace vintra
