#include "src/inspector/dispatcher.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/log_capture.hpp"
#include "tests/support/scratch_dir.hpp"
#include "tests/unit/inspect/support.hpp"

namespace vintra::inspector {
namespace {

using testing::catalogue;
using testing::policies_from;
using vintra::testing::LogCapture;
using vintra::testing::ScratchDir;

std::shared_ptr<const policy::Policies> allow_all() {
  return std::make_shared<const policy::Policies>(policies_from("default_action: allow\n"));
}

// Everything the consumer side receives until the event queue reports its end.
std::vector<DlpEvent> drain(runtime::Receiver<DlpEvent>& rx) {
  std::vector<DlpEvent> out;
  while (auto e = rx.receive()) out.push_back(std::move(*e));
  return out;
}

// The same path twice gives two jobs and two events with different ids; once the scan
// queue ends and the jobs are done, the event queue ends too, so the dispatcher kept no
// sending handle.
TEST(ScanDispatcher, EveryItemIsOneJobAndTheEndReachesTheConsumer) {
  ScratchDir dir;
  const std::string path = dir.write("f", "a@example.com");
  auto [scan_tx, scan_rx] = runtime::make_bounded_queue<ScanJob>(8);
  auto [event_tx, event_rx] = runtime::make_bounded_queue<DlpEvent>(8);
  runtime::BlockingPool pool;
  LogCapture log;
  std::jthread dispatcher([&, rx = std::move(scan_rx), tx = std::move(event_tx)](std::stop_token st) mutable {
    run_scan_dispatcher(std::move(rx), catalogue(), allow_all(), std::move(tx), pool, st);
  });
  ASSERT_TRUE(scan_tx.send({path, std::nullopt, 13, ScanSource::kUsb}));
  ASSERT_TRUE(scan_tx.send({path, std::nullopt, 13, ScanSource::kUsb}));
  ASSERT_TRUE(scan_tx.send({dir / "clean-and-allowed", std::nullopt, 0, ScanSource::kCloud}));
  scan_tx.release();

  const std::vector<DlpEvent> events = drain(event_rx);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].file_path, path);
  EXPECT_EQ(events[1].file_path, path);
  EXPECT_NE(events[0].id, events[1].id);
  dispatcher.join();
  EXPECT_TRUE(log.entries().empty()) << "the dispatcher and these jobs write no log line";
}

TEST(ScanDispatcher, StopEndsItAndReleasesItsSender) {
  auto [scan_tx, scan_rx] = runtime::make_bounded_queue<ScanJob>(8);
  auto [event_tx, event_rx] = runtime::make_bounded_queue<DlpEvent>(8);
  runtime::BlockingPool pool;
  std::jthread dispatcher([&, rx = std::move(scan_rx), tx = std::move(event_tx)](std::stop_token st) mutable {
    run_scan_dispatcher(std::move(rx), catalogue(), allow_all(), std::move(tx), pool, st);
  });
  dispatcher.request_stop();
  dispatcher.join();
  EXPECT_TRUE(drain(event_rx).empty());
  // The scan queue is closed: a producer learns that the dispatcher has ended.
  EXPECT_FALSE(scan_tx.send({"x", std::nullopt, 0, ScanSource::kUsb}));
}

// A pool that refuses work does not lose the item: the job runs on the dispatcher's thread.
TEST(ScanDispatcher, RefusedJobRunsInPlace) {
  ScratchDir dir;
  const std::string path = dir.write("f", "a@example.com");
  auto [scan_tx, scan_rx] = runtime::make_bounded_queue<ScanJob>(8);
  auto [event_tx, event_rx] = runtime::make_bounded_queue<DlpEvent>(8);
  runtime::BlockingPool pool;
  pool.shutdown();
  ASSERT_TRUE(scan_tx.send({path, std::nullopt, 13, ScanSource::kUsb}));
  scan_tx.release();
  run_scan_dispatcher(std::move(scan_rx), catalogue(), allow_all(), std::move(event_tx), pool, {});
  const std::vector<DlpEvent> events = drain(event_rx);
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].file_path, path);
}

}  // namespace
}  // namespace vintra::inspector
