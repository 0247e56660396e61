// Which candidates survive validation: CREDIT_CARD needs the Luhn check, IBAN the
// mod-97 check, every other entity is kept as it matched.
#pragma once

#include <string_view>

#include "src/inspector/iban.hpp"
#include "src/inspector/luhn.hpp"
#include "src/inspector/patterns.hpp"

namespace vintra::inspector {

// Whether `candidate`, whose matched text is `matched_text`, is retained. The
// dispatch is by the exact entity name. Never fails; no allocation. Thread-safe.
bool candidate_is_retained(const Candidate& candidate, std::string_view matched_text);

}  // namespace vintra::inspector
