#include <gtest/gtest.h>

#include "tests/unit/config/test_support.hpp"

namespace vintra::config {
namespace {

using testing::table;

TEST(IniReader, MapsSectionsAndNamesOntoTablesOfTexts) {
  testing::expect_accepted(parse_ini, {
      {"", Table{}},
      {"; comment\n# comment\n", Table{}},
      {"top = 1\n[logging]\nlevel = debug\n", table({{"top", "1"}, {"logging", table({{"level", "debug"}})}})},
      {"[vintra_dlp]\nenabled = yes\n[vintra_dlp.network]\nipv6_block = off\n",
       table({{"vintra_dlp", table({{"enabled", "yes"}, {"network", table({{"ipv6_block", "off"}})}})}})},
      {"[vintra_dlp]\nnetwork.enabled = true\n",
       table({{"vintra_dlp", table({{"network", table({{"enabled", "true"}})}})}})},
      {"[a]\nx = 1\n[b]\ny = 2\n[a]\nz = 3\n", table({{"a", table({{"x", "1"}, {"z", "3"}})}, {"b", table({{"y", "2"}})}})},
      {"[s]\nq = \"quoted value\"\ne = \"\"\nk: colon\ni = v ; inline comment\n",
       table({{"s", table({{"q", "quoted value"}, {"e", ""}, {"k", "colon"}, {"i", "v"}})}})},
      {"[s]\nv = first\n  second\n", table({{"s", table({{"v", "first\nsecond"}})}})},
      {"[s]\nv = first\nother = x\nv = again\n", table({{"s", table({{"v", "again"}, {"other", "x"}})}})},
      {"\xef\xbb\xbf[s]\r\nk = v\r\n", table({{"s", table({{"k", "v"}})}})},
      {"[s]\nname = caf\xc3\xa9\n", table({{"s", table({{"name", "caf\xc3\xa9"}})}})},
  });
}

TEST(IniReader, RejectsMalformedLinesNamingTheLine) {
  std::string long_line = "[s]\nk = " + std::string(1000, 'x') + "\nother = y\n";
  auto got = parse_ini(long_line);
  ASSERT_FALSE(got);
  EXPECT_EQ(got.error().message(), "line 2: line is too long");

  testing::expect_rejected(parse_ini, {
      {"[s]\nno value here\n", "line 2: syntax error"},
      {"[unclosed\nk = v\n", "line 1: syntax error"},
      {"[a..b]\nk = v\n", "line 2: invalid name \"k\" in section \"a..b\""},
      {"[s]\n.k = v\n", "line 2: invalid name \".k\""},
      {"[s]\nk = \xff\n", "line 2, column 5: invalid UTF-8"},
  });
}

}  // namespace
}  // namespace vintra::config
