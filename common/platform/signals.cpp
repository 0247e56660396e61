#include "common/platform/signals.hpp"

#include <pthread.h>
#include <signal.h>

#include <cerrno>

namespace vintra::platform {

void ignore_sigpipe() { ::signal(SIGPIPE, SIG_IGN); }

Status block_sigint() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  if (int rc = pthread_sigmask(SIG_BLOCK, &set, nullptr); rc != 0) return Error::from_errno(rc);
  // A daemon started from a shell in the background inherits SIGINT ignored, and an
  // ignored signal is discarded instead of waiting for sigwait: restore the default
  // (harmless while blocked) so the interrupt always reaches the run sequence.
  ::signal(SIGINT, SIG_DFL);
  return ok();
}

Status wait_for_sigint() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  for (;;) {
    int sig = 0;
    int rc = sigwait(&set, &sig);
    if (rc == 0 && sig == SIGINT) return ok();
    if (rc != 0 && rc != EINTR) return Error::from_errno(rc);
  }
}

}  // namespace vintra::platform
