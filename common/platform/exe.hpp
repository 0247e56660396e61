// The path of the running executable, as the system records it.
#pragma once
#include <optional>
#include <string>

#include "common/error.hpp"

namespace vintra::platform {
// The executable's path (on macOS the executable path of the process, on Linux
// /proc/self/exe). Fails with the system's error.
Result<std::string> current_exe();
// The directory holding the executable, or nothing when the path cannot be
// obtained or has no parent.
std::optional<std::string> exe_dir();
}  // namespace vintra::platform
