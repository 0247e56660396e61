// Helpers shared by the events tests: times and ready-made events.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "src/events/event.hpp"

namespace vintra::events::testing {

inline UtcTime utc(std::int64_t seconds, std::int64_t nanos = 0) {
  return UtcTime(std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanos));
}

// 2024-06-03T16:00:00Z
inline constexpr std::int64_t kJune3 = 1717430400;

inline DlpEvent sample_event() {
  DlpEvent e;
  e.id = "1717430400123456000";
  e.timestamp = utc(kJune3, 123457000);
  e.channel = Channel::kRemovableUsb;
  e.direction = Direction::kOutbound;
  e.file_path = "/Volumes/KEY/notes.txt";
  e.file_size = 512;
  e.drive_label = "KEY";
  e.decision = Decision::kPending;
  e.findings = {{"EMAIL", 2, Severity::kMedium}};
  e.severity = Severity::kMedium;
  return e;
}

inline DlpEvent event_at(std::string id, UtcTime ts, Decision decision = Decision::kPending,
                         Channel channel = Channel::kRemovableUsb) {
  DlpEvent e = sample_event();
  e.id = std::move(id);
  e.timestamp = ts;
  e.decision = decision;
  e.channel = channel;
  return e;
}

}  // namespace vintra::events::testing
