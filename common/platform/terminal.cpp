#include "common/platform/terminal.hpp"

#include <unistd.h>

namespace vintra::platform {

bool is_terminal(int fd) {
  return ::isatty(fd) == 1;
}

}  // namespace vintra::platform
