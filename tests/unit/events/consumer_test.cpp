#include "src/events/consumer.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "src/events/event_line.hpp"
#include "src/events/journal.hpp"
#include "tests/support/files.hpp"
#include "tests/support/log_capture.hpp"
#include "tests/support/scratch_dir.hpp"
#include "tests/unit/events/test_support.hpp"

namespace vintra::events {
namespace {

using testing::sample_event;
using vintra::testing::LogCapture;
using vintra::testing::read_file;
using vintra::testing::ScratchDir;

std::string line_of(const DlpEvent& e) { return *serialize_event_line(e) + "\n"; }

// Runs the consumer over `events` until the queue ends.
void consume(const std::string& path, std::vector<DlpEvent> events) {
  auto [tx, rx] = runtime::make_bounded_queue<DlpEvent>(1024);
  for (DlpEvent& e : events) ASSERT_TRUE(tx.send(std::move(e)));
  tx.release();
  run_event_consumer(path, std::move(rx), {});
}

class Consumer : public ::testing::Test {
 protected:
  ScratchDir dir;
  std::string data = dir / "data";
  std::string path = data + "/dlp_events.jsonl";
  LogCapture log;
};

TEST_F(Consumer, LogsEachEventThenAppendsItInQueueOrder) {
  DlpEvent first = sample_event();
  first.findings = {{"CREDIT_CARD", 5, Severity::kCritical},
                    {"EMAIL", 1, Severity::kMedium},
                    {"IBAN", 2, Severity::kHigh}};
  first.severity = Severity::kCritical;
  DlpEvent second = sample_event();
  second.id = "2";
  second.channel = Channel::kCloudSync;
  second.file_path = "/Users/me/Dropbox/a b.txt";

  // Each log line is written before its journal line: count journal lines as it goes.
  std::vector<std::size_t> journal_lines_at_log;
  log.on_line([&](const std::string&) {
    const std::string text = read_file(path);
    journal_lines_at_log.push_back(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')));
  });
  consume(path, {first, second});

  EXPECT_EQ(read_file(path), line_of(first) + line_of(second));
  EXPECT_NE(read_file(path).find("\"channel\":\"removable_usb\""), std::string::npos);
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             " INFO vintra_dlp: DLP event: /Volumes/KEY/notes.txt channel=RemovableUsb "
                             "severity=Critical matches=3",
                             " INFO vintra_dlp: DLP event: /Users/me/Dropbox/a b.txt channel=CloudSync "
                             "severity=Medium matches=1",
                         }));
  EXPECT_EQ(journal_lines_at_log, (std::vector<std::size_t>{0, 1}));
}

TEST_F(Consumer, PathThatIsNotUtf8IsLoggedLossilyAndNotPersisted) {
  DlpEvent bad = sample_event();
  bad.file_path = "/Volumes/KEY/caf\xE9.txt";
  DlpEvent good = sample_event();
  consume(path, {bad, good});
  EXPECT_EQ(log.lines(), (std::vector<std::string>{
                             " INFO vintra_dlp: DLP event: /Volumes/KEY/caf\xEF\xBF\xBD.txt "
                             "channel=RemovableUsb severity=Medium matches=1",
                             "ERROR vintra_dlp: persist event: path contains invalid UTF-8 characters",
                             " INFO vintra_dlp: DLP event: /Volumes/KEY/notes.txt channel=RemovableUsb "
                             "severity=Medium matches=1",
                         }));
  EXPECT_EQ(read_file(path), line_of(good));
}

TEST_F(Consumer, RecreatesAMissingDirectoryAndFile) {
  DlpEvent a = sample_event(), b = sample_event(), c = sample_event();
  a.id = "a";
  b.id = "b";
  c.id = "c";
  consume(path, {a});
  EXPECT_EQ(read_file(path), line_of(a));
  std::filesystem::remove_all(data);
  consume(path, {b});
  EXPECT_EQ(read_file(path), line_of(b));
  std::filesystem::remove(path);
  consume(path, {c});
  EXPECT_EQ(read_file(path), line_of(c));
}

TEST_F(Consumer, QueueThatEndsAtOnceCreatesNothing) {
  consume(path, {});
  EXPECT_FALSE(std::filesystem::exists(data));
  EXPECT_TRUE(log.lines().empty());
}

TEST_F(Consumer, StopsWhileWaitingOnAnOpenQueue) {
  auto [tx, rx] = runtime::make_bounded_queue<DlpEvent>(4);
  std::jthread task([&, rx = std::move(rx)](std::stop_token st) mutable {
    run_event_consumer(path, std::move(rx), st);
  });
  ASSERT_TRUE(tx.send(sample_event()));
  for (int i = 0; i < 500 && !std::filesystem::exists(path); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  task.request_stop();
  task.join();  // the sender is still alive: only the stop ends the task
  EXPECT_EQ(read_file(path), line_of(sample_event()));
}

}  // namespace
}  // namespace vintra::events
