#include "src/runtime/runtime.hpp"

#include <gtest/gtest.h>

#include <atomic>

#include "src/runtime/periodic_timer.hpp"

namespace vintra::runtime {
namespace {

TEST(PeriodicTimer, FirstTickAtOnceThenMissedTicksBackToBack) {
  PeriodicTimer timer(std::chrono::milliseconds(200));
  std::stop_source never;
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_TRUE(timer.tick(never.get_token()));
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(150));
  std::this_thread::sleep_for(std::chrono::milliseconds(700));  // three periods missed
  auto t1 = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(timer.tick(never.get_token()));
  EXPECT_LT(std::chrono::steady_clock::now() - t1, std::chrono::milliseconds(150));
}

TEST(Runtime, ShutdownCancelsTasksAndLetsBlockingJobsFinish) {
  auto rt = Runtime::create();
  ASSERT_TRUE(rt);
  std::atomic<bool> task_saw_stop{false}, job_done{false};
  auto handle = (*rt)->spawn([&](std::stop_token st) {
    PeriodicTimer timer(std::chrono::hours(1));
    while (timer.tick(st)) {
    }
    task_saw_stop = true;
  });
  ASSERT_TRUE(handle);
  ASSERT_TRUE((*rt)->blocking().spawn([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    job_done = true;
  }));
  (*rt)->shutdown();
  EXPECT_TRUE(task_saw_stop);
  EXPECT_TRUE(job_done);
  EXPECT_TRUE(handle->finished());
  handle->request_stop();  // safe on a finished task
}

TEST(BlockingPool, RunsManyJobsConcurrently) {
  BlockingPool pool(8);
  std::atomic<int> running{0}, peak{0}, done{0};
  for (int i = 0; i < 8; ++i) {
    ASSERT_TRUE(pool.spawn([&] {
      int now = ++running;
      int p = peak.load();
      while (now > p && !peak.compare_exchange_weak(p, now)) {
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      --running;
      ++done;
    }));
  }
  pool.shutdown();
  EXPECT_EQ(done.load(), 8);
  EXPECT_GT(peak.load(), 1);
}

}  // namespace
}  // namespace vintra::runtime
