// The process environment as raw bytes.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace vintra::platform {

// Every variable of the process environment as (name, value), in the order the
// system keeps them, bytes as they are (no encoding is assumed or checked). An entry
// without "=" is skipped. Safe to call from any thread as long as no thread changes
// the environment meanwhile (setenv/putenv are not synchronised by the C library).
std::vector<std::pair<std::string, std::string>> environment();

}  // namespace vintra::platform
