// The socket streams under RFCOMM links and the simulated pipes.

#include "hal/socket_stream.h"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <thread>

namespace tilo2::core::hal {
namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

struct Pair {
  std::shared_ptr<SocketLink> link;
  OwnedFd peer;
};

Pair MakePair(bool waitSendQueue) {
  int fds[2];
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  return {std::make_shared<SocketLink>(OwnedFd(fds[0]), waitSendQueue), OwnedFd(fds[1])};
}

TEST(SocketLink, FlushWaitsForTheSendQueueOnlyWhenAsked) {
  Pair waiting = MakePair(true);
  auto out = waiting.link->MakeOutput();
  std::string data(1000, 'x');
  ASSERT_EQ(out->Store(data.data(), data.size(), Clock::now() + std::chrono::seconds(10)), 1000u);
  EXPECT_FALSE(out->Flush(Clock::now() + milliseconds(30)));  // the peer has not read yet
  char sink[2000];
  ASSERT_EQ(::recv(waiting.peer.Get(), sink, sizeof sink, 0), 1000);
  EXPECT_TRUE(out->Flush(Clock::now() + std::chrono::seconds(10)));

  Pair plain = MakePair(false);
  auto plainOut = plain.link->MakeOutput();
  ASSERT_EQ(plainOut->Store(data.data(), data.size(), Clock::now() + std::chrono::seconds(10)),
            1000u);
  EXPECT_TRUE(plainOut->Flush(Clock::now()));
}

TEST(SocketLink, StoreIntoAFullPipeReturnsWhatWentOutByItsDeadline) {
  Pair pair = MakePair(false);
  auto out = pair.link->MakeOutput();
  std::string data(8 << 20, 'y');  // far more than a socket buffer holds
  const auto start = Clock::now();
  const size_t sent = out->Store(data.data(), data.size(), start + milliseconds(100));
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, data.size());
  EXPECT_GE(Clock::now() - start, milliseconds(100));
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

TEST(SocketLink, ClosedStreamsRefuseAndLoadsTellCloseFromEnd) {
  Pair pair = MakePair(false);
  auto in = pair.link->MakeInput();
  auto out = pair.link->MakeOutput();
  char buffer[4];
  EXPECT_EQ(in->Load(buffer, 0), 0u);
  pair.link->Sever();  // the link vanished: an end, not a cancellation
  EXPECT_EQ(in->Load(buffer, sizeof buffer), 0u);
  EXPECT_THROW(out->Store("x", 1, Clock::now() + milliseconds(100)), Error);
  in->Close();
  out->Close();
  EXPECT_THROW(in->Load(buffer, sizeof buffer), Cancelled);
  EXPECT_THROW(out->Store("x", 1, Clock::now()), Error);
  EXPECT_THROW(out->Flush(Clock::now()), Error);
  EXPECT_TRUE(pair.link->Closed());
}

}  // namespace
}  // namespace tilo2::core::hal
