#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>

#include "src/logging/clock.hpp"
#include "src/logging/log.hpp"

namespace vintra::logging {
namespace {

using namespace std::chrono;

LogClock::time_point at(int y, unsigned mo, unsigned d, int h, int mi, int s, int us) {
  return LogClock::time_point(sys_days{year{y} / mo / d}) + hours{h} + minutes{mi} + seconds{s} +
         microseconds{us};
}

TEST(FormatTest, LineIsByteExact) {
  // Nanoseconds beyond the microsecond are cut, not rounded.
  const auto when = at(2025, 3, 4, 9, 15, 2, 481337) + nanoseconds{999};
  EXPECT_EQ(format_line(when, Level::kInfo, kTargetMain, "Korvane DLP starting", {}),
            "2025-03-04T09:15:02.481337Z  INFO vintra_dlp: Korvane DLP starting\n");
  EXPECT_EQ(format_line(at(1999, 12, 31, 23, 59, 59, 7), Level::kDebug, kTargetMain, "DLP reload tick",
                        {Field::display("cached", "v2"), Field::display("last", "v1")}),
            "1999-12-31T23:59:59.000007Z DEBUG vintra_dlp: DLP reload tick cached=v2 last=v1\n");
  EXPECT_EQ(format_line(at(2025, 1, 2, 3, 4, 5, 0), Level::kWarn, kTargetHosts, "multi\nline: x",
                        {Field::uint("n", 18446744073709551615ULL), Field::integer("d", -42),
                         Field::boolean("ok", true), Field::boolean("no", false),
                         Field::text("path", "/tmp/a \"b\"")}),
            "2025-01-02T03:04:05.000000Z  WARN vintra_dlp::network::hosts: multi\nline: x "
            "n=18446744073709551615 d=-42 ok=true no=false path=\"/tmp/a \\\"b\\\"\"\n");

  const std::pair<Level, std::string_view> levels[] = {
      {Level::kTrace, "TRACE"}, {Level::kDebug, "DEBUG"}, {Level::kInfo, " INFO"},
      {Level::kWarn, " WARN"}, {Level::kError, "ERROR"}};
  for (const auto& [level, text] : levels) {
    EXPECT_EQ(format_line(at(2025, 3, 4, 0, 0, 0, 0), level, kTargetDoh, "m", {}),
              "2025-03-04T00:00:00.000000Z " + std::string(text) + " vintra_dlp::network::doh_block: m\n");
  }
}

NowFunction fixed_clock = [] { return at(2024, 2, 29, 12, 0, 0, 123456); };

TEST(FormatTest, UsesTheLogClock) {
  set_clock_for_testing(fixed_clock);
  const std::string line = format_line(Level::kError, kTargetPolicy, "x", {});
  set_clock_for_testing(nullptr);
  EXPECT_EQ(line, "2024-02-29T12:00:00.123456Z ERROR vintra_dlp::policy: x\n");
}

TEST(FormatTest, TextFieldsAreEscapedDisplayFieldsAreNot) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {"plain text", "\"plain text\""},
      {"", "\"\""},
      {"q\"b\\", "\"q\\\"b\\\\\""},
      {"a\nb\rc\td", "\"a\\nb\\rc\\td\""},
      {std::string_view("nul\0end", 7), "\"nul\\0end\""},
      {"\x1b[31mred\x7f", "\"\\u{1b}[31mred\\u{7f}\""},
      {"\x01", "\"\\u{1}\""},
      {"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91", "\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x91\""},
      {"c1\xc2\x85", "\"c1\\u{85}\""},
      {"ls\xe2\x80\xa8ps\xe2\x80\xa9", "\"ls\\u{2028}ps\\u{2029}\""},
      // Invalid UTF-8: a stray continuation, a truncated sequence, an overlong form,
      // an encoded surrogate.
      {"\x80x", "\"\\x80x\""},
      {"\xe2\x82", "\"\\xE2\\x82\""},
      {"\xc0\xaf", "\"\\xC0\\xAF\""},
      {"\xed\xa0\x80", "\"\\xED\\xA0\\x80\""},
  };
  for (const auto& [input, written] : cases) {
    EXPECT_EQ(Field::text("f", input).value, written) << input;
    EXPECT_EQ(Field::display("f", input).value, input);
  }
}

}  // namespace
}  // namespace vintra::logging
