#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "common/config/app_config.hpp"
#include "common/config/load.hpp"
#include "tests/unit/config/test_support.hpp"

namespace vintra::config {
namespace {

using testing::table;

Table defaults_tree() {
  Table root;
  for (const auto& [key, value] : config_defaults()) set_path(root, split_dotted(key), value);
  return root;
}

// Converts the defaults with one key set to `value`.
Result<AppConfig> convert_with(std::string_view key, Value value) {
  Table root = defaults_tree();
  set_path(root, split_dotted(key), std::move(value));
  return convert_config(root);
}

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

// Checks each value at `key` against the expected field value, or against a failure
// (nothing expected).
template <class T>
void check(std::string_view key, std::function<T(const AppConfig&)> field,
           const std::vector<std::pair<Value, std::optional<T>>>& cases) {
  for (const auto& [in, want] : cases) {
    auto got = convert_with(key, in);
    if (want) {
      if (!got) {
        ADD_FAILURE() << key << " = " << dump(in) << " failed: " << got.error().render();
        continue;
      }
      EXPECT_EQ(field(*got), *want) << key << " = " << dump(in);
    } else if (got) {
      ADD_FAILURE() << key << " = " << dump(in) << " was accepted";
    } else {
      EXPECT_NE(got.error().message().find(std::string("invalid value for ") + std::string(key)), std::string::npos)
          << got.error().render();
    }
  }
}

TEST(Convert, BooleanKeys) {
  check<bool>("vintra_dlp.enabled", [](const AppConfig& c) { return c.vintra_dlp.enabled; },
              {{true, true}, {false, false},
               {0, false}, {7, true}, {-1, true}, {std::uint64_t{0}, false}, {0.0, false}, {0.5, true},
               {"true", true}, {"TRUE", true}, {"Yes", true}, {"on", true}, {"1", true},
               {"false", false}, {"No", false}, {"OFF", false}, {"0", false},
               {"maybe", std::nullopt}, {"2", std::nullopt}, {"", std::nullopt}, {" true", std::nullopt},
               {"t", std::nullopt}, {Value(), std::nullopt}, {Array{true}, std::nullopt}, {Table{}, std::nullopt}});
  auto err = convert_with("vintra_dlp.enabled", "maybe");
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error().render(), "invalid value for vintra_dlp.enabled: expected a boolean, found \"maybe\"");
}

TEST(Convert, UnsignedKeys) {
  using U = std::uint64_t;
  check<U>("vintra_dlp.usb_poll_seconds", [](const AppConfig& c) { return c.vintra_dlp.usb_poll_seconds; },
           {{5, U{5}}, {0, U{0}}, {kU64Max, kU64Max}, {true, U{1}}, {false, U{0}},
            {2.5, U{3}}, {2.4, U{2}}, {-0.4, U{0}}, {1e19, U{10000000000000000000u}},
            {18446744073709551616.0, std::nullopt}, {-1, std::nullopt}, {-1.0, std::nullopt},
            {kNaN, std::nullopt}, {kInf, std::nullopt},
            {"yes", U{1}}, {"ON", U{1}}, {"True", U{1}}, {"off", U{0}}, {"No", U{0}},
            {"42", U{42}}, {"+42", U{42}}, {"007", U{7}}, {"18446744073709551615", kU64Max},
            {"18446744073709551616", std::nullopt}, {"-5", std::nullopt}, {"1.5", std::nullopt},
            {"", std::nullopt}, {" 5", std::nullopt}, {"5 ", std::nullopt}, {"0x10", std::nullopt},
            {"maybe", std::nullopt}, {Value(), std::nullopt}, {Array{5}, std::nullopt}});
  auto err = convert_with("vintra_dlp.usb_poll_seconds", -5);
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error().render(), "invalid value for vintra_dlp.usb_poll_seconds: expected an unsigned integer, found -5");
}

