#include <atomic>

#include "orvik/tilo2/event.h"

namespace Orvik::Tilo::Tilo2 {

EventToken NextEventToken() noexcept {
  // Starts at 1 so 0 stays free as "no registration"; 64 bits never wrap in practice.
  static std::atomic<EventToken> counter{0};
  return counter.fetch_add(1, std::memory_order_relaxed) + 1;
}

}  // namespace Orvik::Tilo::Tilo2
