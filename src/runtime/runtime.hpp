// The daemon's runtime: long-lived background tasks, each on its own thread whose
// every wait wakes on the task's stop token, and a pool for blocking jobs.
//
// Shutdown cancels every task that is still alive (at its next wait), joins them,
// then lets the blocking jobs that were handed over finish. Background work never
// ends the process: an exception escaping a task or job is reported on standard
// error and swallowed.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <stop_token>
#include <string>
#include <thread>
#include <type_traits>

#include "common/error.hpp"

namespace vintra::runtime {

// Threads created on demand up to a maximum; a thread idle for a while retires.
// Thread-safe.
class BlockingPool {
 public:
  static constexpr std::size_t kDefaultMaxThreads = 512;
  explicit BlockingPool(std::size_t max_threads = kDefaultMaxThreads,
                        std::chrono::milliseconds idle_timeout = std::chrono::seconds(10));
  ~BlockingPool();
  BlockingPool(const BlockingPool&) = delete;
  BlockingPool& operator=(const BlockingPool&) = delete;

  // Runs `job` on a pool thread, now when a thread is free or can be added, else as
  // soon as one frees up. Fails after shutdown began, or when no thread can be
  // created and none exists.
  Status spawn(std::function<void()> job);

  // Stops taking jobs and waits until every job handed over so far has run.
  void shutdown();

  std::size_t thread_count() const;

 private:
  void worker_loop();

  mutable std::mutex mu_;
  std::condition_variable work_cv_;
  std::condition_variable done_cv_;
  std::deque<std::function<void()>> queue_;
  std::size_t max_threads_;
  std::chrono::milliseconds idle_timeout_;
  std::size_t threads_ = 0;
  std::size_t idle_ = 0;
  bool shutting_down_ = false;
};

// The handle of a spawned task. Dropping it leaves the task running (it is detached
// from its owner, not from the runtime).
class TaskHandle {
 public:
  TaskHandle() = default;
  // Asks the task to stop at its next wait; safe when it has ended already.
  void request_stop() { if (stop_.stop_possible()) stop_.request_stop(); }
  bool finished() const { return done_ && done_->load(); }

 private:
  friend class Runtime;
  std::stop_source stop_{std::nostopstate};
  std::shared_ptr<std::atomic<bool>> done_;
};

class Runtime {
 public:
  // `worker_threads` is informational here (each task has a thread of its own);
  // the default is the number of CPUs.
  static Result<std::unique_ptr<Runtime>> create();
  ~Runtime();
  Runtime(const Runtime&) = delete;
  Runtime& operator=(const Runtime&) = delete;

  // Starts `body` as a task on a thread named `name` (15 bytes at most show). It
  // receives its stop token and should return soon after a stop is requested. `body`
  // may be move-only (it may own a queue end).
  template <class F>
  Result<TaskHandle> spawn(std::string name, F&& body) {
    if constexpr (std::is_copy_constructible_v<std::decay_t<F>>) {
      return spawn_task(std::move(name), std::function<void(std::stop_token)>(std::forward<F>(body)));
    } else {
      auto owned = std::make_shared<std::decay_t<F>>(std::forward<F>(body));
      return spawn_task(std::move(name), [owned](std::stop_token st) { (*owned)(std::move(st)); });
    }
  }
  template <class F>
  Result<TaskHandle> spawn(F&& body) {
    return spawn(std::string("dlp-task"), std::forward<F>(body));
  }

  BlockingPool& blocking() { return pool_; }

  // Cancels the tasks still alive, waits for them, then for the blocking jobs.
  // Idempotent.
  void shutdown();

 private:
  Runtime() = default;
  Result<TaskHandle> spawn_task(std::string name, std::function<void(std::stop_token)> body);
  std::mutex mu_;
  std::list<std::jthread> tasks_;
  BlockingPool pool_;
  bool shut_down_ = false;
};

}  // namespace vintra::runtime
