#include <gtest/gtest.h>

#include <cmath>

#include "tests/unit/config/test_support.hpp"

namespace vintra::config {
namespace {

using testing::table;

TEST(Json5Reader, AcceptsTheJson5Grammar) {
  const double inf = std::numeric_limits<double>::infinity();
  testing::expect_accepted(parse_json5, {
      {"{}", Table{}},
      {"{a: 1, $b: 2, _c: 3, d9: 4, caf\xc3\xa9: 5, \\u0061x: 6,}",
       table({{"a", 1}, {"$b", 2}, {"_c", 3}, {"d9", 4}, {"caf\xc3\xa9", 5}, {"ax", 6}})},
      {"{'single': 'it\\'s', \"double\": \"say \\\"hi\\\"\", null: true, true: 1}",
       table({{"single", "it's"}, {"double", "say \"hi\""}, {"null", true}, {"true", 1}})},
      {"{vintra_dlp: {network: {blocked_domains: ['a.com', 'b.com',],},},}",
       table({{"vintra_dlp", table({{"network", table({{"blocked_domains", Array{"a.com", "b.com"}}})}})}})},
      {"[0x1F, -0xa, +5, 18446744073709551615, 18446744073709551616]",
       Array{31, -10, 5, std::uint64_t{18446744073709551615u}, 18446744073709551616.0}},
      {"[.5, 5., -.25, 1e3, 2E-1, +1.5, Infinity, -Infinity, +Infinity]",
       Array{0.5, 5.0, -0.25, 1000.0, 0.2, 1.5, inf, -inf, inf}},
      {"['a\\\nb', 'c\\\r\nd', '\\x41\\u00e9\\ud83d\\ude00', '\\v\\0\\q', 'sep\xe2\x80\xa8ok']",
       Array{"ab", "cd", "A\xc3\xa9\xf0\x9f\x98\x80", std::string("\v\0q", 3), "sep\xe2\x80\xa8ok"}},
      {"// line\n/* block */ {a /* inside */ : 1} // end", table({{"a", 1}})},
      {"\xef\xbb\xbf\xc2\xa0{a: null}\xe3\x80\x80", table({{"a", Value()}})},
      {"{a: 1, a: 2}", table({{"a", 2}})},
      {"'top'", Value("top")},
  });
}

TEST(Json5Reader, RejectsWhatJson5DoesNotAllow) {
  testing::expect_rejected(parse_json5, {
      {"", "expected a value, found end of input"},
      {"{a: 1,,}", "expected a key"},
      {"[1,,2]", "expected a value"},
      {"{a 1}", "expected ':' after the key"},
      {"{1a: 1}", "expected a key"},
      {"{\"a\": 1} x", "after the value"},
      {"'line\nbreak'", "line break inside a string"},
      {"'open", "unterminated string"},
      {"'\\1'", "digits cannot be escaped"},
      {"'\\01'", "\\0 must not be followed by a digit"},
      {"'\\xZ1'", "invalid \\x escape"},
      {"'\\udc00'", "not a Unicode scalar value"},
      {"01", "leading zeros are not allowed"},
      {"1e", "expected exponent digits"},
      {"0x", "expected hexadecimal digits"},
      {"0x1G", "invalid number"},
      {"12abc", "invalid number"},
      {".", "invalid number"},
      {"1e400", "number out of range"},
      {"0x10000000000000000", "hexadecimal number out of range"},
      {"nul", "expected a value"},
      {"nullx", "expected a value"},
      {"/* open", "unterminated block comment"},
      {"{a: 1,\n  b: }", "line 2, column 6: expected a value"},
      {"'\xff'", "invalid UTF-8"},
  });
  std::string deep = std::string(200, '[') + std::string(200, ']');
  testing::expect_rejected(parse_json5, {{deep.c_str(), "nesting is too deep"}});
}

TEST(Json5Reader, ReadsNaN) {
  auto got = parse_json5("[NaN, -NaN]");
  ASSERT_TRUE(got) << got.error().render();
  const Array* items = got->as_array();
  ASSERT_NE(items, nullptr);
  for (const auto& v : *items) {
    const double* d = v.as_double();
    EXPECT_TRUE(d != nullptr && std::isnan(*d)) << dump(v);
  }
}

}  // namespace
}  // namespace vintra::config
