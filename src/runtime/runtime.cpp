#include "src/runtime/runtime.hpp"

#include <cstdio>
#include <exception>
#include <system_error>

#include "common/platform/thread_name.hpp"

namespace vintra::runtime {
namespace {

void run_guarded(const char* what, const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vintra-dlp: %s ended by an exception: %s\n", what, e.what());
  } catch (...) {
    std::fprintf(stderr, "vintra-dlp: %s ended by an exception\n", what);
  }
}

}  // namespace

BlockingPool::BlockingPool(std::size_t max_threads, std::chrono::milliseconds idle_timeout)
    : max_threads_(max_threads), idle_timeout_(idle_timeout) {}

BlockingPool::~BlockingPool() { shutdown(); }

std::size_t BlockingPool::thread_count() const {
  std::lock_guard lock(mu_);
  return threads_;
}

Status BlockingPool::spawn(std::function<void()> job) {
  std::unique_lock lock(mu_);
  if (shutting_down_) return Error("blocking pool is shut down");
  queue_.push_back(std::move(job));
  if (idle_ >= queue_.size()) {
    lock.unlock();
    work_cv_.notify_one();
    return ok();
  }
  if (threads_ < max_threads_) {
    try {
      std::thread(&BlockingPool::worker_loop, this).detach();
      ++threads_;
    } catch (const std::system_error& e) {
      if (threads_ == 0) {
        queue_.pop_back();
        return Error(std::string("cannot create a blocking thread: ") + e.what());
      }
      // The existing threads will get to it.
    }
  }
  return ok();
}

void BlockingPool::worker_loop() {
  platform::set_current_thread_name("dlp-blocking");
  std::unique_lock lock(mu_);
  for (;;) {
    if (queue_.empty()) {
      if (shutting_down_) break;
      ++idle_;
      bool got = work_cv_.wait_for(lock, idle_timeout_, [&] { return !queue_.empty() || shutting_down_; });
      --idle_;
      if (!got) break;  // idle too long: retire
      continue;
    }
    auto job = std::move(queue_.front());
    queue_.pop_front();
    lock.unlock();
    run_guarded("a blocking job", job);
    job = nullptr;  // release what the job captured before taking the lock again
    lock.lock();
  }
  // A thread that retires while jobs remain (cannot happen: it only retires on an
  // empty queue) would leave them to the others.
  --threads_;
  done_cv_.notify_all();
}

void BlockingPool::shutdown() {
  std::unique_lock lock(mu_);
  shutting_down_ = true;
  work_cv_.notify_all();
  done_cv_.wait(lock, [&] { return threads_ == 0; });
}

Result<std::unique_ptr<Runtime>> Runtime::create() { return std::unique_ptr<Runtime>(new Runtime()); }

Runtime::~Runtime() { shutdown(); }

Result<TaskHandle> Runtime::spawn_task(std::string name, std::function<void(std::stop_token)> body) {
  std::lock_guard lock(mu_);
  if (shut_down_) return Error("runtime is shut down");
  TaskHandle handle;
  handle.done_ = std::make_shared<std::atomic<bool>>(false);
  try {
    auto& t = tasks_.emplace_back([name = std::move(name), body = std::move(body), done = handle.done_](std::stop_token st) {
      platform::set_current_thread_name(name);
      run_guarded("a background task", [&] { body(st); });
      done->store(true);
    });
    handle.stop_ = t.get_stop_source();
  } catch (const std::system_error& e) {
    return Error(std::string("cannot start a task: ") + e.what());
  }
  return handle;
}

void Runtime::shutdown() {
  std::list<std::jthread> tasks;
  {
    std::lock_guard lock(mu_);
    if (shut_down_) return;
    shut_down_ = true;
    tasks.swap(tasks_);
  }
  for (auto& t : tasks) t.request_stop();
  for (auto& t : tasks) t.join();
  pool_.shutdown();
}

}  // namespace vintra::runtime
