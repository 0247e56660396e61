#include "common/config/value.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "common/paths.hpp"
#include "tests/unit/config/test_support.hpp"

namespace vintra::config {
namespace {

using testing::table;

TEST(Table, SetKeepsFirstPositionAndInsertNewRefusesDuplicates) {
  Table t;
  t.set("b", 1);
  t.set("a", 2);
  t.set("b", 3);
  ASSERT_EQ(t.size(), 2u);
  EXPECT_EQ(t.begin()->first, "b");
  EXPECT_EQ(*t.find("b"), Value(3));
  EXPECT_FALSE(t.insert_new("a", 9));
  EXPECT_EQ(*t.find("a"), Value(2));
  EXPECT_TRUE(t.insert_new("c", 4));
  EXPECT_EQ(t.find("missing"), nullptr);
}

TEST(Value, IntegerKindsFollowSignedness) {
  EXPECT_EQ(Value(5).kind(), Value::Kind::kInt);
  EXPECT_EQ(Value(5u).kind(), Value::Kind::kUint);
  EXPECT_EQ(Value(std::uint64_t{5}).kind(), Value::Kind::kUint);
  EXPECT_EQ(Value(true).kind(), Value::Kind::kBool);
  EXPECT_EQ(Value("x").kind(), Value::Kind::kString);
  EXPECT_NE(Value(5), Value(5u));
}

TEST(Merge, LaterLayerReplacesSingleKeysAndMergesTablesRecursively) {
  Table base = table({{"dlp", table({{"enabled", false},
                                     {"folders", Array{"a", "b"}},
                                     {"network", table({{"enabled", false}, {"ipv6", true}})}})},
                      {"logging", table({{"level", "info"}})}});
  Table overlay = table({{"dlp", table({{"enabled", true},
                                        {"folders", Array{"c"}},
                                        {"network", table({{"enabled", true}})}})},
                         {"extra", 1}});
  merge_into(base, std::move(overlay));
  Table want = table({{"dlp", table({{"enabled", true},
                                     {"folders", Array{"c"}},  // lists are replaced whole
                                     {"network", table({{"enabled", true}, {"ipv6", true}})}})},
                      {"logging", table({{"level", "info"}})},
                      {"extra", 1}});
  EXPECT_EQ(base, want);
}

TEST(Merge, SingleValueAndTableReplaceEachOther) {
  Table base = table({{"a", table({{"x", 1}})}, {"b", 2}});
  merge_into(base, table({{"a", "flat"}, {"b", table({{"y", 3}})}}));
  EXPECT_EQ(base, table({{"a", "flat"}, {"b", table({{"y", 3}})}}));
}

TEST(SetPath, CreatesTablesAndReplacesNonTablesOnTheWay) {
  Table root = table({{"a", 1}});
  set_path(root, {"a", "b", "c"}, "v");
  set_path(root, {"a", "b", "d"}, 2);
  EXPECT_EQ(root, table({{"a", table({{"b", table({{"c", "v"}, {"d", 2}})}})}}));
}

TEST(SplitDotted, KeepsEmptySegments) {
  EXPECT_EQ(split_dotted("a.b.c"), (std::vector<std::string_view>{"a", "b", "c"}));
  EXPECT_EQ(split_dotted("a"), (std::vector<std::string_view>{"a"}));
  EXPECT_EQ(split_dotted("a..b"), (std::vector<std::string_view>{"a", "", "b"}));
  EXPECT_EQ(split_dotted(""), (std::vector<std::string_view>{""}));
}

TEST(DoubleText, ShortestRoundTripWithoutExponent) {
  struct Case {
    double in;
    const char* want;
  } cases[] = {
      {1.5, "1.5"},
      {1.0, "1"},
      {-2.25, "-2.25"},
      {0.1, "0.1"},
      {1e20, "100000000000000000000"},
      {0.0001, "0.0001"},
      {-0.0, "-0"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
      {std::nan(""), "NaN"},
  };
  for (const auto& c : cases) EXPECT_EQ(double_text(c.in), c.want) << c.want;
  EXPECT_EQ(std::strtod(double_text(std::numeric_limits<double>::max()).c_str(), nullptr), std::numeric_limits<double>::max());
  EXPECT_EQ(std::strtod(double_text(std::numeric_limits<double>::denorm_min()).c_str(), nullptr),
            std::numeric_limits<double>::denorm_min());
}

TEST(Describe, NamesValuesForErrorTexts) {
  EXPECT_EQ(describe(Value("maybe")), "\"maybe\"");
  EXPECT_EQ(describe(Value("a\"b\\c\n\x01")), "\"a\\\"b\\\\c\\n\\u0001\"");
  EXPECT_EQ(describe(Value(-5)), "-5");
  EXPECT_EQ(describe(Value(std::uint64_t{18446744073709551615u})), "18446744073709551615");
  EXPECT_EQ(describe(Value(2.5)), "2.5");
  EXPECT_EQ(describe(Value(true)), "true");
  EXPECT_EQ(describe(Value()), "nothing");
  EXPECT_EQ(describe(Value(Array{})), "a list");
  EXPECT_EQ(describe(Value(Table{})), "a table");
}

TEST(JoinPath, JoinsLikePathsNotStrings) {
  struct Case {
    const char* base;
    const char* name;
    const char* want;
  } cases[] = {
      {"/opt/x", "data", "/opt/x/data"},
      {"/opt/x/", "data", "/opt/x/data"},
      {"/", "data", "/data"},
      {"/opt/x", "/var/lib", "/var/lib"},
      {"/opt/x", "", "/opt/x/"},
      {"/", "", "/"},
      {"", "data", "data"},
      {"", "", ""},
      {"rel", "a/b", "rel/a/b"},
      {"/opt/x", "../y", "/opt/x/../y"},
  };
  for (const auto& c : cases) EXPECT_EQ(join_path(c.base, c.name), c.want) << c.base << " + " << c.name;
}

}  // namespace
}  // namespace vintra::config
