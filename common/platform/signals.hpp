// Signals. SIGPIPE is ignored for the whole process so a write to a closed pipe
// fails with an error. SIGINT is blocked in every thread (block it before the first
// thread starts) and taken synchronously with sigwait, so no handler ever runs
// async-signal-unsafe code.
#pragma once

#include "common/error.hpp"

namespace vintra::platform {

void ignore_sigpipe();
// Blocks SIGINT in the calling thread (threads created afterwards inherit the mask)
// and gives it its default disposition, in case it was inherited as ignored.
Status block_sigint();
// Waits until SIGINT arrives. Requires SIGINT blocked in every thread.
Status wait_for_sigint();

}  // namespace vintra::platform
