// Whether a stream is shown to a person, for programs that adapt their output to it.
#pragma once

namespace vintra::platform {

// Whether the open descriptor `fd` refers to a terminal (isatty). Thread-safe.
bool is_terminal(int fd);

}  // namespace vintra::platform
