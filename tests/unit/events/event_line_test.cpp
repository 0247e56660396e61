#include "src/events/event_line.hpp"

#include <gtest/gtest.h>

#include <string>

#include "tests/unit/events/test_support.hpp"

namespace vintra::events {
namespace {

using testing::kJune3;
using testing::sample_event;
using testing::utc;

constexpr std::string_view kExampleLine =
    R"({"id":"1717430400123456000","timestamp":"2024-06-03T16:00:00.123457Z","channel":"removable_usb","direction":"outbound","file_path":"/Volumes/KEY/notes.txt","file_size":512,"drive_label":"KEY","process":null,"decision":"pending","decided_by":null,"decided_at":null,"findings":[{"entity":"EMAIL","match_count":2,"severity":"medium"}],"severity":"medium"})";

std::string serialize(const DlpEvent& e) {
  auto line = serialize_event_line(e);
  EXPECT_TRUE(line.has_value()) << line.error().render();
  return line ? *line : std::string();
}

// Replaces the first occurrence of `from` in the example line.
std::string example_with(std::string_view from, std::string_view to) {
  std::string line(kExampleLine);
  auto pos = line.find(from);
  EXPECT_NE(pos, std::string::npos) << from;
  if (pos != std::string::npos) line.replace(pos, from.size(), to);
  return line;
}

TEST(EventLine, ExampleIsWrittenByteForByteAndReadBack) {
  const DlpEvent event = sample_event();
  EXPECT_EQ(serialize(event), kExampleLine);
  auto parsed = parse_event_line(kExampleLine);
  ASSERT_TRUE(parsed);
  EXPECT_EQ(*parsed, event);
  EXPECT_EQ(serialize(*parsed), kExampleLine);
}

TEST(EventLine, EveryFieldRoundTrips) {
  DlpEvent e = sample_event();
  e.channel = Channel::kDnsLatencyProbe;
  e.direction = Direction::kInbound;
  e.file_size = UINT64_MAX;
  e.process = "Finder";
  e.decision = Decision::kDenied;
  e.decided_by = "admin@example.org";
  e.decided_at = utc(kJune3 + 60, 5);
  e.findings = {{"CREDIT_CARD", 5, Severity::kCritical}, {"PRIVATE_KEY_BLOCK", 1, Severity::kHigh},
                {"IBAN", 0, Severity::kLow}};
  e.severity = Severity::kCritical;
  const std::string line = serialize(e);
  auto parsed = parse_event_line(line);
  ASSERT_TRUE(parsed) << line;
  EXPECT_EQ(*parsed, e);
  EXPECT_EQ(serialize(*parsed), line);
  EXPECT_NE(line.find(R"("file_size":18446744073709551615,)"), std::string::npos);
  EXPECT_NE(line.find(R"("decided_at":"2024-06-03T16:01:00.000000005Z","findings")"),
            std::string::npos);
}

TEST(EventLine, AbsentOptionalsAreNullAndNoFindingsAnEmptyArray) {
  DlpEvent e = sample_event();
  e.drive_label.reset();
  e.findings.clear();
  e.severity = Severity::kLow;
  e.timestamp = utc(kJune3);
  EXPECT_EQ(serialize(e),
            R"({"id":"1717430400123456000","timestamp":"2024-06-03T16:00:00Z","channel":"removable_usb","direction":"outbound","file_path":"/Volumes/KEY/notes.txt","file_size":512,"drive_label":null,"process":null,"decision":"pending","decided_by":null,"decided_at":null,"findings":[],"severity":"low"})");
}

TEST(EventLine, FractionHasZeroThreeSixOrNineDigits) {
  struct Case {
    std::int64_t seconds, nanos;
    std::string_view text;
  };
  const Case cases[] = {
      {kJune3, 0, "2024-06-03T16:00:00Z"},
      {kJune3, 120'000'000, "2024-06-03T16:00:00.120Z"},
      {kJune3, 123'456'000, "2024-06-03T16:00:00.123456Z"},
      {kJune3, 123'456'789, "2024-06-03T16:00:00.123456789Z"},
      {kJune3, 1'000, "2024-06-03T16:00:00.000001Z"},
      {kJune3, 1, "2024-06-03T16:00:00.000000001Z"},
      {0, 0, "1970-01-01T00:00:00Z"},
      {-1, 999'999'999, "1969-12-31T23:59:59.999999999Z"},
      {951782400, 0, "2000-02-29T00:00:00Z"},
  };
  for (const Case& c : cases) {
    const UtcTime t = utc(c.seconds, c.nanos);
    EXPECT_EQ(format_utc_time(t), c.text);
    EXPECT_EQ(parse_rfc3339(c.text), t) << c.text;
  }
}

TEST(EventLine, StringsAreEscapedMinimally) {
  struct Case {
    std::string_view raw, written;
  };
  const Case cases[] = {
      {"a\"b\\c\td\x01", R"("a\"b\\c\td\u0001")"},
      {"caf\xC3\xA9", "\"caf\xC3\xA9\""},
      {"\b\f\n\r\x1f", R"("\b\f\n\r\u001f")"},
      {"/x\x7F", "\"/x\x7F\""},
      {std::string_view("\0", 1), R"("\u0000")"},
      {"\xF0\x9F\x94\x91", "\"\xF0\x9F\x94\x91\""},
  };
  for (const Case& c : cases) {
    DlpEvent e = sample_event();
    e.file_path = std::string(c.raw);
    const std::string line = serialize(e);
    const std::string expected = std::string(",\"file_path\":") + std::string(c.written) + ",";
    EXPECT_NE(line.find(expected), std::string::npos) << line;
    auto parsed = parse_event_line(line);
    ASSERT_TRUE(parsed) << line;
    EXPECT_EQ(parsed->file_path, c.raw);
  }
}

TEST(EventLine, PathThatIsNotUtf8CannotBeWritten) {
  for (std::string_view bad : {"\xFF", "a\xC3", "\xED\xA0\x80" /* surrogate */,
                               "\xC0\xAF" /* overlong */, "\xF4\x90\x80\x80" /* > U+10FFFF */}) {
    DlpEvent e = sample_event();
    e.file_path = std::string(bad);
    auto line = serialize_event_line(e);
    ASSERT_FALSE(line.has_value());
    EXPECT_EQ(line.error().render(), "path contains invalid UTF-8 characters");
  }
}

TEST(EventLine, OtherTextThatIsNotUtf8IsWrittenWithReplacementCharacters) {
  DlpEvent e = sample_event();
  e.drive_label = "K\xFF" "EY";
  e.process = "a\xE2\x82";
  e.findings[0].entity = "E\x80";
  const std::string line = serialize(e);
  EXPECT_NE(line.find("\"drive_label\":\"K\xEF\xBF\xBD" "EY\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"process\":\"a\xEF\xBF\xBD\""), std::string::npos) << line;
  EXPECT_NE(line.find("\"entity\":\"E\xEF\xBF\xBD\""), std::string::npos) << line;
  EXPECT_TRUE(parse_event_line(line));
}

TEST(EventLine, RejectsLinesThatAreNotExactlyAnEvent) {
  const std::string rejected[] = {
      // structure
      example_with("{\"id\"", "{\"id\":\"x\",\"id\""),
      example_with("\"decided_at\":null", "\"decided_at\":null,\"decided_at\":null"),
      example_with("{\"id\"", "{\"extra\":1,\"extra\":2,\"id\""),
      example_with("\"match_count\":2", "\"match_count\":2,\"match_count\":2"),
      example_with("\"match_count\":2", "\"x\":[],\"match_count\":2,\"x\":{}"),
      example_with(",\"findings\":[{\"entity\":\"EMAIL\",\"match_count\":2,\"severity\":\"medium\"}]", ""),
      example_with("\"id\":\"1717430400123456000\",", ""),
      example_with(",\"severity\":\"medium\"}", "}"),
      std::string(kExampleLine) + " x",
      std::string(kExampleLine) + "{}",
      std::string(kExampleLine).substr(0, kExampleLine.size() - 1),
      "[" + std::string(kExampleLine) + "]",
      "",
      "null",
      example_with("{\"id\"", "{\"extra\":[1,tru],\"id\""),
      // enums
      example_with("\"pending\"", "\"Pending\""),
      example_with("\"removable_usb\"", "\"usb\""),
      example_with("\"pending\"", "0"),
      example_with("\"outbound\"", "\"OUTBOUND\""),
      example_with("\"severity\":\"medium\"}]", "\"severity\":\"Medium\"}]"),
      example_with("\"severity\":\"medium\"}]", "\"severity\":\"severe\"}]"),
      // types
      example_with("\"file_size\":512", "\"file_size\":-1"),
      example_with("\"file_size\":512", "\"file_size\":512.0"),
      example_with("\"file_size\":512", "\"file_size\":5e2"),
      example_with("\"file_size\":512", "\"file_size\":18446744073709551616"),
      example_with("\"file_size\":512", "\"file_size\":\"512\""),
      example_with("\"file_size\":512", "\"file_size\":null"),
      example_with("\"match_count\":2", "\"match_count\":-2"),
      example_with("\"id\":\"1717430400123456000\"", "\"id\":1717430400123456000"),
      example_with("\"id\":\"1717430400123456000\"", "\"id\":null"),
      example_with("\"drive_label\":\"KEY\"", "\"drive_label\":7"),
      example_with("\"process\":null", "\"process\":false"),
      example_with("[{\"entity\"", "[1,{\"entity\""),
      example_with("[{\"entity\":\"EMAIL\",\"match_count\":2,\"severity\":\"medium\"}]", "{}"),
      example_with("\"entity\":\"EMAIL\",", ""),
      // times
      example_with("2024-06-03T16:00:00.123457Z", "2024-06-03 16:00:00.123457Z"),
      example_with("2024-06-03T16:00:00.123457Z", "2024-06-03T16:00:00.123457"),
      example_with("2024-06-03T16:00:00.123457Z", "2024-06-03T16:00:00.Z"),
      example_with("2024-06-03T16:00:00.123457Z", "2024-02-30T16:00:00Z"),
      example_with("2024-06-03T16:00:00.123457Z", "2023-02-29T16:00:00Z"),
      example_with("2024-06-03T16:00:00.123457Z", "2024-06-03T24:00:00Z"),
      example_with("2024-06-03T16:00:00.123457Z", "2024-06-03T16:00:00+24:00"),
      example_with("2024-06-03T16:00:00.123457Z", "2024-06-03T16:00:00+0200"),
      example_with("2024-06-03T16:00:00.123457Z", "2024-6-03T16:00:00Z"),
      example_with("2024-06-03T16:00:00.123457Z", "2024-06-03T16:00:00ZZ"),
      example_with("2024-06-03T16:00:00.123457Z", "3000-01-01T00:00:00Z"),
      example_with("\"decided_at\":null", "\"decided_at\":\"yesterday\""),
      example_with("\"decided_at\":null", "\"decided_at\":0"),
  };
  for (const std::string& line : rejected) {
    EXPECT_FALSE(parse_event_line(line)) << line;
  }
}

TEST(EventLine, AcceptsAnyLayoutOfAnEvent) {
  const DlpEvent example = sample_event();
  struct Case {
    std::string line;
    UtcTime timestamp;
  };
  const UtcTime t = example.timestamp;
  const Case accepted[] = {
      {" \t" + std::string(kExampleLine) + " \r\n", t},
      {example_with("{\"id\"", "{\"unknown\":{\"a\":[1,2.5,null,true]},\"other\":\"x\",\"id\""), t},
      {example_with("\"match_count\":2", "\"note\":[],\"match_count\":2"), t},
      {example_with("\"process\":null,", ""), t},
      {example_with(",\"decided_at\":null", ""), t},
      {example_with("{\"id\":\"1717430400123456000\",", "{") + "", t},
      {example_with("2024-06-03T16:00:00.123457Z", "2024-06-03t16:00:00.123457z"), t},
      {example_with("2024-06-03T16:00:00.123457Z", "2024-06-03T18:00:00.123457+02:00"), t},
      {example_with("2024-06-03T16:00:00.123457Z", "2024-06-03T15:30:00.123457-00:30"), t},
      {example_with("2024-06-03T16:00:00.123457Z", "2024-06-03T16:00:00.123457-00:00"), t},
      {example_with("2024-06-03T16:00:00.123457Z", "2024-06-03T16:00:00.123457000999Z"), t},
      {example_with("2024-06-03T16:00:00.123457Z", "2024-06-03T15:59:60.123457Z"), t},
      {example_with("\"id\":\"1717430400123456000\"", "\"id\":\"1717430400\\u0031\\u0032\\u0033456000\""), t},
      {example_with("/Volumes/KEY/notes.txt", "\\/Volumes\\/KEY\\/notes.txt"), t},
  };
  for (const Case& c : accepted) {
    std::string line = c.line;
    // The id was moved to the end in one case.
    if (line.find("\"id\"") == std::string::npos) {
      line.insert(line.size() - 1, ",\"id\":\"1717430400123456000\"");
    }
    auto parsed = parse_event_line(line);
    ASSERT_TRUE(parsed) << line;
    EXPECT_EQ(parsed->timestamp, c.timestamp) << line;
    EXPECT_EQ(serialize(*parsed), kExampleLine) << line;
  }
}

TEST(EventLine, OffsetIsConvertedToUtcAndWrittenWithZ) {
  auto parsed = parse_event_line(example_with("2024-06-03T16:00:00.123457Z", "2024-06-03T18:00:00+02:00"));
  ASSERT_TRUE(parsed);
  EXPECT_EQ(parsed->timestamp, utc(kJune3));
  EXPECT_NE(serialize(*parsed).find("\"timestamp\":\"2024-06-03T16:00:00Z\""), std::string::npos);
}

TEST(EventLine, LineWithoutOptionalKeysReadsThemAsAbsent) {
  std::string line = example_with("\"drive_label\":\"KEY\",\"process\":null,", "\"drive_label\":null,");
  line.replace(line.find(",\"decided_at\":null"), 18, "");
  auto parsed = parse_event_line(line);
  ASSERT_TRUE(parsed) << line;
  EXPECT_FALSE(parsed->drive_label);
  EXPECT_FALSE(parsed->process);
  EXPECT_FALSE(parsed->decided_at);
}

TEST(EventLine, ReusedParserResetsEveryField) {
  EventLineParser parser;
  DlpEvent e;
  DlpEvent full = sample_event();
  full.process = "p";
  full.decided_by = "b";
  full.decided_at = utc(1);
  full.findings.push_back({"IBAN", 1, Severity::kHigh});
  ASSERT_TRUE(parser.parse(serialize(full), e));
  EXPECT_EQ(e, full);
  DlpEvent sparse = sample_event();
  sparse.drive_label.reset();
  sparse.findings.clear();
  ASSERT_TRUE(parser.parse(serialize(sparse), e));
  EXPECT_EQ(e, sparse);
  std::string without_optionals(kExampleLine);
  for (std::string_view key : {",\"process\":null", ",\"decided_by\":null", ",\"decided_at\":null"}) {
    without_optionals.replace(without_optionals.find(key), key.size(), "");
  }
  ASSERT_TRUE(parser.parse(serialize(full), e));
  ASSERT_TRUE(parser.parse(without_optionals, e));
  EXPECT_EQ(e, sample_event());
}

}  // namespace
}  // namespace vintra::events
