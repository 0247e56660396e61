#include <gtest/gtest.h>

#include <sstream>
#include <vector>

#include "common/service/service.hpp"

namespace vintra::service {
namespace {

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  std::istringstream in(text);
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

TEST(Plist, TwentySevenLinesWithTheJobsValues) {
  const std::string text = render_plist(default_service_spec(), "/usr/local/bin/vintra-dlp");
  ASSERT_EQ(text.back(), '\n');
  auto lines = lines_of(text);
  ASSERT_EQ(lines.size(), 27u);
  EXPECT_EQ(lines[0], R"(<?xml version="1.0" encoding="UTF-8"?>)");
  EXPECT_EQ(lines[5], "  <string>com.korvane.Korvane-VintraDlp</string>");
  EXPECT_EQ(lines[8], "    <string>/usr/local/bin/vintra-dlp</string>");
  EXPECT_EQ(lines[9], "    <string>service</string>");
  EXPECT_EQ(lines[16], "  <string>/var/log/korvane/Korvane-VintraDlp.log</string>");
  EXPECT_EQ(lines[18], "  <string>/var/log/korvane/Korvane-VintraDlp.err</string>");
  EXPECT_EQ(lines[21], "    <key>VINTRA_DLP_BACKTRACE</key>");
  EXPECT_EQ(lines[22], "    <string>1</string>");
  EXPECT_EQ(lines[24], "  <!-- Korvane EDR DLP enforcement (USB + cloud folders, content-aware) -->");
  EXPECT_EQ(lines[26], "</plist>");
}

TEST(Plist, EscapesXmlSpecialCharactersInInsertedValues) {
  ServiceSpec job{"A&B", "x < y"};
  auto lines = lines_of(render_plist(job, "/opt/R&D <tools>/\"q\"/'s'/vintra-dlp"));
  ASSERT_EQ(lines.size(), 27u);
  EXPECT_EQ(lines[5], "  <string>com.korvane.A&amp;B</string>");
  EXPECT_EQ(lines[8], "    <string>/opt/R&amp;D &lt;tools&gt;/&quot;q&quot;/&apos;s&apos;/vintra-dlp</string>");
  EXPECT_EQ(lines[16], "  <string>/var/log/korvane/A&amp;B.log</string>");
  EXPECT_EQ(lines[24], "  <!-- x &lt; y -->");
}

TEST(Plist, DerivedNames) {
  auto job = default_service_spec();
  EXPECT_EQ(plist_path(job), "/Library/LaunchDaemons/com.korvane.Korvane-VintraDlp.plist");
  EXPECT_EQ(launchd_target(job), "system/com.korvane.Korvane-VintraDlp");
}

}  // namespace
}  // namespace vintra::service
