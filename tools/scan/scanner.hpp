// Inspecting the targets in parallel and reporting them in order.
#pragma once

#include <vector>

#include "src/inspector/patterns.hpp"
#include "src/policy/policies.hpp"
#include "tools/scan/console.hpp"
#include "tools/scan/options.hpp"
#include "tools/scan/walk.hpp"

namespace vintra::scan {

struct ScanSettings {
  ScanSource source = ScanSource::kUsb;
  Format format = Format::kJsonl;
  bool candidates = false;
};

// Inspects every target with the daemon's inspection path on a few threads (one per
// CPU) and writes each file's report as soon as every file before it has been
// written, so the output is in the targets' order whatever finishes first. Workers
// run at most a small window ahead of the output, which bounds what waits in memory;
// each holds one file's text at a time. Draws a progress line on the console when the
// scan takes more than a second. False when a file could not be inspected at all
// (an internal failure, reported on the console).
bool run_scan(const std::vector<Target>& targets, const inspector::Catalogue& catalogue,
              const policy::Policies& policies, const ScanSettings& settings, Console& console);

}  // namespace vintra::scan
