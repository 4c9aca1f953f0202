#include "foundation/poll_wait.h"

#include <cerrno>
#include <cstdint>

#include "foundation/platform.h"

namespace tilo2::core {

int PollWaitAny(pollfd* fds, nfds_t count, int milliseconds) {
  const int limit = milliseconds < 0 ? 0 : milliseconds;
  const uint64_t start = platform_tick_ms();
  int left = limit;
  for (;;) {
    const int n = ::poll(fds, count, left);
    if (n >= 0 || errno != EINTR) return n < 0 ? -1 : n;
    const uint64_t elapsed = platform_tick_ms() - start;
    left = elapsed >= static_cast<uint64_t>(limit) ? 0 : limit - static_cast<int>(elapsed);
  }
}

int PollWait(int fd, short events, int milliseconds, short* revents) {
  if (revents != nullptr) *revents = 0;
  pollfd p{fd, events, 0};
  const int n = PollWaitAny(&p, 1, milliseconds);
  if (n < 0 || (p.revents & POLLNVAL) != 0) return -1;
  if (revents != nullptr) *revents = p.revents;
  return n > 0 ? 1 : 0;
}

}  // namespace tilo2::core
