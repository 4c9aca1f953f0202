#include "component/thread_pool.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <utility>

#include "component/test_hooks.h"

namespace tilo2::core {

namespace {

class Pool {
 public:
  void Submit(std::function<void()> work) {
    std::unique_lock<std::mutex> lock(mutex_);
    queue_.push_back(std::move(work));
    if (idle_ > 0) {
      // Reserve one idle worker for this item, so a second item queued before
      // that worker wakes is not counted on the same worker.
      --idle_;
      ++wakeups_;
      wake_.notify_one();
      return;
    }
    if (workers_ >= kPoolMaxWorkers) return;  // a busy worker takes it when free
    ++workers_;
    try {
      std::thread([this] { Run(); }).detach();
    } catch (...) {
      --workers_;
      if (workers_ == 0) {
        queue_.pop_back();
        throw;
      }
    }
  }

  size_t Workers() {
    std::lock_guard<std::mutex> lock(mutex_);
    return workers_;
  }

  void SetIdleTimeout(std::chrono::milliseconds timeout) {
    std::lock_guard<std::mutex> lock(mutex_);
    idleTimeout_ = timeout.count() > 0 ? timeout : kPoolIdleTimeout;
    wake_.notify_all();
  }

  bool WaitWorkersAtMost(size_t count, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_until(lock, deadline, [&] { return workers_ <= count; });
  }

  bool WaitBusyAtMost(size_t count, std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    // A reserved worker (wakeups_) has work ahead of it, so it counts as busy
    // until the queue is empty.
    return changed_.wait_until(
        lock, deadline, [&] { return queue_.empty() && workers_ - idle_ - wakeups_ <= count; });
  }

  const size_t core = std::max<size_t>(2, std::thread::hardware_concurrency());

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      while (!queue_.empty()) {
        std::function<void()> work = std::move(queue_.front());
        queue_.pop_front();
        lock.unlock();
        try {
          work();
        } catch (...) {
          // Work reports its own failures; one escaping must not end the worker.
        }
        work = nullptr;  // the item's captures go before the lock is taken again
        lock.lock();
      }
      ++idle_;
      changed_.notify_all();
      auto idleSince = std::chrono::steady_clock::now();
      while (wakeups_ == 0) {
        // Read each round: a changed timeout wakes the idle workers to apply it.
        wake_.wait_until(lock, idleSince + idleTimeout_);
        if (wakeups_ > 0) break;
        if (std::chrono::steady_clock::now() < idleSince + idleTimeout_) continue;
        if (workers_ > core) {
          --idle_;
          --workers_;
          changed_.notify_all();
          return;
        }
        idleSince = std::chrono::steady_clock::now();
      }
      --wakeups_;  // the submitter already took this worker off idle_
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable changed_;  // a worker went idle or left
  std::deque<std::function<void()>> queue_;
  size_t workers_ = 0;
  size_t idle_ = 0;     // idle workers no submitter has reserved
  size_t wakeups_ = 0;  // reservations not yet taken by a waking worker
  std::chrono::milliseconds idleTimeout_ = kPoolIdleTimeout;
};

// Made on first use and never destroyed: at exit a worker may still be blocked
// in a work item, and it must not find its pool gone.
Pool& ThePool() {
  static Pool* pool = new Pool();
  return *pool;
}

}  // namespace

void PoolSubmit(std::function<void()> work) { ThePool().Submit(std::move(work)); }

size_t PoolWorkerCount() { return ThePool().Workers(); }

size_t PoolCoreCount() { return ThePool().core; }

void TiloComponentSetPoolIdleTimeout(std::chrono::milliseconds timeout) {
  ThePool().SetIdleTimeout(timeout);
}

bool TiloComponentWaitPoolWorkersAtMost(size_t count,
                                        std::chrono::steady_clock::time_point deadline) {
  return ThePool().WaitWorkersAtMost(count, deadline);
}

bool TiloComponentWaitPoolBusyAtMost(size_t count, std::chrono::steady_clock::time_point deadline) {
  return ThePool().WaitBusyAtMost(count, deadline);
}

}  // namespace tilo2::core
