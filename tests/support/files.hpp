// Whole-file reads and writes for tests, where a failure shows in the assertion that
// follows (an empty text, a file that is not there) rather than as an error value.
#pragma once

#include <fstream>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

namespace vintra::testing {

// The file's bytes; empty when it is missing or cannot be read.
inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// Creates or truncates the file and writes `content`, byte for byte.
inline void write_file(const std::string& path, std::string_view content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
}

// The lines of `text` without their line feeds; a final line feed ends the last line
// rather than starting an empty one.
inline std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> out;
  std::istringstream in{std::string(text)};
  for (std::string line; std::getline(in, line);) out.push_back(std::move(line));
  return out;
}

}  // namespace vintra::testing
