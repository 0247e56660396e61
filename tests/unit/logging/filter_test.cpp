#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "src/logging/log.hpp"

namespace vintra::logging {
namespace {

constexpr std::string_view kOther = "some_crate::module";

struct Expect {
  Level level;
  std::string_view target;
  bool passes;
};

struct FilterCase {
  std::string_view directives;
  std::vector<Expect> expect;
};

TEST(FilterTest, MatchesByLevelAndLongestTargetPrefix) {
  const std::vector<FilterCase> cases = {
      {"debug",
       {{Level::kDebug, kTargetPolicy, true},
        {Level::kError, kOther, true},
        {Level::kTrace, kTargetMain, false}}},
      {"info",
       {{Level::kInfo, kTargetMain, true},
        {Level::kWarn, kTargetHosts, true},
        {Level::kDebug, kTargetPolicy, false}}},
      {"vintra_dlp::network=debug,warn",
       {{Level::kWarn, kTargetMain, true},
        {Level::kError, kOther, true},
        {Level::kInfo, kTargetMain, false},
        {Level::kDebug, kTargetPolicy, false},
        {Level::kInfo, kTargetHosts, true},
        {Level::kDebug, kTargetDoh, true},
        {Level::kTrace, kTargetHosts, false}}},
      // The longer prefix decides even when it is stricter than the global level.
      {"trace,vintra_dlp::policy=error",
       {{Level::kTrace, kTargetMain, true},
        {Level::kWarn, kTargetPolicy, false},
        {Level::kError, kTargetPolicy, true}}},
      // A bare target enables every level for it and nothing else.
      {"vintra_dlp::network",
       {{Level::kTrace, kTargetHosts, true},
        {Level::kError, kTargetMain, false},
        {Level::kError, kOther, false}}},
      // A plain string prefix, not a path-segment one.
      {"vintra_dlp::net=trace",
       {{Level::kTrace, kTargetHosts, true}, {Level::kError, kTargetMain, false}}},
      // Nothing of this system begins with "quiet".
      {"quiet",
       {{Level::kError, kTargetMain, false},
        {Level::kError, kTargetHosts, false},
        {Level::kTrace, "quiet::thing", true}}},
      {"", {{Level::kError, kTargetMain, false}, {Level::kError, kOther, false}}},
      {" , ,", {{Level::kError, kTargetMain, false}}},
      {"off", {{Level::kError, kTargetMain, false}}},
      {"info,vintra_dlp=off",
       {{Level::kError, kTargetHosts, false}, {Level::kInfo, kOther, true}}},
      // Letter case, numbers, white space, empty pieces; the later of two equal targets wins.
      {"WARN", {{Level::kWarn, kTargetMain, true}, {Level::kInfo, kTargetMain, false}}},
      {"4", {{Level::kDebug, kTargetMain, true}, {Level::kTrace, kTargetMain, false}}},
      {"0", {{Level::kError, kTargetMain, false}}},
      {" info ,, vintra_dlp::policy = Trace ,",
       {{Level::kTrace, kTargetPolicy, true}, {Level::kDebug, kTargetMain, false}}},
      {"error,info", {{Level::kInfo, kTargetMain, true}}},
      {"vintra_dlp=trace,vintra_dlp=error",
       {{Level::kWarn, kTargetMain, false}, {Level::kError, kTargetMain, true}}},
  };
  for (const auto& c : cases) {
    auto filter = Filter::parse(c.directives);
    ASSERT_TRUE(filter.has_value()) << "directives: '" << c.directives << "'";
    for (const auto& e : c.expect) {
      EXPECT_EQ(filter->allows(e.level, e.target), e.passes)
          << "directives: '" << c.directives << "' level " << static_cast<int>(e.level) << " target " << e.target;
    }
  }
}

TEST(FilterTest, RejectsWhatIsNotADirectiveAndFallsBackToInfo) {
  for (std::string_view directives :
       {"vintra_dlp=loud", "a=b=c", "vintra_dlp=debug=trace", "vintra_dlp=", "=debug", "x=6",
        "info,vintra_dlp=verbose", "foo bar", "vintra_dlp[span]=debug", "vintra_dlp{x}"}) {
    EXPECT_FALSE(Filter::parse(directives).has_value()) << directives;
    const Filter fallback = Filter::parse_or_info(directives);
    EXPECT_TRUE(fallback.allows(Level::kInfo, kTargetHosts)) << directives;
    EXPECT_FALSE(fallback.allows(Level::kDebug, kTargetMain)) << directives;
  }
  // A valid but empty filter is not replaced by "info".
  EXPECT_FALSE(Filter::parse_or_info("").allows(Level::kError, kTargetMain));
}

}  // namespace
}  // namespace vintra::logging
