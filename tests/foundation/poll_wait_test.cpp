#include "foundation/poll_wait.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "foundation/owned_fd.h"
#include "foundation/platform.h"

using namespace tilo2::core;

namespace {

// Both ends of a connected local stream pair.
struct SocketPair {
  SocketPair() {
    int fds[2] = {-1, -1};
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    near.Reset(fds[0]);
    far.Reset(fds[1]);
  }
  OwnedFd near;
  OwnedFd far;
};

std::atomic<int> signalsSeen{0};
void CountSignal(int) { signalsSeen.fetch_add(1); }

// SIGUSR1 runs a handler installed without SA_RESTART for the scope: a wait
// it interrupts fails with EINTR instead of being resumed by the kernel.
class InterruptingHandler {
 public:
  InterruptingHandler() {
    struct sigaction action {};
    action.sa_handler = CountSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    EXPECT_EQ(::sigaction(SIGUSR1, &action, &previous_), 0);
  }
  ~InterruptingHandler() { ::sigaction(SIGUSR1, &previous_, nullptr); }

 private:
  struct sigaction previous_ {};
};

}  // namespace

TEST(PollWait, ReadyTimedOutAndInvalid) {
  SocketPair pair;
  short revents = -1;
  // Nothing to read yet: the limit passes (and is kept, not cut short).
  uint64_t start = platform_tick_ms();
  EXPECT_EQ(PollWait(pair.near.Get(), POLLIN, 100, &revents), 0);
  EXPECT_GE(platform_tick_ms() - start, 95u);
  EXPECT_EQ(revents, 0);
  // Writable at once; readable once the peer wrote.
  EXPECT_EQ(PollWait(pair.near.Get(), POLLOUT, 1000, &revents), 1);
  EXPECT_NE(revents & POLLOUT, 0);
  ASSERT_EQ(::write(pair.far.Get(), "x", 1), 1);
  EXPECT_EQ(PollWait(pair.near.Get(), POLLIN, 5000, &revents), 1);
  EXPECT_NE(revents & POLLIN, 0);
  // A peer that hung up is reported as ready, with POLLHUP for the caller.
  pair.far.Reset();
  EXPECT_EQ(PollWait(pair.near.Get(), POLLOUT, 5000, &revents), 1);
  EXPECT_NE(revents & (POLLHUP | POLLERR), 0);
  // A negative limit does not wait at all.
  SocketPair idle;
  start = platform_tick_ms();
  EXPECT_EQ(PollWait(idle.near.Get(), POLLIN, -1), 0);
  EXPECT_LT(platform_tick_ms() - start, 50u);
  // A descriptor that is not open.
  const int closed = idle.near.Release();
  ::close(closed);
  EXPECT_EQ(PollWait(closed, POLLIN, 10, &revents), -1);
}

TEST(PollWait, SignalsDuringTheWaitDoNotRestartTheLimit) {
  InterruptingHandler handler;
  SocketPair pair;
  signalsSeen.store(0);
  const pthread_t waiter = pthread_self();
  std::atomic<bool> done{false};
  // Keeps interrupting the wait, well past its limit when the limit restarted.
  std::thread interrupter([&] {
    const uint64_t end = platform_tick_ms() + 5000;
    while (!done.load() && platform_tick_ms() < end) {
      pthread_kill(waiter, SIGUSR1);
      platform_sleep_ms(10);
    }
  });
  constexpr int kLimitMs = 300;
  const uint64_t start = platform_tick_ms();
  const int result = PollWait(pair.near.Get(), POLLIN, kLimitMs);
  const uint64_t took = platform_tick_ms() - start;
  done.store(true);
  interrupter.join();
  EXPECT_EQ(result, 0);
  EXPECT_GE(signalsSeen.load(), 3) << "the wait was not interrupted";
  EXPECT_GE(took, static_cast<uint64_t>(kLimitMs) - 5);
  EXPECT_LT(took, static_cast<uint64_t>(kLimitMs) + 400);
}
