#pragma once
// A watcher whose events come from a detached thread of its own. The thread
// shares the watcher's state, so stopping or dropping the watcher never waits
// for a handler that is running.

#include <atomic>
#include <map>
#include <memory>
#include <thread>
#include <utility>

#include "foundation/lock_guard.h"
#include "hal/hal.h"

namespace tilo2::core::hal {

// The handlers every loop watcher's state holds; each loop adds its own fields.
struct WatchHandlers {
  PlatformMutex_t lock{};
  std::map<WatcherToken, std::pair<bool, WatcherHandler>> handlers;  // {for Added, handler}
  WatcherToken next = 0;
  std::atomic<bool> running{false};

  WatchHandlers() { platform_mutex_init(&lock); }
  ~WatchHandlers() { platform_mutex_destroy(&lock); }
  WatchHandlers(const WatchHandlers&) = delete;
  WatchHandlers& operator=(const WatchHandlers&) = delete;
};

template <typename State>
class LoopWatcher : public Watcher {
 public:
  using Loop = void (*)(std::shared_ptr<State>);
  LoopWatcher(std::shared_ptr<State> state, Loop loop) : state_(std::move(state)), loop_(loop) {}
  ~LoopWatcher() override { Stop(); }
  WatcherToken OnAdded(WatcherHandler handler) override { return Add(true, std::move(handler)); }
  WatcherToken OnUpdated(WatcherHandler handler) override { return Add(false, std::move(handler)); }
  void Remove(WatcherToken token) override {
    PlatformLockGuard guard(state_->lock);
    state_->handlers.erase(token);
  }
  void Start() override {
    if (state_->running.exchange(true)) return;
    std::thread(loop_, state_).detach();
  }
  void Stop() override { state_->running.store(false); }

 private:
  WatcherToken Add(bool added, WatcherHandler handler) {
    PlatformLockGuard guard(state_->lock);
    const WatcherToken token = ++state_->next;
    state_->handlers[token] = {added, std::move(handler)};
    return token;
  }
  std::shared_ptr<State> state_;
  Loop loop_;
};

}  // namespace tilo2::core::hal
