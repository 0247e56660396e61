#include "tools/scan/report.hpp"

#include <fmt/format.h>

#include "src/events/event_line.hpp"
#include "common/utf8.hpp"
#include "src/logging/log.hpp"
#include "src/policy/policies.hpp"

namespace vintra::scan {

void append_json_string(std::string& out, std::string_view text) {
  // The journal keeps its string escaping to itself; rather than a second escaper that
  // could drift from it, the text goes through the journal's writer as an event id and
  // is cut out again. The id is the line's first value, and an escaped string cannot
  // contain `,"` unescaped, so the first `,"timestamp":"` ends it.
  DlpEvent carrier;
  carrier.id = std::string(text);
  const Result<std::string> line = events::serialize_event_line(carrier);  // file_path "" is valid
  constexpr std::string_view kHead = "{\"id\":";
  constexpr std::string_view kNext = ",\"timestamp\":\"";
  const std::size_t end = line->find(kNext, kHead.size());
  out.append(*line, kHead.size(), end - kHead.size());
}

void append_candidate_line(std::string& out, std::string_view path, const inspector::Candidate& candidate,
                           std::string_view matched, bool retained) {
  out += "{\"candidate\":{\"path\":";
  append_json_string(out, path);
  out += ",\"entity\":";
  append_json_string(out, candidate.entity);
  fmt::format_to(std::back_inserter(out), ",\"start\":{},\"end\":{},\"text\":", candidate.start,
                 candidate.end);
  append_json_string(out, matched);
  out += retained ? ",\"retained\":true}}\n" : ",\"retained\":false}}\n";
}

std::string display_path(std::string_view path) {
  bool plain = is_valid_utf8(path);
  for (std::size_t i = 0; plain && i < path.size(); ++i) {
    const auto b = static_cast<unsigned char>(path[i]);
    // C0 controls and DEL, and C1 controls (U+0080..U+009F, encoded C2 80..C2 9F).
    if (b < 0x20 || b == 0x7F ||
        (b == 0xC2 && i + 1 < path.size() && static_cast<unsigned char>(path[i + 1]) < 0xA0))
      plain = false;
  }
  if (plain) return std::string(path);
  return logging::Field::text("path", path).value;
}

std::string text_line(std::string_view path, const inspector::InspectionResult& r) {
  std::string out = display_path(path);
  out += ": ";
  if (r.findings.empty()) {
    out += "clean";
  } else {
    for (std::size_t i = 0; i < r.findings.size(); ++i) {
      if (i > 0) out += ", ";
      fmt::format_to(std::back_inserter(out), "{} x{}", r.findings[i].entity, r.findings[i].match_count);
    }
  }
  fmt::format_to(std::back_inserter(out), "; severity {}; action {}; decision {}{}\n", json_name(r.severity),
                 policy::action_name(r.action), json_name(r.decision), r.event ? "" : " (no event)");
  return out;
}

}  // namespace vintra::scan
