#include "common/platform/backtrace.hpp"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdlib>
#include <string_view>

namespace vintra::platform {
namespace {

// "binary(_ZN6vintra3fooEv+0x35) [0x...]" becomes "binary(vintra::foo()+0x35) [0x...]".
std::string demangle_frame(std::string_view frame) {
  auto open = frame.find('(');
  auto plus = frame.find('+', open == std::string_view::npos ? 0 : open);
  if (open == std::string_view::npos || plus == std::string_view::npos || plus == open + 1)
    return std::string(frame);
  std::string mangled(frame.substr(open + 1, plus - open - 1));
  int status = 0;
  char* readable = abi::__cxa_demangle(mangled.c_str(), nullptr, nullptr, &status);
  if (status != 0 || readable == nullptr) return std::string(frame);
  std::string out(frame.substr(0, open + 1));
  out += readable;
  out += frame.substr(plus);
  std::free(readable);
  return out;
}

}  // namespace

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
    out += demangle_frame(symbols[i]);
    out += '\n';
  }
  std::free(symbols);
  return out;
}

}  // namespace vintra::platform
