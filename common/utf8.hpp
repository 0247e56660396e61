// UTF-8 checks for text that goes into the journal or the log.
#pragma once

#include <string>
#include <string_view>

namespace vintra {

// Whether `text` is well-formed UTF-8 (no overlong forms, no surrogates, nothing
// above U+10FFFF, no truncated sequence).
bool is_valid_utf8(std::string_view text);

// Appends `text` to `out`, each maximal ill-formed subsequence replaced by one
// U+FFFD (the replacement practice of the Unicode standard), so that the result is
// always valid UTF-8 and valid text passes unchanged.
void append_utf8_lossy(std::string& out, std::string_view text);
std::string to_utf8_lossy(std::string_view text);

}  // namespace vintra
