// The IBAN check (ISO 13616, ISO 7064 mod 97-10) for IBAN candidates.
#pragma once

#include <string_view>

namespace vintra::inspector {

// Whether `text` (the matched text of an IBAN candidate) is an IBAN whose check
// digits hold: ASCII white space (space, tab, line feed, form feed, carriage
// return) is dropped, ASCII letters are taken in upper case, and the rest must be
// 15 to 34 ASCII letters and digits starting with two letters, whose mod-97
// remainder after moving the first four to the end is 1. No country list and no
// per-country length. Never fails; no allocation. Thread-safe.
bool iban_is_valid(std::string_view text);

}  // namespace vintra::inspector
