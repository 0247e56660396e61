// The journal under concurrent writers, planted links, a data directory that cannot
// be created, and a rewrite killed at random moments.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <random>
#include <set>
#include <thread>

#include "src/events/consumer.hpp"
#include "src/events/event_line.hpp"
#include "src/events/journal.hpp"
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

std::string line_of(const DlpEvent& e) { return *serialize_event_line(e) + "\n"; }

TEST(JournalFaults, ConcurrentAppendsSurviveAFastExpirer) {
  ScratchDir dir;
  const std::string path = dir / "dlp_events.jsonl";
  LogCapture log;  // keeps the consumer's lines out of the test output
  const UtcTime created = utc(kJune3);
  // Every pending event is a day old for the expirer, so nearly every pass rewrites.
  ExpirerOptions options;
  options.period = 1ms;
  options.clock = [&] { return created + 24h; };
  std::jthread expirer([&](std::stop_token st) { run_expirer(path, 10s, st, options); });

  constexpr int kThreads = 4, kPerThread = 500;
  auto [tx, rx] = runtime::make_bounded_queue<DlpEvent>(16);
  std::jthread consumer([&, rx = std::move(rx)](std::stop_token st) mutable {
    run_event_consumer(path, std::move(rx), st);
  });
  std::vector<std::jthread> producers;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    // Half the threads append directly, half go through the consumer.
    producers.emplace_back([&, t, sender = tx]() mutable {
      for (int i = 0; i < kPerThread; ++i) {
        // Spread the appends over many passes.
        if (i % 10 == 0) std::this_thread::sleep_for(200us);
        DlpEvent e = event_at(std::to_string(t) + "-" + std::to_string(i), created);
        if (t % 2 == 0) {
          if (!append_event_line(path, e)) ++failures;
        } else if (!sender.send(std::move(e))) {
          ++failures;
        }
      }
    });
  }
  tx.release();
  producers.clear();  // joins
  consumer.join();    // the queue has ended
  expirer.request_stop();
  expirer.join();
  expire_pass(path, 10s, created + 24h);

  EXPECT_EQ(failures.load(), 0);
  std::multiset<std::string> seen;
  for (const DlpEvent& e : load_events(path)) {
    seen.insert(e.id);
    EXPECT_EQ(e.decision, Decision::kExpired) << e.id;
  }
  EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kPerThread));
  for (int t = 0; t < kThreads; ++t) {
    for (int i = 0; i < kPerThread; ++i) {
      EXPECT_EQ(seen.count(std::to_string(t) + "-" + std::to_string(i)), 1u);
    }
  }
}

TEST(JournalFaults, PlantedLinksAreNeverFollowed) {
  ScratchDir dir;
  const std::string path = dir / "dlp_events.jsonl";
  const std::string victim = dir / "victim";
  const DlpEvent old_event = event_at("old", utc(kJune3));
  const std::string victim_text = line_of(old_event);
  write_file(victim, victim_text);
  LogCapture log;

  // At the journal path: appends fail, the expirer sees nothing, the target stays.
  std::filesystem::create_symlink(victim, path);
  auto st = append_event_line(path, old_event);
  ASSERT_FALSE(st);
  EXPECT_NE(st.error().render().find("(os error "), std::string::npos);
  EXPECT_TRUE(load_events(path).empty());
  EXPECT_FALSE(expire_pass(path, 10s, utc(kJune3) + 1h).rewritten);
  EXPECT_EQ(read_file(victim), victim_text);
  EXPECT_TRUE(std::filesystem::is_symlink(path));

  // At the temporary path: the rewrite replaces the link instead of writing through it.
  std::filesystem::remove(path);
  write_file(path, victim_text);
  std::filesystem::create_symlink(victim, temp_path_for(path));
  EXPECT_TRUE(expire_pass(path, 10s, utc(kJune3) + 1h).rewritten);
  EXPECT_EQ(read_file(victim), victim_text);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(temp_path_for(path))));
  ASSERT_EQ(load_events(path).size(), 1u);
  EXPECT_EQ(load_events(path)[0].decision, Decision::kExpired);
}

TEST(JournalFaults, FifoAtTheJournalPathDoesNotHangTheExpirer) {
  ScratchDir dir;
  const std::string path = dir / "dlp_events.jsonl";
  ASSERT_EQ(::mkfifo(path.c_str(), 0600), 0);
  // Opening a FIFO for reading would wait for a writer forever, with the journal's
  // lock held; it reads as an empty journal instead.
  EXPECT_TRUE(load_events(path).empty());
  EXPECT_FALSE(expire_pass(path, 10s, utc(kJune3)).rewritten);
}

TEST(JournalFaults, UnusableDataDirectoryLosesEachEventLoudlyAndRecovers) {
  // Permission bits do not stop root, so the data directory is made impossible
  // instead: a regular file sits where it should be.
  ScratchDir dir;
  const std::string data = dir / "data";
  const std::string path = data + "/dlp_events.jsonl";
  write_file(data, "");
  LogCapture log;

  auto send_all = [&](int n, int first_id) {
    auto [tx, rx] = runtime::make_bounded_queue<DlpEvent>(8);
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(tx.send(event_at(std::to_string(first_id + i), utc(kJune3))));
    }
    tx.release();
    run_event_consumer(path, std::move(rx), {});
  };
  send_all(3, 0);
  std::vector<std::string> errors;
  for (const std::string& line : log.lines()) {
    if (line.rfind("ERROR", 0) == 0) errors.push_back(line);
  }
  ASSERT_EQ(errors.size(), 3u);
  for (const std::string& line : errors) {
    EXPECT_EQ(line, "ERROR vintra_dlp: persist event: " + os_error_text(ENOTDIR));
  }

  std::filesystem::remove(data);
  send_all(1, 3);
  EXPECT_EQ(read_file(path), line_of(event_at("3", utc(kJune3))));
}

TEST(JournalFaults, RewriteKilledAtAnyMomentLeavesOldOrNewJournal) {
  ScratchDir dir;
  const std::string path = dir / "dlp_events.jsonl";
  // Two journals of a few megabytes, so that kills land inside writes too.
  std::string a, b;
  for (int i = 0; i < 8000; ++i) {
    a += line_of(event_at("a" + std::to_string(i), utc(kJune3)));
    b += line_of(event_at("b" + std::to_string(i), utc(kJune3), Decision::kAllowed));
  }
  write_file(path, a);
  std::mt19937 rng(20240603);
  std::uniform_int_distribution<int> delay_us(0, 20000);
  for (int round = 0; round < 50; ++round) {
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      for (;;) {
        (void)replace_journal(path, b);
        (void)replace_journal(path, a);
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us(rng)));
    ::kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    const std::string now = read_file(path);
    ASSERT_TRUE(now == a || now == b) << "round " << round << ": " << now.size() << " bytes";
  }
}

}  // namespace
}  // namespace vintra::events
