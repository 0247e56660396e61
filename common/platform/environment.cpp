#include "common/platform/environment.hpp"

#include <unistd.h>

#include <cstring>

extern "C" char** environ;  // NOLINT: the POSIX-defined process environment

namespace vintra::platform {

std::vector<std::pair<std::string, std::string>> environment() {
  std::vector<std::pair<std::string, std::string>> out;
  if (environ == nullptr) return out;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    const char* text = *entry;
    const char* eq = std::strchr(text, '=');
    if (eq == nullptr) continue;
    out.emplace_back(std::string(text, static_cast<std::size_t>(eq - text)), std::string(eq + 1));
  }
  return out;
}

}  // namespace vintra::platform
