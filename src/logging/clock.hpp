// The clock behind log timestamps and daily rotation. It is the system's UTC clock;
// tests put a fixed or stepping clock in its place to cross midnight without waiting.
#pragma once

#include <chrono>

namespace vintra::logging {

using LogClock = std::chrono::system_clock;
using NowFunction = LogClock::time_point (*)();

// The current time as the log sees it. Thread-safe, one atomic load on top of the clock.
LogClock::time_point log_now() noexcept;

// Replaces the clock (nullptr: the system clock again). A plain function pointer, so
// that reading it never needs a lock; the function must be thread-safe.
void set_clock_for_testing(NowFunction now) noexcept;

}  // namespace vintra::logging
