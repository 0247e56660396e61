// Turning file bytes into the text the detectors run over.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vintra::inspector {

// Decodes `bytes` as UTF-8 with lossy replacement: each maximal ill-formed
// subsequence (the longest prefix of a well-formed sequence that cannot be
// completed, or a single byte that can start none) becomes one U+FFFD. This is the
// substitution practice that the Unicode standard recommends and that the reference
// engine's lossy decoding follows, so byte offsets into the result agree with it.
//
// Already well-formed input is returned as it is, without a copy. Otherwise the
// result is sized exactly before it is filled (one counting pass, one filling pass)
// and the input is released on return, so the peak is input plus output.
// Never fails. Thread-safe (no shared state).
std::string decode_lossy(std::string&& bytes);

// The length of the longest well-formed UTF-8 prefix of `bytes`.
std::size_t valid_utf8_prefix(std::string_view bytes);

// Whether every byte is below 0x80.
bool is_ascii(std::string_view bytes);

}  // namespace vintra::inspector
