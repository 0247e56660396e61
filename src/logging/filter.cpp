#include <algorithm>

#include "src/logging/log.hpp"

namespace vintra::logging {
namespace {

constexpr int kTraceLevel = 5;

std::string_view trim(std::string_view s) {
  constexpr std::string_view kSpace = " \t\r\n\f\v";
  auto first = s.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  auto last = s.find_last_not_of(kSpace);
  return s.substr(first, last - first + 1);
}

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

// A level name or number as the maximum level it lets through, or -1.
int parse_level(std::string_view s) {
  static constexpr std::string_view kNames[] = {"off", "error", "warn", "info", "debug", "trace"};
  for (int i = 0; i <= kTraceLevel; ++i)
    if (iequals(s, kNames[i])) return i;
  if (s.empty() || !std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
    return -1;
  auto digits = s.find_first_not_of('0');
  if (digits == std::string_view::npos) return 0;
  s.remove_prefix(digits);
  return s.size() == 1 && s[0] <= '5' ? s[0] - '0' : -1;
}

// Module paths: letters, digits, '_', ':', '-', and non-ASCII letters of UTF-8 names.
bool valid_target(std::string_view s) {
  if (s.empty()) return false;
  return std::all_of(s.begin(), s.end(), [](char ch) {
    auto c = static_cast<unsigned char>(ch);
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
           c == '_' || c == ':' || c == '-' || c >= 0x80;
  });
}

}  // namespace

std::optional<Filter> Filter::parse(std::string_view directives) {
  Filter filter;
  auto add = [&filter](std::string_view target, int level) {
    for (auto& d : filter.directives_) {
      if (d.target == target) {
        d.max_level = level;
        return;
      }
    }
    filter.directives_.push_back(Directive{std::string(target), level});
  };

  while (true) {
    auto comma = directives.find(',');
    std::string_view piece = trim(directives.substr(0, comma));
    if (!piece.empty()) {
      auto eq = piece.find('=');
      if (eq == std::string_view::npos) {
        if (int level = parse_level(piece); level >= 0)
          add({}, level);
        else if (valid_target(piece))
          add(piece, kTraceLevel);
        else
          return std::nullopt;
      } else {
        std::string_view target = trim(piece.substr(0, eq));
        std::string_view level_text = trim(piece.substr(eq + 1));
        int level = parse_level(level_text);
        if (!valid_target(target) || level < 0) return std::nullopt;  // also rejects a second '='
        add(target, level);
      }
    }
    if (comma == std::string_view::npos) break;
    directives.remove_prefix(comma + 1);
  }

  std::stable_sort(filter.directives_.begin(), filter.directives_.end(),
                   [](const Directive& a, const Directive& b) { return a.target.size() > b.target.size(); });
  for (const auto& d : filter.directives_) filter.max_level_ = std::max(filter.max_level_, d.max_level);
  return filter;
}

Filter Filter::parse_or_info(std::string_view directives) {
  if (auto filter = parse(directives)) return std::move(*filter);
  return *parse("info");
}

bool Filter::allows(Level level, std::string_view target) const noexcept {
  const int wanted = static_cast<int>(level);
  if (wanted > max_level_) return false;
  for (const auto& d : directives_) {
    if (target.substr(0, d.target.size()) == d.target) return wanted <= d.max_level;
  }
  return false;
}

}  // namespace vintra::logging
