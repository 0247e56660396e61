// The DLP event record: one file seen on a channel, what was found in it, how
// severe that is, and the decision about it. Plain values, moved from the
// inspection job through the event queue to the consumer.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vintra {

// Ordered: the highest severity is always the highest in this order.
enum class Severity : std::uint8_t { kLow = 0, kMedium = 1, kHigh = 2, kCritical = 3 };

enum class Channel : std::uint8_t {
  kRemovableUsb = 0,
  kCloudSync = 1,
  kNetworkShare = 2,
  kNetworkUpload = 3,
  kDnsLatencyProbe = 4,
  kClipboard = 5,
  kPrint = 6,
};

enum class Direction : std::uint8_t { kOutbound = 0, kInbound = 1 };

enum class Decision : std::uint8_t { kPending = 0, kAllowed = 1, kDenied = 2, kExpired = 3 };

// UTC instants with nanosecond resolution.
using UtcTime = std::chrono::sys_time<std::chrono::nanoseconds>;

// Names used in journal lines ("critical", "removable_usb") and in log fields
// ("Critical", "RemovableUsb").
std::string_view json_name(Severity v);
std::string_view json_name(Channel v);
std::string_view json_name(Direction v);
std::string_view json_name(Decision v);
std::string_view log_name(Severity v);
std::string_view log_name(Channel v);
std::string_view log_name(Direction v);
std::string_view log_name(Decision v);

struct Finding {
  std::string entity;  // "CREDIT_CARD", ...
  std::uint64_t match_count = 0;
  Severity severity = Severity::kLow;

  bool operator==(const Finding&) const = default;
};

struct DlpEvent {
  std::string id;
  UtcTime timestamp{};
  Channel channel = Channel::kRemovableUsb;
  Direction direction = Direction::kOutbound;
  std::string file_path;  // raw bytes; must be valid UTF-8 to be written to the journal
  std::uint64_t file_size = 0;
  std::optional<std::string> drive_label;
  std::optional<std::string> process;
  Decision decision = Decision::kPending;
  std::optional<std::string> decided_by;
  std::optional<UtcTime> decided_at;
  std::vector<Finding> findings;
  Severity severity = Severity::kLow;

  bool operator==(const DlpEvent&) const = default;
};

}  // namespace vintra
