#include <gtest/gtest.h>

#include "tests/unit/config/test_support.hpp"

namespace vintra::config {
namespace {

using testing::table;

TEST(TomlReader, AcceptsTomlAndKeepsNumberKinds) {
  testing::expect_accepted(parse_toml, {
      {"", Table{}},
      {"# only a comment\n", Table{}},
      {"a = 1\nb = -2\nc = 0x1F\nd = 1_000", table({{"a", 1}, {"b", -2}, {"c", 31}, {"d", 1000}})},
      {"f = 1.5\ng = 1e3\nh = inf", table({{"f", 1.5}, {"g", 1000.0}, {"h", std::numeric_limits<double>::infinity()}})},
      // toml++ keeps a table's keys sorted.
      {"s = \"tab\\there\"\nr = 'C:\\dir'\nm = \"\"\"\nx\"\"\"", table({{"m", "x"}, {"r", "C:\\dir"}, {"s", "tab\there"}})},
      {"b = true\nl = [\"a\", 1, [2]]", table({{"b", true}, {"l", Array{"a", 1, Array{2}}}})},
      {"[vintra_dlp]\nenabled = true\n[vintra_dlp.network]\nipv6_block = false",
       table({{"vintra_dlp", table({{"enabled", true}, {"network", table({{"ipv6_block", false}})}})}})},
      {"a.b.c = 1\nt = { x = 2 }", table({{"a", table({{"b", table({{"c", 1}})}})}, {"t", table({{"x", 2}})}})},
      // Dates have no kind of their own in the tree: they arrive as their TOML text.
      {"d = 1979-05-27\ndt = 1979-05-27T07:32:00Z\nt = 07:32:00",
       table({{"d", "1979-05-27"}, {"dt", "1979-05-27T07:32:00Z"}, {"t", "07:32:00"}})},
  });
}

TEST(TomlReader, RejectsInvalidTomlNamingLineAndColumn) {
  testing::expect_rejected(parse_toml, {
      {"a = 1\nb = [1,2\n", "line 2, column 10"},
      {"a = 1\na = 2", "line 2, column"},
      {"[t]\nx = 1\n[t]\n", "line 3"},
      {"a = \"unterminated", "line 1, column"},
      {"a = 1 b = 2", "line 1, column"},
      {"a = 99999999999999999999", "line 1"},
      {"a = \"\xff\"", "line 1"},
      {"= 1", "line 1, column 1"},
  });
}

}  // namespace
}  // namespace vintra::config
