#include "common/paths.hpp"

namespace vintra {

std::string join_path(std::string_view base, std::string_view name) {
  if (!name.empty() && name.front() == '/') return std::string(name);
  std::string out;
  out.reserve(base.size() + 1 + name.size());
  out.append(base);
  if (!out.empty() && out.back() != '/') out.push_back('/');
  out.append(name);
  return out;
}

}  // namespace vintra
