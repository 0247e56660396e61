#include "src/logging/clock.hpp"

#include <atomic>

namespace vintra::logging {
namespace {
std::atomic<NowFunction> g_now{nullptr};
}  // namespace

LogClock::time_point log_now() noexcept {
  NowFunction now = g_now.load(std::memory_order_acquire);
  return now != nullptr ? now() : LogClock::now();
}

void set_clock_for_testing(NowFunction now) noexcept { g_now.store(now, std::memory_order_release); }

}  // namespace vintra::logging
