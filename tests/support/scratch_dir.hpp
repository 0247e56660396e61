// A fresh directory for one test, removed with everything in it when the test ends.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tests/support/files.hpp"

namespace vintra::testing {

class ScratchDir {
 public:
  // Creates "vintra-test-XXXXXX" in the system's temporary directory.
  ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "vintra-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + tmpl);
    path_ = std::move(tmpl);
  }
  // A test may have taken the permissions away to provoke an error: give them back so
  // the removal can go in.
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add,
                                 ec);
    std::filesystem::remove_all(path_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  // The directory itself, without a final slash.
  const std::string& path() const { return path_; }
  // The path of `name` (which may hold slashes) inside the directory; creates nothing.
  std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }
  // Writes `content` to `name` inside the directory (its parent must exist) and
  // returns the file's path.
  std::string write(std::string_view name, std::string_view content) const {
    std::string p = *this / name;
    write_file(p, content);
    return p;
  }

 private:
  std::string path_;
};

}  // namespace vintra::testing
