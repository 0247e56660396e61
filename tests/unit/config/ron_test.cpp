#include <gtest/gtest.h>

#include "tests/unit/config/test_support.hpp"

namespace vintra::config {
namespace {

using testing::table;

TEST(RonReader, AcceptsStructsMapsListsAndScalars) {
  const double inf = std::numeric_limits<double>::infinity();
  testing::expect_accepted(parse_ron, {
      {"()", Value()},
      {"(a: 1, b: \"x\")", table({{"a", 1}, {"b", "x"}})},
      {"Config(a: true,)", table({{"a", true}})},
      {"Config ( a : false )", table({{"a", false}})},
      {"Empty()", Table{}},
      {"(vintra_dlp: (enabled: true, network: (blocked_domains: [\"a.com\", \"b.com\",])))",
       table({{"vintra_dlp", table({{"enabled", true}, {"network", table({{"blocked_domains", Array{"a.com", "b.com"}}})}})}})},
      {"{\"k\": 1, \"j\": [],}", table({{"k", 1}, {"j", Array{}}})},
      {"(t: (1, \"two\"), n: Point(1, 2), u: ())", table({{"t", Array{1, "two"}}, {"n", Array{1, 2}}, {"u", Value()}})},
      {"(s: Some(5), n: None, nested: Some(Some(\"x\")))", table({{"s", 5}, {"n", Value()}, {"nested", "x"}})},
      {"(v: Critical, c: 'x', e: '\\n', u: '\xc3\xa9')", table({{"v", "Critical"}, {"c", "x"}, {"e", "\n"}, {"u", "\xc3\xa9"}})},
      // Numbers: decimal, hex, octal, binary, separators, signs and floats.
      {"[0, -7, +7, 0xff, 0o17, 0b101, 1_000_000, -0x10, 18446744073709551615]",
       Array{0, -7, 7, 255, 15, 5, 1000000, -16, std::uint64_t{18446744073709551615u}}},
      {"[1.5, -0.25, 1e3, 2.5E-1, .5, 1., inf, -inf, 1_0.5]", Array{1.5, -0.25, 1000.0, 0.25, 0.5, 1.0, inf, -inf, 10.5}},
      // Strings: escapes, raw strings, line breaks.
      {R"(["a\"b", "\\ \/ \b\f\n\r\t\0", "\u00e9 \u{1F600} \ud83d\ude00 \x41"])",
       Array{"a\"b", std::string("\\ / \b\f\n\r\t\0", 10), "\xc3\xa9 \xf0\x9f\x98\x80 \xf0\x9f\x98\x80 A"}},
      {"[r\"C:\\dir\", r#\"say \"hi\"\"#, r##\"a\"#b\"##, \"two\nlines\"]",
       Array{"C:\\dir", "say \"hi\"", "a\"#b", "two\nlines"}},
      // Comments and attributes.
      {"#![enable(implicit_some)]\n// line\n(/* block /* nested */ */ a: 1, // after\n)", table({{"a", 1}})},
  });
}

TEST(RonReader, RejectsInvalidRon) {
  testing::expect_rejected(parse_ron, {
      {"", "line 1, column 1: expected a value, found end of input"},
      {"(a: 1", "line 1, column 6: expected ',' or ')', found end of input"},
      {"(a: 1,", "unclosed '('"},
      {"(a: 1, a: 2)", "line 1, column 8: duplicate field \"a\""},
      {"{\"k\": 1, \"k\": 2}", "duplicate key \"k\""},
      {"{1: 2}", "map keys must be texts"},
      {"(a 1)", "expected ',' or ')'"},
      {"(a: 1,\n b: )", "line 2, column 5: expected a value"},
      {"[1 2]", "expected ',' or ']'"},
      {"[,]", "expected a value"},
      {"(a: 1) (b: 2)", "after the value"},
      {"\"unterminated", "unterminated string"},
      {"\"bad \\q escape\"", "invalid escape"},
      {"\"\\ud800\"", "not a Unicode scalar value"},
      {"\"\\x80\"", "invalid \\x escape"},
      {"r#\"open\"", "unterminated raw string"},
      {"'ab'", "exactly one character"},
      {"''", "empty char"},
      {"/* open", "unterminated block comment"},
      {"/* outer /* inner */ still open", "unterminated block comment"},
      {"0x", "expected digits after the base prefix"},
      {"0b102", "invalid number"},
      {"12abc", "invalid number"},
      {"1u8", "invalid number"},
      {"1e", "expected exponent digits"},
      {"99999999999999999999", "integer out of range"},
      {"-9223372036854775809", "integer out of range"},
      {"1e400", "number out of range"},
      {"Some 5", "expected '(' after Some"},
      {"@", "expected a value, found '@'"},
      {"\"\xff\"", "invalid UTF-8"},
  });
  std::string deep = std::string(200, '[') + std::string(200, ']');
  testing::expect_rejected(parse_ron, {{deep.c_str(), "nesting is too deep"}});
}

TEST(RonReader, NegativeBoundaryIntegers) {
  testing::expect_accepted(parse_ron, {{"[-9223372036854775808, 9223372036854775808]",
                                        Array{INT64_MIN, std::uint64_t{9223372036854775808u}}}});
}

}  // namespace
}  // namespace vintra::config
