// Which files the scan tool inspects, from its PATH arguments.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tools/scan/console.hpp"

namespace vintra::scan {

struct Target {
  std::string path;        // as given, or the folder argument joined with the names below it
  std::uint64_t size = 0;  // from the walk's metadata, as a producer would report it
};

struct Targets {
  std::vector<Target> files;  // sorted by path in byte order, each path once
  bool missing = false;       // a PATH argument did not exist (reported on the console)
};

// Each argument is looked up following symbolic links: a folder is walked
// recursively, anything else is a target itself (a FIFO or device too: the inspection
// declines to read it). Inside a walk only regular files are targets; symbolic links
// are not followed and other entries are skipped. Folders that cannot be listed are
// reported as warnings and skipped.
Targets collect_targets(const std::vector<std::string>& args, Console& console);

}  // namespace vintra::scan
