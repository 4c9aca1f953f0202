#pragma once
// Waits for descriptors within a time limit: the one poll helper of the
// core. A signal does not restart the limit: the time left is measured on the
// monotonic clock and the wait resumes with it.

#include <poll.h>

namespace tilo2::core {

// Waits up to milliseconds (negative: taken as 0) for any of events on fd.
// 1 ready (revents, if given, holds what poll reported, POLLHUP and POLLERR
// included), 0 not within the limit, -1 error or an invalid descriptor.
int PollWait(int fd, short events, int milliseconds, short* revents = nullptr);

// The same for several descriptors at once: the number of ready entries
// (their revents filled), 0 not within the limit, -1 error.
int PollWaitAny(pollfd* fds, nfds_t count, int milliseconds);

}  // namespace tilo2::core
