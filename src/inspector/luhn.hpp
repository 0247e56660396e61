// The Luhn check for CREDIT_CARD candidates.
#pragma once

#include <string_view>

namespace vintra::inspector {

// Whether the ASCII digits of `text` (all other characters, digits of other
// scripts included, are skipped) number 13 to 19 and pass the Luhn check.
// Never fails; no allocation. Thread-safe.
bool luhn_is_valid(std::string_view text);

}  // namespace vintra::inspector
