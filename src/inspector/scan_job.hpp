// One file to inspect, as a producer puts it on the scan queue.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vintra {

enum class ScanSource : std::uint8_t { kUsb, kCloud };

// "usb" or "cloud": the policy context key of a source.
constexpr std::string_view context_key(ScanSource s) { return s == ScanSource::kUsb ? "usb" : "cloud"; }

struct ScanJob {
  std::string path;  // used unchanged, not made absolute
  std::optional<std::string> drive_label;
  std::uint64_t size = 0;  // as the producer saw it; copied into the event
  ScanSource source = ScanSource::kUsb;
};

}  // namespace vintra
