#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "common/platform/files.hpp"
#include "src/logging/clock.hpp"
#include "src/logging/daily_file.hpp"
#include "src/logging/log.hpp"
#include "tests/support/files.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/scratch_dir.hpp"

namespace vintra::logging {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono;
using vintra::testing::lines_of;
using vintra::testing::LogCapture;
using vintra::testing::read_file;
using vintra::testing::ScratchDir;
using vintra::testing::write_file;

LogClock::time_point at(int y, unsigned mo, unsigned d, int h, int mi, int s, int us = 0) {
  return LogClock::time_point(sys_days{year{y} / mo / d}) + hours{h} + minutes{mi} + seconds{s} +
         microseconds{us};
}

// The fake clock every test here runs on.
std::atomic<LogClock::rep> g_fake_now{0};
LogClock::time_point fake_now() { return LogClock::time_point(LogClock::duration(g_fake_now.load())); }
void set_now(LogClock::time_point t) { g_fake_now.store(t.time_since_epoch().count()); }

class LogFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    set_now(at(2025, 3, 4, 9, 15, 2, 481337));
    set_clock_for_testing(fake_now);
  }
  void TearDown() override {
    uninstall();
    set_clock_for_testing(nullptr);
  }

  ScratchDir scratch_;
  const fs::path root_{scratch_.path()};
};

TEST_F(LogFileTest, CreatesDirectoryWithParentsAndAppends) {
  const fs::path dir = root_ / "a" / "b" / "logs";
  const fs::path file = dir / "vintra-dlp.log.2025-03-04";
  {
    auto sink = DailyFileSink::open(dir.string());
    ASSERT_TRUE(sink.has_value()) << sink.error().render();
    EXPECT_TRUE(fs::is_regular_file(file));
    EXPECT_EQ(read_file(file), "");
    (*sink)->write_line("first\n");
  }
  // A second start appends to the day's file instead of truncating it.
  auto again = DailyFileSink::open(dir.string() + "/");
  ASSERT_TRUE(again.has_value()) << again.error().render();
  (*again)->write_line("second\n");
  EXPECT_EQ(read_file(file), "first\nsecond\n");
  EXPECT_EQ(DailyFileSink::file_name_for(at(2030, 1, 9, 23, 59, 59)), "vintra-dlp.log.2030-01-09");
}

TEST_F(LogFileTest, SetUpFailuresCarryTheirCause) {
  const fs::path plain = root_ / "plain";
  write_file(plain, "x");
  for (const fs::path& dir : {plain, plain / "sub"}) {
    Status st = init_daemon_logging("info", dir.string());
    ASSERT_FALSE(st.has_value()) << dir;
    EXPECT_EQ(st.error().render(),
              "initializing rolling file appender failed\n\nCaused by:\n    failed to create log "
              "directory: " + os_error_text(EEXIST))
        << dir;
  }
  EXPECT_FALSE(enabled(Level::kError, kTargetMain));

  // A symbolic link at the file's name is never followed.
  const fs::path dir = root_ / "logs";
  const fs::path victim = root_ / "victim";
  fs::create_directories(dir);
  write_file(victim, "keep");
  fs::create_symlink(victim, dir / "vintra-dlp.log.2025-03-04");
  Status st = init_daemon_logging("info", dir.string());
  ASSERT_FALSE(st.has_value());
  EXPECT_EQ(st.error().render(),
            "initializing rolling file appender failed\n\nCaused by:\n    failed to create log file: " +
                os_error_text(ELOOP));
  EXPECT_EQ(read_file(victim), "keep");
}

TEST_F(LogFileTest, DaemonSetUpWritesThroughTheFilterAndOnlyOnce) {
  const fs::path dir = root_ / "missing" / "logs";
  const fs::path file = dir / "vintra-dlp.log.2025-03-04";

  // An empty filter lets nothing through, but the day's file exists.
  ASSERT_TRUE(init_daemon_logging("", dir.string()).has_value());
  EXPECT_TRUE(fs::is_regular_file(file));
  VINTRA_LOG(Level::kError, kTargetMain, "never written");
  Status second = init_daemon_logging("info", dir.string());
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().render(), "Unable to install global subscriber");
  EXPECT_EQ(read_file(file), "");

  // An unparsable filter means "info".
  uninstall();
  ASSERT_TRUE(init_daemon_logging("vintra_dlp=loud", dir.string()).has_value());
  VINTRA_LOG(Level::kDebug, kTargetPolicy, "dropped");
  VINTRA_LOG(Level::kInfo, kTargetMain, "DLP reload task started", {Field::display("initial", "none")});
  emit(Level::kWarn, kTargetHosts, "hosts: x", {Field::text("path", "/etc/hosts")});
  EXPECT_EQ(read_file(file),
            "2025-03-04T09:15:02.481337Z  INFO vintra_dlp: DLP reload task started initial=none\n"
            "2025-03-04T09:15:02.481337Z  WARN vintra_dlp::network::hosts: hosts: x path=\"/etc/hosts\"\n");
}

TEST_F(LogFileTest, RejectedEventsAreNeverFormatted) {
  LogCapture log("info");
  int formatted = 0;
  auto message = [&formatted] {
    ++formatted;
    return std::string("costly");
  };
  VINTRA_LOG(Level::kDebug, kTargetMain, message(), {Field::uint("n", static_cast<unsigned>(++formatted))});
  EXPECT_EQ(formatted, 0);
  VINTRA_LOG(Level::kInfo, kTargetMain, message());
  EXPECT_EQ(formatted, 1);
  EXPECT_THAT(log.raw_lines(),
              ::testing::ElementsAre("2025-03-04T09:15:02.481337Z  INFO vintra_dlp: costly\n"));

  uninstall();
  VINTRA_LOG(Level::kError, kTargetMain, message());
  EXPECT_EQ(formatted, 1);
  EXPECT_EQ(log.line_count(), 1u);
}

