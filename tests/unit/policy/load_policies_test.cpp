#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <limits>
#include <ostream>
#include <string>

#include "src/policy/evaluate.hpp"
#include "src/policy/policies.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/scratch_dir.hpp"

namespace vintra::policy {

// Readable failure output for records.
void PrintTo(const Policies& p, std::ostream* os) {
  *os << "{default_action: " << action_name(p.default_action) << ", block_threshold: " << p.block_threshold
      << ", policies: [";
  for (const Policy& policy : p.policies) {
    *os << "{name: " << policy.name << ", detectors: [";
    for (const auto& d : policy.detectors) *os << d << ",";
    *os << "], severity: " << policy.severity.value_or("<none>") << ", contexts: {";
    for (const auto& [k, r] : policy.contexts)
      *os << k << ": {" << action_name(r.action) << ", notify " << r.notify << "}, ";
    *os << "}}, ";
  }
  *os << "]}";
}

namespace {

using ::testing::HasSubstr;
using vintra::testing::LogCapture;
using vintra::testing::ScratchDir;

const std::string kFixtures = std::string(VINTRA_FIXTURES_DIR) + "/policy/";
constexpr std::string_view kWarn = "WARN";
constexpr std::string_view kTarget = logging::kTargetPolicy;

Policy make_policy(std::string name, std::vector<std::string> detectors,
                   std::map<std::string, ContextRule, std::less<>> contexts = {},
                   std::optional<std::string> severity = std::nullopt) {
  Policy p;
  p.name = std::move(name);
  p.detectors = std::move(detectors);
  p.severity = std::move(severity);
  p.contexts = std::move(contexts);
  return p;
}

// --- The file on disk -------------------------------------------------------------

TEST(LoadPolicies, MissingFileWarnsWithThePathAndFallsBackToAlert) {
  LogCapture log;
  const std::string path = kFixtures + "no_such_dir/dlp_policies.yaml";
  auto r = load_policies(path);
  ASSERT_TRUE(r.has_value()) << r.error().render();
  EXPECT_EQ(*r, fallback_policies());
  EXPECT_EQ(r->default_action, Action::kAlert);
  EXPECT_EQ(r->block_threshold, 10u);
  EXPECT_THAT(log.messages(kWarn, kTarget), ::testing::ElementsAre("policies file not found at " + path +
                                                                   " \xE2\x80\x94 using empty default"));
}

TEST(LoadPolicies, DanglingSymlinkCountsAsMissing) {
  ScratchDir dir;
  const std::string link = dir / "dlp_policies.yaml";
  ASSERT_EQ(::symlink("/nonexistent/target.yaml", link.c_str()), 0);
  LogCapture log;
  auto r = load_policies(link);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(*r, fallback_policies());
  EXPECT_EQ(log.messages(kWarn, kTarget).size(), 1u);
}

TEST(LoadPolicies, DirectoryIsAReadErrorNotAMissingFile) {
  LogCapture log;
  auto r = load_policies(kFixtures);
  ASSERT_FALSE(r.has_value());
  EXPECT_THAT(r.error().render(), HasSubstr("os error"));
  EXPECT_TRUE(log.messages(kWarn, kTarget).empty());
}

struct FixtureCase {
  const char* file;
  bool loads;
  const char* error_part;  // when it does not load
};

class FixtureFiles : public ::testing::TestWithParam<FixtureCase> {};

TEST_P(FixtureFiles, LoadOrRejectWithoutWarning) {
  const FixtureCase& c = GetParam();
  LogCapture log;
  auto r = load_policies(kFixtures + c.file);
  EXPECT_EQ(r.has_value(), c.loads) << (r.has_value() ? "loaded" : r.error().render());
  if (!r.has_value()) {
    EXPECT_THAT(r.error().render(), HasSubstr(c.error_part));
  }
  // Only a missing file warns from here; a broken one is the caller's to report.
  EXPECT_TRUE(log.messages(kWarn, kTarget).empty());
}

INSTANTIATE_TEST_SUITE_P(
    Fixtures, FixtureFiles,
    ::testing::Values(
        FixtureCase{"empty.yaml", false, "end of input"},
        FixtureCase{"comments_only.yaml", false, "no YAML document"},
        FixtureCase{"document_start_only.yaml", true, ""}, FixtureCase{"default_block.yaml", true, ""},
        FixtureCase{"default_action_capitalised.yaml", false,
                    "default_action: unknown action `Block`, expected one of `allow`, `alert`, `block`, "
                    "`quarantine` at line 1 column 17"},
        FixtureCase{"action_deny.yaml", false, "policies[0].contexts.usb.action: unknown action `deny`"},
        FixtureCase{"missing_detectors.yaml", false,
                    "policies[0]: missing field `detectors` at line 2 column 5"},
        FixtureCase{"missing_action.yaml", false,
                    "policies[0].contexts.usb: missing field `action` at line 6 column 9"},
        FixtureCase{"extra_keys.yaml", true, ""}, FixtureCase{"severity_forms.yaml", true, ""},
        FixtureCase{"two_documents.yaml", false,
                    "more than one YAML document: a second one starts at line 2 column 1"},
        FixtureCase{"usb_upper_key.yaml", true, ""},
        FixtureCase{"invalid_utf8.yaml", false, "not valid UTF-8 (invalid byte sequence at byte offset 23)"}),
    [](const auto& param_info) {
      std::string name = param_info.param.file;
      return name.substr(0, name.find('.'));
    });

TEST(LoadPolicies, FixtureRecords) {
  auto only_marker = load_policies(kFixtures + "document_start_only.yaml");
  ASSERT_TRUE(only_marker.has_value());
  EXPECT_EQ(*only_marker, Policies{});  // allow, 10, nothing: not the fallback
  EXPECT_EQ(only_marker->default_action, Action::kAllow);

  auto block = load_policies(kFixtures + "default_block.yaml");
  ASSERT_TRUE(block.has_value());
  EXPECT_EQ(*block, (Policies{{}, Action::kBlock, 10}));

  auto extra = load_policies(kFixtures + "extra_keys.yaml");
  ASSERT_TRUE(extra.has_value());
  EXPECT_EQ(*extra, (Policies{{make_policy("Cards", {"credit_card"}, {{"usb", {Action::kBlock, true}}})},
                              Action::kAllow,
                              10}));

  auto severity = load_policies(kFixtures + "severity_forms.yaml");
  ASSERT_TRUE(severity.has_value());
  ASSERT_EQ(severity->policies.size(), 4u);
  EXPECT_EQ(severity->policies[0].severity, std::nullopt);  // ~
  EXPECT_EQ(severity->policies[1].severity, std::nullopt);  // empty
  EXPECT_EQ(severity->policies[2].severity, "Very High");   // stored unchanged
  EXPECT_EQ(severity->policies[3].severity, "~");           // quoted: text, not null

  auto upper = load_policies(kFixtures + "usb_upper_key.yaml");
  ASSERT_TRUE(upper.has_value());
  EXPECT_EQ(upper->policies[0].contexts.count("USB"), 1u);
  EXPECT_EQ(evaluate_policies(*upper, {"CREDIT_CARD"}, ScanSource::kUsb), Action::kAllow);
}

TEST(LoadPolicies, ShippedExampleLoadsAndNamesOnlyKnownDetectors) {
  LogCapture log;
  auto r = load_policies(std::string(VINTRA_FIXTURES_DIR) + "/../../examples/dlp_policies.yaml");
  ASSERT_TRUE(r.has_value()) << r.error().render();
  EXPECT_GE(r->policies.size(), 3u);
  EXPECT_EQ(evaluate_policies(*r, {"CREDIT_CARD"}, ScanSource::kUsb), Action::kBlock);
  EXPECT_EQ(evaluate_policies(*r, {"PRIVATE_KEY_BLOCK"}, ScanSource::kCloud), Action::kBlock);
  EXPECT_EQ(evaluate_policies(*r, {}, ScanSource::kCloud), Action::kAllow);
  EXPECT_EQ(log.line_count(), 0u);  // no warning, no unknown detector
}

// --- Parsing: accepted texts ------------------------------------------------------

struct Accepted {
  const char* name;
  const char* yaml;
  Policies expected;
};

class AcceptedTexts : public ::testing::TestWithParam<Accepted> {};

TEST_P(AcceptedTexts, GiveTheRecord) {
  auto r = parse_policies(GetParam().yaml);
  ASSERT_TRUE(r.has_value()) << r.error().render();
  EXPECT_EQ(*r, GetParam().expected);
}

Policies threshold(std::uint64_t t) {
  return Policies{{}, Action::kAllow, t};
}
Policies with(std::vector<Policy> p, Action a = Action::kAllow) {
  return Policies{std::move(p), a, 10};
}

INSTANTIATE_TEST_SUITE_P(
    Parse, AcceptedTexts,
    ::testing::Values(
        Accepted{"Full",
                 "default_action: alert\n"
                 "block_threshold: 3\n"
                 "policies:\n"
                 "  - name: Cards\n"
                 "    detectors: [credit_card, Unknown Thing]\n"
                 "    severity: critical\n"
                 "    contexts:\n"
                 "      usb: {action: block, notify: false}\n"
                 "      cloud:\n"
                 "        action: quarantine\n"
                 "      printer: {action: alert}\n"
                 "  - name: Empty\n"
                 "    detectors: []\n",
                 Policies{{make_policy("Cards", {"credit_card", "Unknown Thing"},
                                       {{"usb", {Action::kBlock, false}},
                                        {"cloud", {Action::kQuarantine, true}},
                                        {"printer", {Action::kAlert, true}}},
                                       "critical"),
                           make_policy("Empty", {})},
                          Action::kAlert,
                          3}},
        Accepted{"ExplicitEndMarker", "---\n...\n", Policies{}},
        Accepted{"MarkerAndComment", "--- # nothing here\n", Policies{}},
        Accepted{"EmptyFlowMapping", "{}\n", Policies{}},
        Accepted{"ByteOrderMark",
                 "\xEF\xBB\xBF"
                 "default_action: block\n",
                 with({}, Action::kBlock)},
        Accepted{"EmptyPolicies", "policies:\n", Policies{}},
        Accepted{"EmptyDetectorsAndContexts", "policies:\n  - name: x\n    detectors:\n    contexts:\n",
                 with({make_policy("x", {})})},
        Accepted{"QuotedKeysAndValues",
                 "\"policies\":\n  - 'name': \"x\"\n    detectors: ['a']\n"
                 "    contexts: {'usb': {action: 'block'}}\n",
                 with({make_policy("x", {"a"}, {{"usb", {Action::kBlock, true}}})})},
        Accepted{"ScalarsAreTextAsWritten", "policies:\n  - name: 2024\n    detectors: [true, 12, ~]\n",
                 with({make_policy("2024", {"true", "12", "~"})})},
        Accepted{"SeverityNullForms",
                 "policies:\n"
                 "  - {name: a, detectors: [], severity: null}\n"
                 "  - {name: b, detectors: [], severity: Null}\n"
                 "  - {name: c, detectors: [], severity: NULL}\n"
                 "  - {name: d, detectors: [], severity: nil}\n",
                 with({make_policy("a", {}), make_policy("b", {}), make_policy("c", {}),
                       make_policy("d", {}, {}, "nil")})},
        Accepted{"RepeatedContextKeyKeepsTheLastRule",
                 "policies:\n  - name: x\n    detectors: []\n    contexts:\n"
                 "      usb: {action: alert}\n      usb: {action: block, notify: false}\n",
                 with({make_policy("x", {}, {{"usb", {Action::kBlock, false}}})})},
        Accepted{"RepeatedUnknownKeyIsStillIgnored", "note: a\nnote: b\ndefault_action: block\n",
                 with({}, Action::kBlock)},
        Accepted{"NotifyForms",
                 "policies:\n  - name: x\n    detectors: []\n    contexts:\n"
                 "      a: {action: allow, notify: True}\n      b: {action: allow, notify: FALSE}\n"
                 "      c: {action: allow, notify: !!bool false}\n",
                 with({make_policy("x", {},
                                   {{"a", {Action::kAllow, true}},
                                    {"b", {Action::kAllow, false}},
                                    {"c", {Action::kAllow, false}}})})},
        Accepted{"AnchorsAndAliases",
                 "rules:\n  strict: &strict {action: block}\n"
                 "cards: &cards [credit_card, cb]\n"
                 "policies:\n  - name: x\n    detectors: *cards\n"
                 "    contexts: {usb: *strict, cloud: *strict}\n",
                 with({make_policy("x", {"credit_card", "cb"},
                                   {{"usb", {Action::kBlock, true}}, {"cloud", {Action::kBlock, true}}})})},
        Accepted{"CoreTags",
                 "block_threshold: !!int 0x10\npolicies:\n  - name: !!str 5\n    detectors: !!seq [! x]\n",
                 Policies{{make_policy("5", {"x"})}, Action::kAllow, 16}},
        Accepted{"ThresholdDecimal", "block_threshold: 0\n", threshold(0)},
        Accepted{"ThresholdPlus", "block_threshold: +7\n", threshold(7)},
        Accepted{"ThresholdMinusZero", "block_threshold: -0\n", threshold(0)},
        Accepted{"ThresholdHex", "block_threshold: 0xfF\n", threshold(255)},
        Accepted{"ThresholdOctal", "block_threshold: 0o17\n", threshold(15)},
        Accepted{"ThresholdBinary", "block_threshold: 0b101\n", threshold(5)},
        Accepted{"ThresholdMax", "block_threshold: 18446744073709551615\n",
                 threshold(std::numeric_limits<std::uint64_t>::max())},
        Accepted{"ThresholdMaxHex", "block_threshold: 0xffffffffffffffff\n",
                 threshold(std::numeric_limits<std::uint64_t>::max())}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

// --- Parsing: rejected texts ------------------------------------------------------

struct Rejected {
  const char* name;
  const char* yaml;
  const char* error;  // the whole error text, or a part of it when `partial`
  bool partial = false;
};

class RejectedTexts : public ::testing::TestWithParam<Rejected> {};

TEST_P(RejectedTexts, NameWhatAndWhere) {
  auto r = parse_policies(GetParam().yaml);
  ASSERT_FALSE(r.has_value());
  if (GetParam().partial) {
    EXPECT_THAT(r.error().render(), HasSubstr(GetParam().error));
  } else {
    EXPECT_EQ(r.error().render(), GetParam().error);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Parse, RejectedTexts,
    ::testing::Values(
        Rejected{"Empty", "",
                 "end of input while parsing a value: the file holds no YAML document (it is empty or "
                 "holds only comments)"},
        Rejected{"WhitespaceOnly", "  \n\n   \n", "no YAML document", true},
        Rejected{"RootSequence", "- a\n",
                 "expected a mapping at the document root, found a sequence at line 1 column 1"},
        Rejected{"RootScalar", "hello\n",
                 "expected a mapping at the document root, found string `hello` at line 1 column 1"},
        Rejected{"RootNull", "~\n", "expected a mapping at the document root, found null `~`", true},
        Rejected{"RootQuotedEmpty", "''\n", "expected a mapping at the document root", true},
        Rejected{"SecondDocument", "default_action: alert\n---\ndefault_action: block\n",
                 "the file holds more than one YAML document: a second one starts at line 2 column 1"},
        Rejected{"TwoEmptyDocuments", "---\n---\n", "more than one YAML document", true},
        Rejected{"SyntaxError", "policies: [a, b\n", "YAML syntax error: ", true},
        Rejected{"BadIndentation", "policies:\n  - name: x\n   detectors: []\n", "at line 3", true},
        Rejected{"ControlCharacter", "default_action: \x01\n", "control characters are not allowed", true},
        Rejected{"DuplicateRootKey", "default_action: alert\ndefault_action: block\n",
                 "duplicate key `default_action` at line 2 column 1"},
        Rejected{"DuplicatePolicyKey", "policies:\n  - name: a\n    name: b\n    detectors: []\n",
                 "policies[0]: duplicate key `name` at line 3 column 5"},
        Rejected{"DuplicateRuleKey",
                 "policies:\n  - name: a\n    detectors: []\n    contexts:\n      usb:\n"
                 "        action: alert\n        action: block\n",
                 "policies[0].contexts.usb: duplicate key `action` at line 7 column 9"},
        Rejected{"DuplicateQuotedKey", "policies: []\n'policies': []\n", "duplicate key `policies`", true},
        Rejected{"MissingName", "policies:\n  - detectors: []\n",
                 "policies[0]: missing field `name` at line 2 column 5"},
        Rejected{"MissingActionInSecondPolicy",
                 "policies:\n  - name: a\n    detectors: []\n  - name: b\n    detectors: []\n"
                 "    contexts:\n      usb:\n        notify: true\n",
                 "policies[1].contexts.usb: missing field `action` at line 8 column 9"},
        Rejected{"EmptyRule", "policies:\n  - name: a\n    detectors: []\n    contexts:\n      usb:\n",
                 "policies[0].contexts.usb: missing field `action`", true},
        Rejected{"ActionUpperCase", "default_action: BLOCK\n", "unknown action `BLOCK`", true},
        Rejected{"ActionAlias", "default_action: deny\n", "unknown action `deny`", true},
        Rejected{"ActionWithSpace", "default_action: ' block'\n", "unknown action ` block`", true},
        Rejected{"ActionNull", "default_action:\n", "default_action: unknown action ``", true},
        Rejected{"ActionSequence", "default_action: [block]\n",
                 "default_action: expected an action, found a sequence at line 1 column 17"},
        Rejected{"PoliciesMapping", "policies: {name: x}\n",
                 "policies: expected a sequence, found a mapping at line 1 column 11"},
        Rejected{"PoliciesNull", "policies: ~\n", "policies: expected a sequence, found null `~`", true},
        Rejected{"PolicyScalar", "policies: [x]\n", "policies[0]: expected a mapping, found string `x`",
                 true},
        Rejected{
            "DetectorsString", "policies:\n  - name: a\n    detectors: credit_card\n",
            "policies[0].detectors: expected a sequence, found string `credit_card` at line 3 column 16"},
        Rejected{"DetectorItemMapping", "policies:\n  - name: a\n    detectors: [{x: 1}]\n",
                 "policies[0].detectors[0]: expected a string, found a mapping", true},
        Rejected{"NameSequence", "policies:\n  - name: [a]\n    detectors: []\n",
                 "policies[0].name: expected a string, found a sequence", true},
        Rejected{"SeverityMapping", "policies:\n  - {name: a, detectors: [], severity: {x: 1}}\n",
                 "policies[0].severity: expected a string, found a mapping", true},
        Rejected{"ContextsSequence", "policies:\n  - {name: a, detectors: [], contexts: [usb]}\n",
                 "policies[0].contexts: expected a mapping, found a sequence", true},
        Rejected{"RuleScalar", "policies:\n  - {name: a, detectors: [], contexts: {usb: block}}\n",
                 "policies[0].contexts.usb: expected a mapping, found string `block`", true},
        Rejected{"NotifyYes",
                 "policies:\n  - {name: a, detectors: [], contexts: {usb: {action: block, notify: yes}}}\n",
                 "policies[0].contexts.usb.notify: expected a boolean (true or false), found string `yes`",
                 true},
        Rejected{
            "NotifyQuoted",
            "policies:\n  - {name: a, detectors: [], contexts: {usb: {action: block, notify: 'true'}}}\n",
            "found string `true`", true},
        Rejected{"ComplexKey", "? [a]\n: b\n", "mapping keys must be scalars, found a sequence", true},
        Rejected{"CustomTag", "policies:\n  - name: !secret x\n    detectors: []\n",
                 "policies[0].name: unsupported tag !secret", true},
        Rejected{"ForeignCollectionTag", "policies: !!omap []\n", "policies: unsupported tag !!omap", true},
        Rejected{"UndefinedAlias", "default_action: *nothing\n",
                 "undefined alias *nothing (its anchor is missing, comes later, or encloses the alias) at "
                 "line 1 column 17"},
        Rejected{"SelfReferencingAlias", "policies: &p [*p]\n", "undefined alias *p", true},
        Rejected{"ThresholdNegative", "block_threshold: -1\n",
                 "block_threshold: invalid value `-1`, expected a non-negative integer at line 1 column 18"},
        Rejected{"ThresholdTooLarge", "block_threshold: 18446744073709551616\n",
                 "block_threshold: `18446744073709551616` is too large for an unsigned 64-bit integer", true},
        Rejected{"ThresholdHexTooLarge", "block_threshold: 0x10000000000000000\n", "too large", true},
        Rejected{"ThresholdLeadingZero", "block_threshold: 010\n", "`010` is ambiguous", true},
        Rejected{"ThresholdUnderscore", "block_threshold: 1_000\n",
                 "block_threshold: expected a non-negative integer, found string `1_000`", true},
        Rejected{"ThresholdQuoted", "block_threshold: '10'\n", "found string `10`", true},
        Rejected{"ThresholdFloat", "block_threshold: 10.0\n", "found float `10.0`", true},
        Rejected{"ThresholdNull", "block_threshold: ~\n", "found null `~`", true},
        Rejected{"ThresholdSignedHex", "block_threshold: +0x10\n", "found string `+0x10`", true},
        Rejected{"ThresholdUpperPrefix", "block_threshold: 0X10\n", "found string `0X10`", true},
        Rejected{"ThresholdBadOctal", "block_threshold: 0o8\n", "found string `0o8`", true},
        Rejected{"BadEntryRejectsAll",
                 "policies:\n  - {name: good, detectors: [cb], contexts: {usb: {action: block}}}\n"
                 "  - {name: bad, detectors: [cb], contexts: {usb: {action: stop}}}\n",
                 "policies[1].contexts.usb.action: unknown action `stop`", true}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(ParsePolicies, AliasesThatMultiplyAreCutOff) {
  // One policy with 1000 detectors, listed 1000 times: a few kilobytes that would
  // otherwise become a million strings.
  std::string yaml = "defs:\n  names: &names [";
  for (int i = 0; i < 1000; ++i) yaml += i ? ", d" : "d";
  yaml += "]\n  policy: &p {name: x, detectors: *names}\npolicies: [";
  for (int i = 0; i < 1000; ++i) yaml += i ? ", *p" : "*p";
  yaml += "]\n";
  auto r = parse_policies(yaml);
  ASSERT_FALSE(r.has_value());
  EXPECT_THAT(r.error().render(), HasSubstr("aliases expand the document"));
}

}  // namespace
}  // namespace vintra::policy