TEST(Convert, IocMinConfidenceIsLimitedTo32Bits) {
  using U = std::uint32_t;
  check<U>("vintra_threats.ioc_min_confidence", [](const AppConfig& c) { return c.vintra_threats.ioc_min_confidence; },
           {{4294967295, U{4294967295u}}, {"4294967295", U{4294967295u}}, {4294967295.4, U{4294967295u}},
            {true, U{1}}, {4294967296, std::nullopt}, {"4294967296", std::nullopt},
            {4294967295.5, std::nullopt}, {kU64Max, std::nullopt}});
  auto err = convert_with("vintra_threats.ioc_min_confidence", 4294967296);
  ASSERT_FALSE(err);
  EXPECT_EQ(err.error().render(),
            "invalid value for vintra_threats.ioc_min_confidence: expected an unsigned 32-bit integer, found 4294967296");
}

TEST(Convert, TextKeysTakeNumbersAndBooleansInTheirTextForm) {
  using S = std::string;
  check<S>("logging.level", [](const AppConfig& c) { return c.logging.level; },
           {{"debug", S("debug")}, {"", S("")}, {true, S("true")}, {false, S("false")}, {42, S("42")},
            {-3, S("-3")}, {kU64Max, S("18446744073709551615")}, {1.5, S("1.5")}, {2.0, S("2")},
            {1e21, S("1000000000000000000000")}, {Value(), std::nullopt}, {Array{"a"}, std::nullopt},
            {Table{}, std::nullopt}});
}

TEST(Convert, ListKeysNeedAListAndConvertEachElementAsText) {
  using L = std::vector<std::string>;
  check<L>("vintra_dlp.network.blocked_domains",
           [](const AppConfig& c) { return c.vintra_dlp.network.blocked_domains; },
           {{Array{"a.com", 1, true, 1.5}, L{"a.com", "1", "true", "1.5"}}, {Array{}, L{}},
            {"a.com", std::nullopt}, {"", std::nullopt}, {1, std::nullopt}, {Table{}, std::nullopt},
            {Value(), std::nullopt}});
  auto single = convert_with("vintra_dlp.network.blocked_domains", "a.com");
  ASSERT_FALSE(single);
  EXPECT_EQ(single.error().render(),
            "invalid value for vintra_dlp.network.blocked_domains: expected a list, found \"a.com\"");
  auto element = convert_with("vintra_dlp.cloud_folders", Array{"a", Table{}});
  ASSERT_FALSE(element);
  EXPECT_EQ(element.error().render(), "invalid value for vintra_dlp.cloud_folders[1]: expected a text, found a table");
}

TEST(Convert, OptionalTextIsNothingWhenAbsentOrNull) {
  using O = std::optional<std::string>;
  EXPECT_EQ(convert_config(defaults_tree())->agent.hostname, std::nullopt);
  check<O>("agent.hostname", [](const AppConfig& c) { return c.agent.hostname; },
           {{"h", O("h")}, {5, O("5")}, {Value(), O()}, {Array{}, std::nullopt}});
}

TEST(Convert, SectionsMustBeTablesEvenWhenNotConsulted) {
  struct Case {
    const char* key;
    Value value;
    const char* error;
  } cases[] = {
      {"vintra_dlp", "1", "invalid value for vintra_dlp: expected a section, found \"1\""},
      {"vintra_dlp.network", 5, "invalid value for vintra_dlp.network: expected a section, found 5"},
      {"rmm", true, "invalid value for rmm: expected a section, found true"},
      {"vintra_threats.response", Array{}, "invalid value for vintra_threats.response: expected a section, found a list"},
      {"patch_management.enabled", "sometimes",
       "invalid value for patch_management.enabled: expected a boolean, found \"sometimes\""},
  };
  for (const auto& c : cases) {
    auto got = convert_with(c.key, c.value);
    ASSERT_FALSE(got) << c.key;
    EXPECT_EQ(got.error().render(), c.error);
  }
}

TEST(Convert, UnknownKeysAndSectionsAreIgnored) {
  Table root = defaults_tree();
  set_path(root, {"vintra_dlp", "no_such_key"}, Table{});
  set_path(root, {"no_such_section"}, Array{Value()});
  set_path(root, {"vintra_dlp", "network", "also_unknown"}, Value());
  auto got = convert_config(root);
  ASSERT_TRUE(got) << got.error().render();
  EXPECT_EQ(*got, AppConfig{});
}

