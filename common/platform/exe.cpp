#include "common/platform/exe.hpp"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <vector>

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

namespace vintra::platform {

Result<std::string> current_exe() {
#if defined(__APPLE__)
  uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::vector<char> buf(size + 1);
  if (_NSGetExecutablePath(buf.data(), &size) != 0) return Error::from_errno(ENAMETOOLONG);
  return std::string(buf.data());
#else
  std::vector<char> buf(PATH_MAX);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return Error::from_errno(errno);
    if (static_cast<std::size_t>(n) < buf.size()) return std::string(buf.data(), static_cast<std::size_t>(n));
    buf.resize(buf.size() * 2);
  }
#endif
}

std::optional<std::string> exe_dir() {
  auto exe = current_exe();
  if (!exe) return std::nullopt;
  const std::string& p = *exe;
  auto slash = p.rfind('/');
  if (slash == std::string::npos) return std::nullopt;
  if (slash == 0) return std::string("/");
  return p.substr(0, slash);
}

}  // namespace vintra::platform
