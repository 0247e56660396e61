#include <gtest/gtest.h>

#include <cmath>

#include "tests/unit/config/test_support.hpp"

namespace vintra::config {
namespace {

using testing::table;

TEST(YamlReader, ResolvesPlainScalarsByTheCoreSchema) {
  const double inf = std::numeric_limits<double>::infinity();
  testing::expect_accepted(parse_yaml, {
      {"a: 1\nb: -2\nc: +3\nd: 0x1F\ne: 0o17", table({{"a", 1}, {"b", -2}, {"c", 3}, {"d", 31}, {"e", 15}})},
      {"a: 18446744073709551615\nb: 99999999999999999999",
       table({{"a", std::uint64_t{18446744073709551615u}}, {"b", "99999999999999999999"}})},
      {"a: 1.5\nb: .5\nc: 1e3\nd: -.inf\ne: 5.", table({{"a", 1.5}, {"b", 0.5}, {"c", 1000.0}, {"d", -inf}, {"e", 5.0}})},
      {"a: true\nb: False\nc: TRUE\nd: yes\ne: on", table({{"a", true}, {"b", false}, {"c", true}, {"d", "yes"}, {"e", "on"}})},
      {"a: ~\nb: null\nc:\nd: NULL", table({{"a", Value()}, {"b", Value()}, {"c", Value()}, {"d", Value()}})},
      // Quoted scalars and !!str are always text.
      {"a: \"1\"\nb: 'true'\nc: !!str 5\nd: ''", table({{"a", "1"}, {"b", "true"}, {"c", "5"}, {"d", ""}})},
      {"a: 1_000\nb: 0b101\nc: 12:30\nd: 1.2.3", table({{"a", "1_000"}, {"b", "0b101"}, {"c", "12:30"}, {"d", "1.2.3"}})},
  });
}

TEST(YamlReader, AcceptsBlockAndFlowCollectionsAndAliases) {
  testing::expect_accepted(parse_yaml, {
      {"", Value()},
      {"# comment only\n", Value()},
      {"---\na: 1\n...\n", table({{"a", 1}})},
      {"vintra_dlp:\n  enabled: true\n  network:\n    blocked_domains:\n      - a.com\n      - b.com\n",
       table({{"vintra_dlp", table({{"enabled", true}, {"network", table({{"blocked_domains", Array{"a.com", "b.com"}}})}})}})},
      {"l: [1, \"two\", {x: 3}]\nm: {a: b}", table({{"l", Array{1, "two", table({{"x", 3}})}}, {"m", table({{"a", "b"}})}})},
      {"base: &b {x: 1}\ncopy: *b\ns: &s text\nt: *s",
       table({{"base", table({{"x", 1}})}, {"copy", table({{"x", 1}})}, {"s", "text"}, {"t", "text"}})},
      {"text: |\n  line1\n  line2\n", table({{"text", "line1\nline2\n"}})},
      {"1: one\ntrue: yes", table({{"1", "one"}, {"true", "yes"}})},
  });
}

TEST(YamlReader, RejectsWhatAConfigurationMustNotHold) {
  testing::expect_rejected(parse_yaml, {
      {"a: 1\n---\nb: 2\n", "line 2, column 1: a second document is not accepted"},
      {"a: 1\na: 2\n", "line 2, column 1: duplicate key \"a\""},
      {"? [a, b]\n: 1\n", "mapping keys must be scalars"},
      {"{x: 1}: 2\n", "mapping keys must be scalars"},
      {"a: &k key\n*k : 2\n", "mapping keys must be scalars, not aliases"},
      {"a: *missing\n", "unknown anchor \"missing\""},
      {"a: [1, 2\n", "line 2"},
      {"a:\n  b: 1\n c: 2\n", "line 3, column 2"},
      {"a: \"\xff\"\n", "line 1"},
      {"a: 'unterminated\n", "line 2"},
  });
}

TEST(YamlReader, RefusesAliasBombsAndDeepNesting) {
  std::string bomb = "a: &a [x, x, x, x, x, x, x, x, x, x]\n";
  for (char level = 'b'; level <= 'h'; ++level) {
    std::string prev(1, static_cast<char>(level - 1));
    bomb += std::string(1, level) + ": &" + std::string(1, level) + " [";
    for (int i = 0; i < 10; ++i) bomb += (i ? ", *" : "*") + prev;
    bomb += "]\n";
  }
  auto got = parse_yaml(bomb);
  ASSERT_FALSE(got);
  EXPECT_NE(got.error().message().find("aliases expand to too many nodes"), std::string::npos);

  auto deep = parse_yaml(std::string(200, '[') + std::string(200, ']'));
  ASSERT_FALSE(deep);
  EXPECT_NE(deep.error().message().find("nesting is too deep"), std::string::npos);
}

TEST(YamlReader, KeepsNaNAsAFloat) {
  auto got = parse_yaml("a: .nan");
  ASSERT_TRUE(got) << got.error().render();
  const double* d = got->as_table()->find("a")->as_double();
  ASSERT_NE(d, nullptr);
  EXPECT_TRUE(std::isnan(*d));
}

}  // namespace
}  // namespace vintra::config
