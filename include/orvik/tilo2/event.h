#pragma once
// Events of the runtime classes: a list of typed handlers that a raise calls in
// registration order.

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "orvik/tilo2/exceptions.h"
#include "orvik/tilo2/export.h"

namespace Orvik::Tilo::Tilo2 {

// Names one registration. Never 0 and never reused within the process, so a
// stale token cannot remove someone else's handler.
using EventToken = int64_t;

// The next token of the process-wide counter. Out of line so the library and
// every app share one counter.
TILO2_EXPORT EventToken NextEventToken() noexcept;

template <class Sender, class Args>
using TypedEventHandler =
    std::function<void(const std::shared_ptr<Sender>&, const std::shared_ptr<const Args>&)>;

// Add, Remove and Raise are safe from any thread, handlers included. A raise
// takes a snapshot of the handlers under the lock and calls them outside it,
// synchronously: a handler added or removed during a raise takes effect from the
// next raise on, and an exception from a handler reaches the raiser. Which
// library thread raises which event: docs/threading.md.
template <class Sender, class Args>
class Event {
 public:
  using Handler = TypedEventHandler<Sender, Args>;

  Event() = default;
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  // Throws RuntimeException(kEPointer) for an empty handler.
  EventToken Add(Handler handler) {
    if (!handler) throw RuntimeException(kEPointer, "event handler is empty");
    auto shared = std::make_shared<const Handler>(std::move(handler));
    std::lock_guard<std::mutex> lock(mutex_);
    const EventToken token = NextEventToken();
    handlers_.emplace_back(token, std::move(shared));
    return token;
  }

  // An unknown or already removed token does nothing.
  void Remove(EventToken token) {
    std::shared_ptr<const Handler> removed;  // destroyed outside the lock
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = handlers_.begin(); it != handlers_.end(); ++it) {
      if (it->first == token) {
        removed = std::move(it->second);
        handlers_.erase(it);
        return;
      }
    }
  }

  void Raise(const std::shared_ptr<Sender>& sender, const std::shared_ptr<const Args>& args) const {
    std::vector<std::shared_ptr<const Handler>> snapshot;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      snapshot.reserve(handlers_.size());
      for (const auto& entry : handlers_) snapshot.push_back(entry.second);
    }
    for (const auto& handler : snapshot) (*handler)(sender, args);
  }

  bool HasHandlers() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !handlers_.empty();
  }

 private:
  mutable std::mutex mutex_;
  std::vector<std::pair<EventToken, std::shared_ptr<const Handler>>> handlers_;
};

}  // namespace Orvik::Tilo::Tilo2
