// Path joining shared by every component that forms file paths from configured
// directories and fixed names.
#pragma once

#include <string>
#include <string_view>

namespace vintra {

// Joins `name` to `base` the way paths are joined, not concatenated:
//   - an absolute `name` (beginning with "/") stands by itself;
//   - otherwise one "/" separates the two, unless `base` is empty or already ends
//     with "/" ("/" + "data" gives "/data", never "//data");
//   - an empty `name` yields `base` with a trailing separator ("/opt/x" + "" gives
//     "/opt/x/"), and an empty `base` leaves `name` as it is.
// Pure text work: nothing is looked up on disk, "." and ".." are kept.
std::string join_path(std::string_view base, std::string_view name);

}  // namespace vintra
