#include "src/inspector/validators.hpp"

namespace vintra::inspector {

bool candidate_is_retained(const Candidate& candidate, std::string_view matched_text) {
  if (candidate.entity == "IBAN") return iban_is_valid(matched_text);
  if (candidate.entity == "CREDIT_CARD") return luhn_is_valid(matched_text);
  return true;
}

}  // namespace vintra::inspector
