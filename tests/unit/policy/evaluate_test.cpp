#include "src/policy/evaluate.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/log_capture.hpp"

namespace vintra::policy {
namespace {

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using vintra::testing::LogCapture;

constexpr std::string_view kDebug = "DEBUG";
constexpr std::string_view kTarget = logging::kTargetPolicy;

Policy policy(std::vector<std::string> detectors, std::map<std::string, ContextRule, std::less<>> contexts) {
  Policy p;
  p.name = "p";
  p.detectors = std::move(detectors);
  p.contexts = std::move(contexts);
  return p;
}

ContextRule rule(Action a) {
  return ContextRule{a, true};
}

Policies policies(std::vector<Policy> list, Action default_action = Action::kAllow) {
  Policies p;
  p.policies = std::move(list);
  p.default_action = default_action;
  return p;
}

struct Case {
  const char* name;
  Policies policies;
  EntitySet found;
  ScanSource source;
  Action expected;
};

class Evaluate : public ::testing::TestWithParam<Case> {};

TEST_P(Evaluate, GivesTheStrictestFiringRule) {
  const Case& c = GetParam();
  EXPECT_EQ(evaluate_policies(c.policies, c.found, c.source), c.expected);
  // Neither the order of the policies nor the order of their detectors matters.
  Policies reversed = c.policies;
  std::reverse(reversed.policies.begin(), reversed.policies.end());
  for (Policy& p : reversed.policies) std::reverse(p.detectors.begin(), p.detectors.end());
  EXPECT_EQ(evaluate_policies(reversed, c.found, c.source), c.expected);
}

const Policy kCardsUsbBlock = policy({"credit_card"}, {{"usb", rule(Action::kBlock)}});

INSTANTIATE_TEST_SUITE_P(
    Table, Evaluate,
    ::testing::Values(Case{"UsbRuleFiresForUsb",
                           policies({kCardsUsbBlock}),
                           {"CREDIT_CARD"},
                           ScanSource::kUsb,
                           Action::kBlock},
                      Case{"UsbRuleDoesNotFireForCloud",
                           policies({kCardsUsbBlock}),
                           {"CREDIT_CARD"},
                           ScanSource::kCloud,
                           Action::kAllow},
                      Case{"NoMatchingEntity",
                           policies({kCardsUsbBlock}),
                           {"IBAN", "EMAIL"},
                           ScanSource::kUsb,
                           Action::kAllow},
                      Case{"EmptyContextsNeverFireUsb",
                           policies({policy({"credit_card"}, {})}),
                           {"CREDIT_CARD"},
                           ScanSource::kUsb,
                           Action::kAllow},
                      Case{"EmptyContextsNeverFireCloud",
                           policies({policy({"credit_card"}, {})}),
                           {"CREDIT_CARD"},
                           ScanSource::kCloud,
                           Action::kAllow},
                      Case{"NoFallbackToAnotherKey",
                           policies({policy({"cb"}, {{"default", rule(Action::kBlock)},
                                                     {"USB", rule(Action::kBlock)},
                                                     {"usb ", rule(Action::kBlock)}})}),
                           {"CREDIT_CARD"},
                           ScanSource::kUsb,
                           Action::kAllow},
                      Case{"AlertAndQuarantineGiveQuarantine",
                           policies({policy({"cb"}, {{"usb", rule(Action::kAlert)}}),
                                     policy({"iban"}, {{"usb", rule(Action::kQuarantine)}})}),
                           {"CREDIT_CARD", "IBAN"},
                           ScanSource::kUsb,
                           Action::kQuarantine},
                      Case{"QuarantineAndBlockGiveBlock",
                           policies({policy({"cb"}, {{"cloud", rule(Action::kQuarantine)}}),
                                     policy({"iban"}, {{"cloud", rule(Action::kBlock)}})}),
                           {"CREDIT_CARD", "IBAN"},
                           ScanSource::kCloud,
                           Action::kBlock},
                      Case{"BlockAndBlockGiveBlock",
                           policies({policy({"cb"}, {{"usb", rule(Action::kBlock)}}),
                                     policy({"cb"}, {{"usb", rule(Action::kBlock)}})}),
                           {"CREDIT_CARD"},
                           ScanSource::kUsb,
                           Action::kBlock},
                      Case{"DefaultBlockWithoutFindings",
                           policies({}, Action::kBlock),
                           {},
                           ScanSource::kUsb,
                           Action::kBlock},
                      Case{"DefaultBlockIsNotLowered",
                           policies({policy({"cb"}, {{"usb", rule(Action::kAllow)}})}, Action::kBlock),
                           {"CREDIT_CARD"},
                           ScanSource::kUsb,
                           Action::kBlock},
                      Case{"DefaultQuarantineIsNotLoweredByAlert",
                           policies({policy({"cb"}, {{"usb", rule(Action::kAlert)}})}, Action::kQuarantine),
                           {"CREDIT_CARD"},
                           ScanSource::kUsb,
                           Action::kQuarantine},
                      Case{"DefaultQuarantineIsRaisedToBlock",
                           policies({policy({"cb"}, {{"usb", rule(Action::kBlock)}})}, Action::kQuarantine),
                           {"CREDIT_CARD"},
                           ScanSource::kUsb,
                           Action::kBlock},
                      Case{"NoFindingsGiveTheDefault",
                           policies({kCardsUsbBlock}, Action::kAlert),
                           {},
                           ScanSource::kUsb,
                           Action::kAlert},
                      Case{"AliasesMatchAfterLowerCasing",
                           policies({policy({"Credit_Card"}, {{"usb", rule(Action::kAlert)}}),
                                     policy({"IBAN_FR"}, {{"usb", rule(Action::kQuarantine)}}),
                                     policy({"SSN_FR"}, {{"usb", rule(Action::kBlock)}})}),
                           {"FRENCH_NIR"},
                           ScanSource::kUsb,
                           Action::kBlock},
                      Case{"SpacedNamesAreUnrecognised",
                           policies({policy({"credit card", " iban"}, {{"usb", rule(Action::kBlock)}})}),
                           {"CREDIT_CARD", "IBAN"},
                           ScanSource::kUsb,
                           Action::kAllow},
                      Case{"EntityNamesAreNotAliases",
                           policies({policy({"FRENCH_NIR", "private_key_block", "Generic_Api_Key"},
                                            {{"usb", rule(Action::kBlock)}})}),
                           {"FRENCH_NIR", "PRIVATE_KEY_BLOCK", "GENERIC_API_KEY"},
                           ScanSource::kUsb,
                           Action::kAllow},
                      Case{"SecretCoversPrivateKeys",
                           policies({policy({"secret"}, {{"usb", rule(Action::kBlock)}})}),
                           {"PRIVATE_KEY_BLOCK"},
                           ScanSource::kUsb,
                           Action::kBlock},
                      Case{"ApiKeyDoesNotCoverPrivateKeys",
                           policies({policy({"api_key"}, {{"usb", rule(Action::kBlock)}})}),
                           {"PRIVATE_KEY_BLOCK"},
                           ScanSource::kUsb,
                           Action::kAllow},
                      Case{"ApiKeyCoversJwt",
                           policies({policy({"api_key"}, {{"cloud", rule(Action::kAlert)}})}),
                           {"JWT"},
                           ScanSource::kCloud,
                           Action::kAlert},
                      Case{"OnlyUnknownNamesNeverFire",
                           policies({policy({"ssn", "pan"}, {{"usb", rule(Action::kBlock)}})}),
                           {"CREDIT_CARD", "FRENCH_NIR"},
                           ScanSource::kUsb,
                           Action::kAllow},
                      Case{"KelvinSignLowerCasesToK",
                           policies({policy({"AWS_\u212AEY"}, {{"usb", rule(Action::kBlock)}})}),
                           {"AWS_KEY"},
                           ScanSource::kUsb,
                           Action::kBlock},
                      Case{"DottedCapitalIIsNotI",
                           policies({policy({"CRED\u0130T_CARD"}, {{"usb", rule(Action::kBlock)}})}),
                           {"CREDIT_CARD"},
                           ScanSource::kUsb,
                           Action::kAllow}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(Evaluate, FallbackPoliciesAlwaysAlert) {
  const Policies p = fallback_policies();
  EXPECT_TRUE(p.policies.empty());
  EXPECT_EQ(p.block_threshold, 10u);
  for (const ScanSource s : {ScanSource::kUsb, ScanSource::kCloud}) {
    EXPECT_EQ(evaluate_policies(p, {}, s), Action::kAlert);
    EXPECT_EQ(evaluate_policies(p, {"CREDIT_CARD", "JWT"}, s), Action::kAlert);
  }
}

TEST(Evaluate, LogsEveryUnknownNameOnEveryEvaluation) {
  const Policies p = policies(
      {policy({"cb", "Credit Card", "PAN"}, {{"usb", rule(Action::kBlock)}}), policy({"pan", "EMAIL"}, {})});
  LogCapture log;
  EXPECT_EQ(evaluate_policies(p, {}, ScanSource::kUsb), Action::kAllow);  // nothing found: still logged
  EXPECT_EQ(evaluate_policies(p, {"CREDIT_CARD"}, ScanSource::kCloud), Action::kAllow);
  const std::vector<std::string> once = {"unknown detector credit card", "unknown detector pan",
                                         "unknown detector pan"};
  std::vector<std::string> twice = once;
  twice.insert(twice.end(), once.begin(), once.end());
  EXPECT_THAT(log.messages(kDebug, kTarget), ElementsAreArray(twice));
}

TEST(Evaluate, LogsTheFullyLowerCasedName) {
  // Greek final sigma, a dotted capital I, and a name too long for the fixed buffers.
  const std::string long_name = std::string(70, 'X') + "\u00C9";
  const Policies p = policies({policy({"\u039F\u03A3\u039F\u03A3", "\u0130D", long_name}, {})});
  LogCapture log;
  (void)evaluate_policies(p, {}, ScanSource::kUsb);
  EXPECT_THAT(log.messages(kDebug, kTarget),
              ElementsAre("unknown detector \u03BF\u03C3\u03BF\u03C2", "unknown detector i\u0307d",
                          "unknown detector " + std::string(70, 'x') + "\u00E9"));
}

TEST(Evaluate, UnknownNamesAreNotLoggedAboveDebug) {
  const Policies p = policies({policy({"pan"}, {})});
  LogCapture log("info");
  (void)evaluate_policies(p, {}, ScanSource::kUsb);
  EXPECT_EQ(log.line_count(), 0u);
}

TEST(EntityAliases, FollowsTheTable) {
  using V = std::vector<std::string_view>;
  struct Row {
    const char* name;
    V entities;
  };
  const Row rows[] = {
      {"cb", {"CREDIT_CARD"}},
      {"credit_card", {"CREDIT_CARD"}},
      {"iban", {"IBAN"}},
      {"iban_fr", {"IBAN"}},
      {"nir", {"FRENCH_NIR"}},
      {"ssn_fr", {"FRENCH_NIR"}},
      {"email", {"EMAIL"}},
      {"phone", {"PHONE_FR"}},
      {"phone_fr", {"PHONE_FR"}},
      {"aws", {"AWS_KEY"}},
      {"aws_key", {"AWS_KEY"}},
      {"gcp", {"GCP_KEY"}},
      {"gcp_key", {"GCP_KEY"}},
      {"azure", {"AZURE_KEY"}},
      {"azure_key", {"AZURE_KEY"}},
      {"jwt", {"JWT"}},
      {"private_key", {"PRIVATE_KEY_BLOCK"}},
      {"api_key", {"GENERIC_API_KEY", "AWS_KEY", "GCP_KEY", "AZURE_KEY", "JWT"}},
      {"secret", {"GENERIC_API_KEY", "AWS_KEY", "GCP_KEY", "AZURE_KEY", "JWT", "PRIVATE_KEY_BLOCK"}},
      {"SeCrEt", {"GENERIC_API_KEY", "AWS_KEY", "GCP_KEY", "AZURE_KEY", "JWT", "PRIVATE_KEY_BLOCK"}},
  };
  for (const Row& row : rows) {
    const auto got = entity_aliases(row.name);
    ASSERT_TRUE(got.has_value()) << row.name;
    EXPECT_EQ(V(got->begin(), got->end()), row.entities) << row.name;
  }
  for (const char* unknown : {"", "credit card", " iban", "iban ", "french_nir", "private_key_block",
                              "generic_api_key", "ssn", "apikey", "secrets"})
    EXPECT_FALSE(entity_aliases(unknown).has_value()) << unknown;
}

TEST(EntitySet, HoldsOnlyCatalogueNames) {
  EntitySet s;
  EXPECT_TRUE(s.empty());
  EXPECT_TRUE(s.insert("JWT"));
  EXPECT_TRUE(s.insert("JWT"));
  EXPECT_FALSE(s.insert("jwt"));
  EXPECT_FALSE(s.insert("SSN"));
  EXPECT_TRUE(s.contains("JWT"));
  EXPECT_FALSE(s.contains("IBAN"));
  EXPECT_EQ(s, EntitySet({"JWT"}));
  for (const std::string_view name : kEntityNames) EXPECT_TRUE(EntitySet({name}).contains(name)) << name;
  EXPECT_EQ(EntitySet::from_bits(0xFFFF).bits(), 0x7FF);
}

TEST(Action, NamesAndStrictness) {
  EXPECT_EQ(action_name(Action::kAllow), "allow");
  EXPECT_EQ(action_name(Action::kAlert), "alert");
  EXPECT_EQ(action_name(Action::kBlock), "block");
  EXPECT_EQ(action_name(Action::kQuarantine), "quarantine");
  EXPECT_EQ(static_cast<int>(Action::kBlock), 2);
  EXPECT_EQ(static_cast<int>(Action::kQuarantine), 3);
  EXPECT_LT(strictness(Action::kAllow), strictness(Action::kAlert));
  EXPECT_LT(strictness(Action::kAlert), strictness(Action::kQuarantine));
  EXPECT_LT(strictness(Action::kQuarantine), strictness(Action::kBlock));
  EXPECT_EQ(parse_action("quarantine"), Action::kQuarantine);
  EXPECT_EQ(parse_action("Quarantine"), std::nullopt);
}

}  // namespace
}  // namespace vintra::policy
