#include "src/events/journal.hpp"

#include <gtest/gtest.h>

#include <thread>

#include "src/events/event_line.hpp"
#include "tests/support/files.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/scratch_dir.hpp"
#include "tests/unit/events/test_support.hpp"

namespace vintra::events {
namespace {

using namespace std::chrono_literals;
using testing::event_at;
using testing::kJune3;
using testing::utc;
using vintra::testing::LogCapture;
using vintra::testing::read_file;
using vintra::testing::ScratchDir;
using vintra::testing::write_file;

const UtcTime kNow = utc(kJune3 + 30 * 86400);

std::string line_of(const DlpEvent& e) { return *serialize_event_line(e) + "\n"; }

std::string journal_of(const std::vector<DlpEvent>& events) {
  std::string text;
  for (const DlpEvent& e : events) text += line_of(e);
  return text;
}

std::vector<std::string> ids(const std::vector<DlpEvent>& events) {
  std::vector<std::string> out;
  for (const DlpEvent& e : events) out.push_back(e.id);
  return out;
}

class Journal : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::string path = dir / "dlp_events.jsonl";
  LogCapture log;
};

TEST_F(Journal, TemporaryPathReplacesTheExtension) {
  const std::pair<std::string, std::string> cases[] = {
      {"/data/dlp_events.jsonl", "/data/dlp_events.jsonl.tmp"},
      {"/data/events.json", "/data/events.jsonl.tmp"},
      {"/data/journal", "/data/journal.jsonl.tmp"},
      {"/data/.journal", "/data/.journal.jsonl.tmp"},
      {"/data/a.b.c", "/data/a.b.jsonl.tmp"},
      {"/da.ta/journal", "/da.ta/journal.jsonl.tmp"},
      {"journal.log", "journal.jsonl.tmp"},
  };
  for (const auto& [path_in, tmp] : cases) EXPECT_EQ(temp_path_for(path_in), tmp) << path_in;
}

TEST_F(Journal, PendingDecisionExpiresStrictlyAfterTheTimeout) {
  const std::vector<DlpEvent> events = {
      event_at("exactly", kNow - 300s),
      event_at("one-ns-more", kNow - 300s - 1ns),
      event_at("future", kNow + 1h),
      event_at("allowed", kNow - 1h, Decision::kAllowed),
  };
  write_file(path, journal_of(events));
  PassReport report = expire_pass(path, 300s, kNow);
  EXPECT_EQ(report.before, 4u);
  EXPECT_EQ(report.after, 4u);
  EXPECT_EQ(report.expired, 1u);
  EXPECT_TRUE(report.rewritten);
  std::vector<DlpEvent> expected = events;
  expected[1].decision = Decision::kExpired;
  expected[1].decided_at = kNow;
  EXPECT_EQ(read_file(path), journal_of(expected));
  EXPECT_TRUE(log.lines().empty());  // expiry alone is not a compaction

  // Nothing left to do: the next pass does not write.
  auto mtime = std::filesystem::last_write_time(path);
  std::this_thread::sleep_for(10ms);
  report = expire_pass(path, 300s, kNow);
  EXPECT_FALSE(report.rewritten);
  EXPECT_EQ(std::filesystem::last_write_time(path), mtime);
}

TEST_F(Journal, NetworkUploadNeverExpiresNorIsPruned) {
  const std::vector<DlpEvent> events = {
      event_at("upload-pending", kNow - 30 * 24h, Decision::kPending, Channel::kNetworkUpload),
      event_at("upload-allowed", kNow - 30 * 24h, Decision::kAllowed, Channel::kNetworkUpload),
  };
  const std::string text = journal_of(events);
  write_file(path, text);
  PassReport report = expire_pass(path, 10s, kNow);
  EXPECT_EQ(report.expired, 0u);
  EXPECT_FALSE(report.rewritten);
  EXPECT_EQ(read_file(path), text);
}

TEST_F(Journal, WeekOldPendingEventIsExpiredAndPrunedInOnePass) {
  write_file(path, journal_of({event_at("old", kNow - 8 * 24h)}));
  PassReport report = expire_pass(path, 300s, kNow);
  EXPECT_EQ(report.before, 1u);
  EXPECT_EQ(report.after, 0u);
  EXPECT_TRUE(report.rewritten);
  EXPECT_EQ(read_file(path), "");
  EXPECT_EQ(log.lines(), std::vector<std::string>{" INFO vintra_dlp: DLP jsonl compacted: 1 -> 0 events"});
}

TEST_F(Journal, DecidedEventIsPrunedOnlyPastTheRetentionWindow) {
  const std::vector<DlpEvent> events = {
      event_at("a", kNow - 604800s, Decision::kAllowed),
      event_at("b", kNow - 604800s - 1ns, Decision::kAllowed),
      event_at("c", kNow - 604800s - 1ns, Decision::kDenied),
      event_at("d", kNow - 604800s - 1ns, Decision::kExpired),
      event_at("e", kNow - 604800s - 1ns, Decision::kPending, Channel::kNetworkUpload),
      event_at("f", kNow - 604800s - 1ns, Decision::kAllowed, Channel::kCloudSync),
      event_at("g", kNow - 1s, Decision::kAllowed),
  };
  write_file(path, journal_of(events));
  expire_pass(path, 300s, kNow);
  EXPECT_EQ(ids(load_events(path)), (std::vector<std::string>{"a", "e", "g"}));
  EXPECT_EQ(log.lines(), std::vector<std::string>{" INFO vintra_dlp: DLP jsonl compacted: 7 -> 3 events"});
}

TEST_F(Journal, MalformedLineStaysUntilARewriteDropsIt) {
  const std::string good = line_of(event_at("keep", kNow - 1s));
  const std::string text = good + "{not json\n" + good;
  write_file(path, text);
  PassReport report = expire_pass(path, 300s, kNow);
  EXPECT_EQ(report.before, 2u);
  EXPECT_FALSE(report.rewritten);
  EXPECT_EQ(read_file(path), text);

  // An expiry rewrites the file; the bad line goes without a compaction message
  // since the number of records did not change.
  const std::string expiring = line_of(event_at("expire", kNow - 1h));
  write_file(path, text + expiring);
  report = expire_pass(path, 300s, kNow);
  EXPECT_TRUE(report.rewritten);
  EXPECT_EQ(report.before, 3u);
  EXPECT_EQ(report.after, 3u);
  DlpEvent expired = event_at("expire", kNow - 1h, Decision::kExpired);
  expired.decided_at = kNow;
  EXPECT_EQ(read_file(path), good + good + line_of(expired));
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(Journal, BlankLinesCrLfAndMissingFinalLineFeedAreRead) {
  DlpEvent a = event_at("a", kNow - 1h);
  DlpEvent b = event_at("b", kNow - 1s);
  std::string la = line_of(a), lb = line_of(b);
  la.pop_back();
  lb.pop_back();
  write_file(path, "\n  \t\n" + la + "\r\n\r\n\n" + lb);
  EXPECT_EQ(ids(load_events(path)), (std::vector<std::string>{"a", "b"}));
  expire_pass(path, 300s, kNow);
  a.decision = Decision::kExpired;
  a.decided_at = kNow;
  EXPECT_EQ(read_file(path), journal_of({a, b}));
}

TEST_F(Journal, JournalThatIsNotUtf8ReadsAsEmptyAndIsLeftAlone) {
  const std::string text = line_of(event_at("old", kNow - 8 * 24h)) + "\xFF\xFE\n";
  write_file(path, text);
  EXPECT_TRUE(load_events(path).empty());
  PassReport report = expire_pass(path, 300s, kNow);
  EXPECT_EQ(report.before, 0u);
  EXPECT_FALSE(report.rewritten);
  EXPECT_EQ(read_file(path), text);
}

TEST_F(Journal, MissingJournalIsAnEmptyListAndIsNotCreated) {
  EXPECT_TRUE(load_events(path).empty());
  PassReport report = expire_pass(path, 300s, kNow);
  EXPECT_FALSE(report.rewritten);
  EXPECT_FALSE(report.error);
  EXPECT_FALSE(std::filesystem::exists(path));
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(Journal, RewriteKeepsOrderAndDropsUnknownKeys) {
  std::vector<DlpEvent> events;
  for (int i = 0; i < 20; ++i) {
    events.push_back(event_at("e" + std::to_string(i), i % 3 == 0 ? kNow - 8 * 24h : kNow - 1h,
                              i % 2 == 0 ? Decision::kAllowed : Decision::kPending));
  }
  std::string text = journal_of(events);
  text.insert(1, "\"extra\":{\"k\":[1]},");  // first line carries an unknown key
  write_file(path, text);
  expire_pass(path, 300s, kNow);
  std::vector<DlpEvent> expected;
  for (DlpEvent e : events) {
    if (e.decision == Decision::kPending) {
      e.decision = Decision::kExpired;
      e.decided_at = kNow;
    }
    if (e.timestamp < kNow - 7 * 24h) continue;
    expected.push_back(e);
  }
  EXPECT_EQ(read_file(path), journal_of(expected));
}

TEST_F(Journal, FailedRewriteLeavesTheJournalAndIsRetried) {
  const std::string text = line_of(event_at("old", kNow - 8 * 24h));
  write_file(path, text);
  // A directory where the temporary file goes makes its creation fail, even for root.
  std::filesystem::create_directory(temp_path_for(path));
  PassReport report = expire_pass(path, 300s, kNow);
  ASSERT_TRUE(report.error);
  EXPECT_FALSE(report.rewritten);
  EXPECT_EQ(read_file(path), text);
  EXPECT_EQ(log.lines(), std::vector<std::string>{" WARN vintra_dlp: expirer: " + report.error->render()});
  EXPECT_EQ(report.error->render().find("expirer"), std::string::npos);
  EXPECT_NE(report.error->render().find("(os error "), std::string::npos);

  std::filesystem::remove(temp_path_for(path));
  log.clear();
  report = expire_pass(path, 300s, kNow);
  EXPECT_TRUE(report.rewritten);
  EXPECT_EQ(read_file(path), "");
  EXPECT_FALSE(std::filesystem::exists(temp_path_for(path)));
}

TEST_F(Journal, TimestampsFarFromNowDoNotOverflowTheAge) {
  const UtcTime earliest{std::chrono::nanoseconds(INT64_MIN + 1)};
  const UtcTime latest{std::chrono::nanoseconds(INT64_MAX)};
  write_file(path, journal_of({event_at("past", earliest), event_at("future", latest)}));
  expire_pass(path, 300s, kNow);
  // The earliest pending event is expired and pruned; the future one never expires.
  auto events = load_events(path);
  ASSERT_EQ(ids(events), std::vector<std::string>{"future"});
  EXPECT_EQ(events[0].decision, Decision::kPending);
}

TEST_F(Journal, ExpirerPassesAtOnceWithItsClockAndStopsOnRequest) {
  write_file(path, journal_of({event_at("a", kNow - 1h)}));
  std::atomic<int> clock_reads{0};
  ExpirerOptions options;
  options.period = 1h;
  options.clock = [&] {
    ++clock_reads;
    return kNow;
  };
  std::jthread task([&](std::stop_token st) { run_expirer(path, 300s, st, options); });
  for (int i = 0; i < 500 && load_events(path).at(0).decision != Decision::kExpired; ++i) {
    std::this_thread::sleep_for(10ms);
  }
  auto events = load_events(path);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].decision, Decision::kExpired);
  EXPECT_EQ(events[0].decided_at, kNow);
  task.request_stop();
  task.join();  // returns although the next tick is an hour away
  EXPECT_EQ(clock_reads.load(), 1);
}

}  // namespace
}  // namespace vintra::events