TEST(Convert, ReportsTheFirstProblemInRecordOrder) {
  Table root = defaults_tree();
  set_path(root, {"vintra_dlp", "enabled"}, "maybe");
  set_path(root, {"vintra_logs", "interval_seconds"}, -1);
  set_path(root, {"vintra_threats", "network", "aggregation_enabled"}, "x");
  auto got = convert_config(root);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().message(), "invalid value for vintra_logs.interval_seconds: expected an unsigned integer, found -1");
}

TEST(Convert, KeysWithoutBuiltInDefaultTakeTheRecordDefault) {
  auto got = convert_config(Table{});
  ASSERT_TRUE(got) << got.error().render();
  EXPECT_EQ(got->vintra_threats.ioc_file, "rules/iocs.json");
  EXPECT_EQ(got->vintra_threats.ioc_severity_min, "high");
  EXPECT_EQ(got->vintra_threats.bruteforce_seuil, 10u);
  EXPECT_EQ(got->vintra_threats.network_scan_seuil, 30u);
  EXPECT_EQ(got->vintra_threats.data_staging_seuil_mo, 50u);
  EXPECT_FALSE(got->vintra_threats.ioc_auto_response);
  EXPECT_TRUE(got->vintra_threats.anon_proxy_detection);
  EXPECT_TRUE(got->vintra_threats.response.allowlist_rules.empty());
  EXPECT_FALSE(got->sender.enforce_command_signature);
  EXPECT_EQ(got->agent.hostname, std::nullopt);
}

// ---------------------------------------------------------------------------
// The built-in defaults.

TEST(Defaults, AreSectionBySectionInRecordOrderWithValuesOfTheirKind) {
  const auto& defaults = config_defaults();
  // Every key that carries a built-in default: 1 + 3 + 6 + 15 + 8 + 4 + 4 + 14.
  EXPECT_EQ(defaults.size(), 55u);
  const std::vector<std::string> order = {"agent",  "logging", "vintra_logs",      "vintra_threats",
                                          "sender", "rmm",     "patch_management", "vintra_dlp"};
  std::size_t section = 0;
  for (const auto& [key, value] : defaults) {
    std::string first = std::string(split_dotted(key).front());
    while (section < order.size() && order[section] != first) ++section;
    ASSERT_LT(section, order.size()) << key << " is out of section order";
    switch (value.kind()) {
      case Value::Kind::kBool:
      case Value::Kind::kUint:
      case Value::Kind::kString: break;
      case Value::Kind::kArray:
        if (const Array* items = value.as_array()) {
          for (const auto& item : *items) EXPECT_NE(item.as_string(), nullptr) << key;
        }
        break;
      default: ADD_FAILURE() << key << " has a value of an unexpected kind";
    }
  }
  EXPECT_EQ(defaults.front().first, "agent.data_dir");
  EXPECT_EQ(defaults.back().first, "vintra_dlp.network.dns_probe_interval_seconds");
}

TEST(Defaults, ConvertToTheRecordDefaults) {
  auto got = convert_config(defaults_tree());
  ASSERT_TRUE(got) << got.error().render();
  EXPECT_EQ(*got, AppConfig{});
  EXPECT_EQ(got->vintra_dlp.cloud_folders,
            (std::vector<std::string>{"OneDrive", "Dropbox", "MEGA", "MEGAsync", "Google Drive"}));
  EXPECT_EQ(got->vintra_threats.response.allowlist_paths,
            (std::vector<std::string>{"C:\\Windows\\", "C:\\Program Files\\", "C:\\Program Files (x86)\\"}));
  EXPECT_EQ(got->sender.server_url.rfind("https://", 0), 0u);
}

// A default registered under a misspelt key would be ignored as unknown; a value of
// the wrong kind at each key shows that every key is read by the converter.
TEST(Defaults, EveryKeyNamesAFieldOfTheRecord) {
  for (const auto& [key, value] : config_defaults()) {
    auto got = convert_with(key, Array{Table{}});
    ASSERT_FALSE(got) << key << " is not read";
    EXPECT_NE(got.error().message().find("invalid value for " + key), std::string::npos) << got.error().render();
  }
}

}  // namespace
}  // namespace vintra::config