TEST_F(LogFileTest, RotatesAtUtcMidnightAndKeepsOldFiles) {
  set_now(at(2025, 3, 4, 23, 59, 59, 999999));
  ASSERT_TRUE(init_daemon_logging("info", root_.string()).has_value());
  struct Step {
    LogClock::time_point now;
    std::string_view message;
  };
  const Step steps[] = {
      {at(2025, 3, 4, 23, 59, 59, 999999), "before midnight"},
      {at(2025, 3, 5, 0, 0, 0, 0), "at midnight"},
      {at(2025, 3, 5, 23, 0, 0, 0), "same day"},
      // A jump over several days (a suspended machine) lands in the current day's file,
      // and the next rotation is that day's end.
      {at(2025, 3, 8, 12, 0, 0, 0), "days later"},
      {at(2025, 3, 8, 23, 59, 59, 0), "still that day"},
      {at(2025, 3, 9, 0, 0, 1, 0), "next day"},
  };
  for (const auto& s : steps) {
    set_now(s.now);
    VINTRA_LOG(Level::kInfo, kTargetMain, s.message);
  }
  const std::map<std::string, std::string> expected = {
      {"vintra-dlp.log.2025-03-04", "2025-03-04T23:59:59.999999Z  INFO vintra_dlp: before midnight\n"},
      {"vintra-dlp.log.2025-03-05",
       "2025-03-05T00:00:00.000000Z  INFO vintra_dlp: at midnight\n"
       "2025-03-05T23:00:00.000000Z  INFO vintra_dlp: same day\n"},
      {"vintra-dlp.log.2025-03-08",
       "2025-03-08T12:00:00.000000Z  INFO vintra_dlp: days later\n"
       "2025-03-08T23:59:59.000000Z  INFO vintra_dlp: still that day\n"},
      {"vintra-dlp.log.2025-03-09", "2025-03-09T00:00:01.000000Z  INFO vintra_dlp: next day\n"},
  };
  std::map<std::string, std::string> found;
  for (const auto& entry : fs::directory_iterator(root_))
    found[entry.path().filename().string()] = read_file(entry.path());
  EXPECT_EQ(found, expected);
}

TEST_F(LogFileTest, FailedRotationKeepsWritingTheOldFile) {
  set_now(at(2025, 3, 4, 23, 0, 0));
  auto sink = DailyFileSink::open(root_.string());
  ASSERT_TRUE(sink.has_value());
  const fs::path victim = root_ / "victim";
  write_file(victim, "");
  fs::create_symlink(victim, root_ / "vintra-dlp.log.2025-03-05");

  set_now(at(2025, 3, 5, 0, 0, 0));
  ::testing::internal::CaptureStderr();
  (*sink)->write_line("after midnight\n");
  (*sink)->write_line("once only\n");
  const std::string err = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(err, "Couldn't create writer for logs: failed to create log file: " + os_error_text(ELOOP) + "\n");
  EXPECT_EQ(read_file(root_ / "vintra-dlp.log.2025-03-04"), "after midnight\nonce only\n");
  EXPECT_EQ(read_file(victim), "");

  // The next midnight tries again.
  set_now(at(2025, 3, 6, 0, 0, 0));
  (*sink)->write_line("recovered\n");
  EXPECT_EQ(read_file(root_ / "vintra-dlp.log.2025-03-06"), "recovered\n");
}

TEST_F(LogFileTest, ConcurrentLinesNeverInterleaveAcrossARotation) {
  constexpr int kThreads = 8;
  constexpr int kEvents = 2000;
  set_now(at(2025, 3, 4, 23, 59, 59));
  ASSERT_TRUE(init_daemon_logging("info", root_.string()).has_value());
  const std::string padding(120, 'p');

  auto run_phase = [&](int phase) {
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kEvents / 2; ++i)
          VINTRA_LOG(Level::kInfo, kTargetMain, padding,
                     {Field::uint("phase", static_cast<unsigned>(phase)), Field::uint("thread", static_cast<unsigned>(t)),
                      Field::uint("seq", static_cast<unsigned>(i))});
      });
    }
    for (auto& th : threads) th.join();
  };
  run_phase(0);
  set_now(at(2025, 3, 5, 0, 0, 0));  // every writer of phase 1 races to rotate
  run_phase(1);

  const std::string before = read_file(root_ / "vintra-dlp.log.2025-03-04");
  const std::string after = read_file(root_ / "vintra-dlp.log.2025-03-05");
  EXPECT_FALSE(after.empty());
  std::map<std::string, int> seen;
  for (const std::string* text : {&before, &after}) {
    ASSERT_EQ(text->back(), '\n');
    for (const auto& line : lines_of(*text)) {
      // "<27-byte timestamp>  INFO vintra_dlp: <padding> phase=P thread=T seq=N"
      ASSERT_GT(line.size(), 28u) << line;
      const std::string head = " INFO vintra_dlp: " + padding + " phase=";
      ASSERT_EQ(line.substr(27, 1 + head.size()), " " + head) << line;
      const std::string tail = line.substr(28 + head.size());
      ASSERT_EQ(tail.find('\n'), std::string::npos);
      ++seen[tail];
    }
  }
  ASSERT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kEvents));
  for (int p = 0; p < 2; ++p)
    for (int t = 0; t < kThreads; ++t)
      for (int i = 0; i < kEvents / 2; ++i) {
        const std::string key =
            std::to_string(p) + " thread=" + std::to_string(t) + " seq=" + std::to_string(i);
        ASSERT_EQ(seen[key], 1) << key;
      }
}

}  // namespace
}  // namespace vintra::logging
