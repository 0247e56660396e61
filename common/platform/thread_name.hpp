// Names the calling thread, so that a task shows up by name in ps, top and debuggers.
#pragma once
#include <string>

namespace vintra::platform {
// At most 15 bytes are kept (the system's limit). Failures are ignored.
void set_current_thread_name(const std::string& name);
}  // namespace vintra::platform
