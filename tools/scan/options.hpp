// The scan tool's command line.
#pragma once

#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "src/inspector/scan_job.hpp"

namespace vintra::scan {

enum class Format { kText, kJsonl };

struct Options {
  ScanSource source = ScanSource::kUsb;
  std::optional<std::string> policies;  // nothing: dlp_policies.yaml beside the executable
  std::optional<Format> format;         // nothing: text on a terminal, jsonl otherwise
  bool candidates = false;
  std::vector<std::string> paths;  // at least one
};

// What to print instead of scanning: help (standard output, status 0) or a usage
// error (standard error, status 2).
struct Exit {
  std::string text;
  bool to_stderr = false;
  int status = 0;
};

// Parses the arguments after the program name. Pure.
std::variant<Options, Exit> parse_options(const std::vector<std::string>& args);

}  // namespace vintra::scan
