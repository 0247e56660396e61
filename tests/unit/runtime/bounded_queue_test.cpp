#include "src/runtime/bounded_queue.hpp"

#include <gtest/gtest.h>

#include <thread>

namespace vintra::runtime {
namespace {

TEST(BoundedQueue, EndsWhenEmptyAndEverySenderIsGone) {
  auto [tx, rx] = make_bounded_queue<int>(4);
  auto tx2 = tx;
  ASSERT_TRUE(tx.send(1));
  ASSERT_TRUE(tx2.send(2));
  tx.release();
  EXPECT_EQ(rx.receive(), 1);
  tx2 = Sender<int>();
  EXPECT_EQ(rx.receive(), 2);  // items sent before the last release still arrive
  EXPECT_EQ(rx.receive(), std::nullopt);
}

TEST(BoundedQueue, SendWaitsWhileFullAndFailsOnceReceiverIsGone) {
  auto [tx, rx] = make_bounded_queue<int>(1);
  ASSERT_TRUE(tx.send(1));
  std::atomic<bool> second_sent{false};
  std::thread producer([&, tx = tx]() mutable {
    EXPECT_TRUE(tx.send(2));
    second_sent = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(second_sent.load());  // the queue holds its capacity: the producer waits
  EXPECT_EQ(rx.receive(), 1);
  producer.join();
  EXPECT_TRUE(second_sent.load());
  rx.close();
  auto failed = tx.send(3);
  ASSERT_FALSE(failed);
  EXPECT_EQ(failed.error().message(), "channel closed");
}

TEST(BoundedQueue, ReceiveWakesOnStopRequest) {
  auto queue = make_bounded_queue<int>(1);
  auto& rx = queue.second;
  std::stop_source stop;
  std::thread consumer([&] { EXPECT_EQ(rx.receive(stop.get_token()), std::nullopt); });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  stop.request_stop();
  consumer.join();
}

}  // namespace
}  // namespace vintra::runtime
