// Policy evaluation: which Action applies to one inspected file, given the entities
// found in it and where it came from.
//
// Thread-safety: everything here only reads its arguments and static tables, so one
// `const Policies` can be evaluated from any number of threads at once without a lock.
#pragma once

#include <array>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "src/inspector/scan_job.hpp"
#include "src/policy/policies.hpp"

namespace vintra::policy {

// The entity names of the detector catalogue, in catalogue order.
inline constexpr std::array<std::string_view, 11> kEntityNames = {
    "CREDIT_CARD", "IBAN", "FRENCH_NIR",        "EMAIL",          "PHONE_FR", "AWS_KEY", "GCP_KEY",
    "AZURE_KEY",   "JWT",  "PRIVATE_KEY_BLOCK", "GENERIC_API_KEY"};

// Index of `name` in kEntityNames (exact, upper case), or nothing.
constexpr std::optional<std::size_t> entity_index(std::string_view name) {
  for (std::size_t i = 0; i < kEntityNames.size(); ++i)
    if (kEntityNames[i] == name) return i;
  return std::nullopt;
}

// A set of entity names, one bit per catalogue entry: passing it is passing a 16-bit
// integer, and testing a policy against it is one AND. The inspection job fills one
// per file with the entity of each validated finding.
class EntitySet {
 public:
  constexpr EntitySet() = default;
  // Names that are not entity names are left out.
  constexpr EntitySet(std::initializer_list<std::string_view> names) {
    for (const std::string_view n : names) insert(n);
  }

  // Adds `name`; false (and nothing added) when it is not one of the eleven names.
  constexpr bool insert(std::string_view name) {
    const auto i = entity_index(name);
    if (!i) return false;
    bits_ = static_cast<std::uint16_t>(bits_ | (1u << *i));
    return true;
  }
  constexpr bool contains(std::string_view name) const {
    const auto i = entity_index(name);
    return i && (bits_ & (1u << *i)) != 0;
  }
  constexpr bool empty() const { return bits_ == 0; }
  constexpr bool intersects(EntitySet other) const { return (bits_ & other.bits_) != 0; }
  constexpr EntitySet& operator|=(EntitySet other) {
    bits_ = static_cast<std::uint16_t>(bits_ | other.bits_);
    return *this;
  }
  constexpr std::uint16_t bits() const { return bits_; }
  static constexpr EntitySet from_bits(std::uint16_t bits) {
    EntitySet s;
    s.bits_ = static_cast<std::uint16_t>(bits & ((1u << kEntityNames.size()) - 1));
    return s;
  }
  constexpr bool operator==(const EntitySet&) const = default;

 private:
  std::uint16_t bits_ = 0;
};

// The entity names a detector name in a policy stands for, after full Unicode
// lower-casing of the name: "Credit_Card" gives {CREDIT_CARD}, "secret" gives the six
// secret entities. Nothing for an unrecognised name; the entity names themselves
// ("french_nir", "private_key_block", "generic_api_key") are not aliases.
std::optional<std::span<const std::string_view>> entity_aliases(std::string_view detector_name);

// Full Unicode lower-casing (language-neutral, with the final-sigma rule), the form in
// which detector names are matched and logged. Invalid UTF-8 becomes U+FFFD.
std::string lower_case(std::string_view text);

// The action for a file whose validated findings cover the entities `found` and whose
// origin is `source`:
//   start from `default_action`; every policy whose detectors (mapped through
//   entity_aliases) share an entity with `found`, and whose `contexts` has exactly the
//   key context_key(source), raises the action to its rule's action if that is
//   stricter (allow < alert < quarantine < block).
// Every unrecognised detector name is logged at DEBUG on vintra_dlp::policy as
// "unknown detector {lower-cased name}", for every policy on every call. Never fails;
// allocates nothing for detector names of up to 64 bytes unless DEBUG is enabled.
Action evaluate_policies(const Policies& policies, EntitySet found, ScanSource source);

}  // namespace vintra::policy
