// A bounded first-in-first-out queue with many sending handles and one receiver.
//
// - Sender::send waits while the queue is full and fails once the receiver is gone.
// - Receiver::receive waits while the queue is empty and reports the end once the
//   queue is empty and every Sender has been released (destroyed or release()d).
// - Every wait also wakes on a std::stop_token, so a task blocked here is cancelled
//   at its next wait.
// Sender is copyable (each copy is one more handle) and movable; Receiver is move-only.
// Thread-safe.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <utility>

#include "common/error.hpp"

namespace vintra::runtime {

// The description of a failed send (the receiver is gone); carries no detail of the item.
inline constexpr const char* kChannelClosed = "channel closed";

namespace detail {
template <class T>
struct QueueState {
  explicit QueueState(std::size_t cap) : capacity(cap) {}
  std::mutex mu;
  std::condition_variable_any not_empty;
  std::condition_variable_any not_full;
  std::deque<T> items;
  std::size_t capacity;
  std::size_t senders = 0;
  bool receiver_alive = true;
};
}  // namespace detail

template <class T>
class Sender {
 public:
  Sender() = default;
  explicit Sender(std::shared_ptr<detail::QueueState<T>> s) : s_(std::move(s)) { attach(); }
  Sender(const Sender& o) : s_(o.s_) { attach(); }
  Sender(Sender&& o) noexcept : s_(std::move(o.s_)) {}
  Sender& operator=(Sender o) noexcept {
    release();
    s_ = std::move(o.s_);
    return *this;
  }
  ~Sender() { release(); }

  // Puts `item` at the back, waiting while the queue is full. Fails with
  // "channel closed" when the receiver is gone (or this handle was released), and
  // with "send cancelled" when `stop` is requested while waiting.
  Status send(T item, std::stop_token stop = {}) {
    if (!s_) return Error(kChannelClosed);
    std::unique_lock lock(s_->mu);
    bool ready = s_->not_full.wait(lock, stop, [&] {
      return !s_->receiver_alive || s_->items.size() < s_->capacity;
    });
    if (!s_->receiver_alive) return Error(kChannelClosed);
    if (!ready) return Error("send cancelled");
    s_->items.push_back(std::move(item));
    lock.unlock();
    s_->not_empty.notify_one();
    return ok();
  }

  // Gives up this handle now.
  void release() {
    if (!s_) return;
    bool last = false;
    {
      std::lock_guard lock(s_->mu);
      last = --s_->senders == 0;
    }
    if (last) s_->not_empty.notify_all();
    s_.reset();
  }

  bool valid() const { return s_ != nullptr; }

 private:
  void attach() {
    if (!s_) return;
    std::lock_guard lock(s_->mu);
    ++s_->senders;
  }
  std::shared_ptr<detail::QueueState<T>> s_;
};

template <class T>
class Receiver {
 public:
  Receiver() = default;
  explicit Receiver(std::shared_ptr<detail::QueueState<T>> s) : s_(std::move(s)) {}
  Receiver(Receiver&&) noexcept = default;
  Receiver& operator=(Receiver&& o) noexcept {
    close();
    s_ = std::move(o.s_);
    return *this;
  }
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;
  ~Receiver() { close(); }

  // The next item; nothing at the end of the queue (empty and no sender left) or
  // when `stop` is requested while waiting.
  std::optional<T> receive(std::stop_token stop = {}) {
    if (!s_) return std::nullopt;
    std::unique_lock lock(s_->mu);
    s_->not_empty.wait(lock, stop, [&] { return !s_->items.empty() || s_->senders == 0; });
    if (s_->items.empty()) return std::nullopt;
    T item = std::move(s_->items.front());
    s_->items.pop_front();
    lock.unlock();
    s_->not_full.notify_one();
    return item;
  }

  // Number of items waiting (for tests and diagnostics).
  std::size_t size() const {
    if (!s_) return 0;
    std::lock_guard lock(s_->mu);
    return s_->items.size();
  }

  // Drops the receiving side: pending items are discarded and senders fail from now on.
  void close() {
    if (!s_) return;
    {
      std::lock_guard lock(s_->mu);
      s_->receiver_alive = false;
      s_->items.clear();
    }
    s_->not_full.notify_all();
    s_.reset();
  }

 private:
  std::shared_ptr<detail::QueueState<T>> s_;
};

template <class T>
std::pair<Sender<T>, Receiver<T>> make_bounded_queue(std::size_t capacity) {
  auto state = std::make_shared<detail::QueueState<T>>(capacity);
  return {Sender<T>(state), Receiver<T>(state)};
}

}  // namespace vintra::runtime
