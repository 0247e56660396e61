#include "tools/scan/walk.hpp"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "common/error.hpp"
#include "tools/scan/report.hpp"

namespace vintra::scan {
namespace fs = std::filesystem;
namespace {

std::uint64_t size_or_zero(const fs::directory_entry& entry) {
  std::error_code ec;
  const std::uintmax_t size = entry.file_size(ec);
  return ec ? 0 : static_cast<std::uint64_t>(size);
}

void walk(const fs::path& root, std::vector<Target>& out, Console& console) {
  // An explicit stack: a deep tree must not exhaust the call stack.
  std::vector<fs::path> pending{root};
  while (!pending.empty()) {
    const fs::path dir = std::move(pending.back());
    pending.pop_back();
    std::error_code ec;
    fs::directory_iterator it(dir, ec);
    const fs::directory_iterator end;
    for (; !ec && it != end; it.increment(ec)) {
      std::error_code kind_ec;
      const fs::file_status st = it->symlink_status(kind_ec);
      if (kind_ec) continue;  // vanished since it was listed
      if (fs::is_directory(st)) {
        pending.push_back(it->path());
      } else if (fs::is_regular_file(st)) {
        out.push_back(Target{it->path().string(), size_or_zero(*it)});
      }
    }
    if (ec)
      console.err("warning: cannot read directory " + display_path(dir.string()) + ": " +
                  os_error_text(ec.value()) + "\n");
  }
}

}  // namespace

Targets collect_targets(const std::vector<std::string>& args, Console& console) {
  Targets t;
  for (const std::string& arg : args) {
    std::error_code ec;
    const fs::file_status st = fs::status(arg, ec);
    if (ec || !fs::exists(st)) {
      console.err("error: cannot access " + display_path(arg) + ": " +
                  os_error_text(ec ? ec.value() : static_cast<int>(std::errc::no_such_file_or_directory)) +
                  "\n");
      t.missing = true;
      continue;
    }
    if (fs::is_directory(st)) {
      walk(arg, t.files, console);
    } else {
      std::error_code size_ec;
      const std::uintmax_t size = fs::is_regular_file(st) ? fs::file_size(arg, size_ec) : 0;
      t.files.push_back(Target{arg, size_ec ? 0 : static_cast<std::uint64_t>(size)});
    }
  }
  std::sort(t.files.begin(), t.files.end(), [](const Target& a, const Target& b) { return a.path < b.path; });
  t.files.erase(std::unique(t.files.begin(), t.files.end(),
                            [](const Target& a, const Target& b) { return a.path == b.path; }),
                t.files.end());
  return t;
}

}  // namespace vintra::scan
