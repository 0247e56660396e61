#include "src/policy/evaluate.hpp"

#include <fmt/format.h>
#include <unicode/ustring.h>

#include <algorithm>

#include "src/logging/log.hpp"

namespace vintra::policy {

namespace {

// Entity lists of the alias table, in the order policy authors expect to read them.
constexpr std::array<std::string_view, 1> kCreditCard = {"CREDIT_CARD"};
constexpr std::array<std::string_view, 1> kIban = {"IBAN"};
constexpr std::array<std::string_view, 1> kNir = {"FRENCH_NIR"};
constexpr std::array<std::string_view, 1> kEmail = {"EMAIL"};
constexpr std::array<std::string_view, 1> kPhone = {"PHONE_FR"};
constexpr std::array<std::string_view, 1> kAws = {"AWS_KEY"};
constexpr std::array<std::string_view, 1> kGcp = {"GCP_KEY"};
constexpr std::array<std::string_view, 1> kAzure = {"AZURE_KEY"};
constexpr std::array<std::string_view, 1> kJwt = {"JWT"};
constexpr std::array<std::string_view, 1> kPrivateKey = {"PRIVATE_KEY_BLOCK"};
constexpr std::array<std::string_view, 5> kApiKey = {"GENERIC_API_KEY", "AWS_KEY", "GCP_KEY", "AZURE_KEY",
                                                     "JWT"};
constexpr std::array<std::string_view, 6> kSecret = {"GENERIC_API_KEY", "AWS_KEY", "GCP_KEY",
                                                     "AZURE_KEY",       "JWT",     "PRIVATE_KEY_BLOCK"};

struct Alias {
  std::string_view name;  // lower case
  std::span<const std::string_view> entities;
  EntitySet set;
};

constexpr Alias alias(std::string_view name, std::span<const std::string_view> entities) {
  EntitySet set;
  for (const std::string_view e : entities) set.insert(e);
  return {name, entities, set};
}

constexpr std::array<Alias, 19> kAliases = {
    alias("cb", kCreditCard),
    alias("credit_card", kCreditCard),
    alias("iban", kIban),
    alias("iban_fr", kIban),
    alias("nir", kNir),
    alias("ssn_fr", kNir),
    alias("email", kEmail),
    alias("phone", kPhone),
    alias("phone_fr", kPhone),
    alias("aws", kAws),
    alias("aws_key", kAws),
    alias("gcp", kGcp),
    alias("gcp_key", kGcp),
    alias("azure", kAzure),
    alias("azure_key", kAzure),
    alias("jwt", kJwt),
    alias("private_key", kPrivateKey),
    alias("api_key", kApiKey),
    alias("secret", kSecret),
};

const Alias* find_alias(std::string_view lowered) {
  for (const Alias& a : kAliases)
    if (a.name == lowered) return &a;
  return nullptr;
}

// The lower-cased form of a text, kept in a fixed buffer when it fits so that the
// common case (short ASCII detector names) touches no heap.
class LowerCased {
 public:
  explicit LowerCased(std::string_view text) {
    const bool ascii =
        std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii) {
      char* out = text.size() <= small_.size() ? small_.data() : (large_.resize(text.size()), large_.data());
      for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        out[i] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
      }
      view_ = std::string_view(out, text.size());
      return;
    }
    unicode(text);
  }
  LowerCased(const LowerCased&) = delete;
  LowerCased& operator=(const LowerCased&) = delete;

  std::string_view view() const { return view_; }

 private:
  // ICU's full lower-casing in the root locale; each step retries once with a heap
  // buffer of the size ICU reports when the fixed one is too small.
  void unicode(std::string_view text) {
    const auto in_len = static_cast<std::int32_t>(text.size());
    std::array<UChar, 64> u16_small;
    std::u16string u16_large;
    UChar* u16 = u16_small.data();
    std::int32_t u16_len = 0;
    UErrorCode st = U_ZERO_ERROR;
    u_strFromUTF8WithSub(u16, static_cast<std::int32_t>(u16_small.size()), &u16_len, text.data(), in_len,
                         0xFFFD, nullptr, &st);
    if (st == U_BUFFER_OVERFLOW_ERROR) {
      u16_large.resize(static_cast<std::size_t>(u16_len));
      u16 = u16_large.data();
      st = U_ZERO_ERROR;
      u_strFromUTF8WithSub(u16, u16_len, &u16_len, text.data(), in_len, 0xFFFD, nullptr, &st);
    }
    if (U_FAILURE(st)) return keep(text);

    std::array<UChar, 96> low_small;
    std::u16string low_large;
    UChar* low = low_small.data();
    std::int32_t low_len =
        u_strToLower(low, static_cast<std::int32_t>(low_small.size()), u16, u16_len, "", &st);
    if (st == U_BUFFER_OVERFLOW_ERROR) {
      low_large.resize(static_cast<std::size_t>(low_len));
      low = low_large.data();
      st = U_ZERO_ERROR;
      low_len = u_strToLower(low, low_len, u16, u16_len, "", &st);
    }
    if (U_FAILURE(st)) return keep(text);

    std::int32_t out_len = 0;
    u_strToUTF8(small_.data(), static_cast<std::int32_t>(small_.size()), &out_len, low, low_len, &st);
    if (st == U_BUFFER_OVERFLOW_ERROR) {
      large_.resize(static_cast<std::size_t>(out_len));
      st = U_ZERO_ERROR;
      u_strToUTF8(large_.data(), out_len, &out_len, low, low_len, &st);
      if (U_FAILURE(st)) return keep(text);
      view_ = std::string_view(large_.data(), static_cast<std::size_t>(out_len));
      return;
    }
    if (U_FAILURE(st)) return keep(text);
    view_ = std::string_view(small_.data(), static_cast<std::size_t>(out_len));
  }

  // ICU failed (it does not for valid input): match the name as written.
  void keep(std::string_view text) {
    large_.assign(text);
    view_ = large_;
  }

  std::array<char, 64> small_;
  std::string large_;
  std::string_view view_;
};

}  // namespace

std::optional<std::span<const std::string_view>> entity_aliases(std::string_view detector_name) {
  const LowerCased lowered(detector_name);
  if (const Alias* a = find_alias(lowered.view())) return a->entities;
  return std::nullopt;
}

std::string lower_case(std::string_view text) {
  return std::string(LowerCased(text).view());
}

Action evaluate_policies(const Policies& policies, EntitySet found, ScanSource source) {
  Action current = policies.default_action;
  const std::string_view key = context_key(source);
  for (const Policy& policy : policies.policies) {
    // The policy's entities are worked out afresh on every call, even when nothing was
    // found: authors rely on the DEBUG line to spot a misspelt detector, and the record
    // stays a plain value that any caller can build.
    EntitySet entities;
    for (const std::string& detector : policy.detectors) {
      const LowerCased lowered(detector);
      if (const Alias* a = find_alias(lowered.view())) {
        entities |= a->set;
      } else {
        VINTRA_LOG(logging::Level::kDebug, logging::kTargetPolicy,
                   fmt::format("unknown detector {}", lowered.view()));
      }
    }
    if (!entities.intersects(found)) continue;
    // Only the exact key of the file's origin counts; a policy without a rule for it
    // does not fire, whatever its other rules say.
    const auto rule = policy.contexts.find(key);
    if (rule == policy.contexts.end()) continue;
    if (strictness(rule->second.action) > strictness(current)) current = rule->second.action;
  }
  return current;
}

}  // namespace vintra::policy
