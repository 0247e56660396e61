// A periodic timer on the steady clock: the first tick is due at once, then one
// every period. Ticks missed while the owner was busy are delivered back to back
// until the schedule has caught up (nothing is skipped). Not thread-safe: one owner.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <stop_token>

namespace vintra::runtime {

class PeriodicTimer {
 public:
  using Clock = std::chrono::steady_clock;

  explicit PeriodicTimer(Clock::duration period) : period_(period), next_(Clock::now()) {}

  // Waits for the next tick. False when `stop` was requested (before or while waiting).
  bool tick(std::stop_token stop) {
    if (stop.stop_requested()) return false;
    {
      std::unique_lock lock(mu_);
      // The predicate only turns true on a stop request; the deadline ends the wait.
      cv_.wait_until(lock, stop, next_, [] { return false; });
    }
    if (stop.stop_requested()) return false;
    next_ += period_;
    return true;
  }

 private:
  Clock::duration period_;
  Clock::time_point next_;
  std::mutex mu_;
  std::condition_variable_any cv_;
};

}  // namespace vintra::runtime
