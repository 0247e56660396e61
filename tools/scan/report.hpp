// What the scan tool prints for one file.
#pragma once

#include <string>
#include <string_view>

#include "src/inspector/inspect.hpp"
#include "src/inspector/patterns.hpp"
#include "tools/scan/options.hpp"

namespace vintra::scan {

// Appends `text` as a JSON string, quotes included, escaped exactly as journal lines
// escape their strings (bytes that are not UTF-8 become U+FFFD).
void append_json_string(std::string& out, std::string_view text);

// Appends {"candidate":{"path":...,"entity":...,"start":N,"end":N,"text":...,"retained":B}}
// and a line feed.
void append_candidate_line(std::string& out, std::string_view path, const inspector::Candidate& candidate,
                           std::string_view matched, bool retained);

// `path` as it is when it is UTF-8 free of control characters; otherwise quoted, with
// control characters and stray bytes escaped, so that a file name cannot drive the
// terminal.
std::string display_path(std::string_view path);

// The readable line of the text format, line feed included, e.g.
//   /data/a.txt: CREDIT_CARD x3, EMAIL x1; severity critical; action block; decision pending
//   /data/b.txt: clean; severity low; action allow; decision allowed (no event)
std::string text_line(std::string_view path, const inspector::InspectionResult& result);

}  // namespace vintra::scan
