#include "common/platform/backtrace.hpp"

#include <execinfo.h>

#include <cstdlib>

namespace vintra::platform {

std::string capture_backtrace(int skip) {
  void* frames[64];
  int n = ::backtrace(frames, 64);
  char** symbols = ::backtrace_symbols(frames, n);
  if (symbols == nullptr) return {};
  std::string out;
  for (int i = skip + 1, k = 0; i < n; ++i, ++k) {
    out += "  ";
    out += std::to_string(k);
    out += ": ";
    out += symbols[i];
    out += '\n';
  }
  std::free(symbols);
  return out;
}

}  // namespace vintra::platform
