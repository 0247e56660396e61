// vintra-match-dump: prints every detector candidate of a file, one per line, as
//   ENTITY<TAB>start<TAB>end<TAB>text
// with byte offsets into the lossily decoded text and backslash, tab, line feed
// and carriage return in `text` written as \\ \t \n \r. Detectors come in
// catalogue order, matches in text order: the reference engine's --matches form,
// so that the two outputs can be compared line by line.
//
// usage: vintra-match-dump [--only NAME,...] FILE

#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <string_view>

#include "common/platform/files.hpp"
#include "src/inspector/patterns.hpp"
#include "src/inspector/utf8.hpp"

namespace {

void append_escaped(std::string& out, std::string_view text) {
  for (char c : text) {
    switch (c) {
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      default:
        out += c;
    }
  }
}

int usage() {
  std::fputs("usage: vintra-match-dump [--only NAME,...] FILE\n", stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace vintra;
  std::set<std::string, std::less<>> only;
  const char* path = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string_view a = argv[i];
    if (a == "--only" && i + 1 < argc) {
      std::string_view list = argv[++i];
      while (!list.empty()) {
        const auto comma = list.find(',');
        only.emplace(list.substr(0, comma));
        list = comma == std::string_view::npos ? std::string_view() : list.substr(comma + 1);
      }
    } else if (!path && !a.starts_with("--")) {
      path = argv[i];
    } else {
      return usage();
    }
  }
  if (!path) return usage();

  auto catalogue = inspector::build_catalogue();
  if (!catalogue) {
    std::fprintf(stderr, "DLP regex must compile: %s\n", catalogue.error().render().c_str());
    return 1;
  }
  auto bytes = platform::read_file(path);
  if (!bytes) {
    std::fprintf(stderr, "%s: %s\n", path, bytes.error().render().c_str());
    return 1;
  }
  const std::string text = inspector::decode_lossy(std::move(*bytes));

  std::string out;
  out.reserve(1 << 20);
  auto flush = [&] {
    std::fwrite(out.data(), 1, out.size(), stdout);
    out.clear();
  };
  inspector::find_candidates(**catalogue, text, [&](const inspector::Candidate& c) {
    if (!only.empty() && !only.contains(c.entity)) return;
    out += c.entity;
    out += '\t';
    out += std::to_string(c.start);
    out += '\t';
    out += std::to_string(c.end);
    out += '\t';
    append_escaped(out, std::string_view(text).substr(c.start, c.end - c.start));
    out += '\n';
    if (out.size() >= (1 << 20)) flush();
  });
  flush();
  return std::fflush(stdout) == 0 ? 0 : 1;
}
