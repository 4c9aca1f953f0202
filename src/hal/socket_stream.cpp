#include "hal/socket_stream.h"

#include <fcntl.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

#include "foundation/poll_wait.h"

namespace tilo2::core::hal {

namespace {

// Milliseconds until the deadline, rounded up so a wait never ends before
// it; 0 once it passed.
int MillisecondsLeft(Deadline deadline) {
  const auto left =
      std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
  if (left.count() <= 0) return 0;
  return static_cast<int>(std::min<int64_t>(left.count(), 60000));
}

class LinkInput : public InputStream {
 public:
  explicit LinkInput(std::shared_ptr<SocketLink> link) : link_(std::move(link)) {}
  size_t Load(void* buffer, size_t max) override { return link_->Load(buffer, max); }
  void Close() noexcept override { link_->CloseInput(); }

 private:
  std::shared_ptr<SocketLink> link_;
};

class LinkOutput : public OutputStream {
 public:
  explicit LinkOutput(std::shared_ptr<SocketLink> link) : link_(std::move(link)) {}
  size_t Store(const void* data, size_t length, Deadline deadline) override {
    return link_->Store(data, length, deadline);
  }
  bool Flush(Deadline deadline) override { return link_->Flush(deadline); }
  void Close() noexcept override { link_->CloseOutput(); }

 private:
  std::shared_ptr<SocketLink> link_;
};

}  // namespace

SocketLink::SocketLink(OwnedFd fd, bool waitSendQueue)
    : fd_(std::move(fd)), waitSendQueue_(waitSendQueue) {
  const int flags = ::fcntl(fd_.Get(), F_GETFL);
  if (flags >= 0) ::fcntl(fd_.Get(), F_SETFL, flags | O_NONBLOCK);
}

size_t SocketLink::Load(void* buffer, size_t max) {
  if (inputClosed_.load()) throw Cancelled();
  if (max == 0) return 0;
  for (;;) {
    const ssize_t n = ::recv(fd_.Get(), buffer, max, MSG_DONTWAIT);
    if (n > 0) return static_cast<size_t>(n);
    // A close shuts the socket down, which reads as an end: tell them apart.
    if (inputClosed_.load()) throw Cancelled();
    if (n == 0) return 0;
    if (errno == EINTR) continue;
    if (errno != EAGAIN && errno != EWOULDBLOCK) {
      // A reset or a vanished link is the end of this stream.
      if (errno == ECONNRESET || errno == ENOTCONN || errno == EPIPE) return 0;
      throw Error(kHrFail);
    }
    // Blocks without spinning; the limit only bounds each poll call.
    if (PollWait(fd_.Get(), POLLIN, 60000) < 0) throw Error(kHrFail);
  }
}

size_t SocketLink::Store(const void* data, size_t length, Deadline deadline) {
  if (outputClosed_.load()) throw Error(kHrFail);
  const auto* bytes = static_cast<const uint8_t*>(data);
  size_t sent = 0;
  while (sent < length) {
    const ssize_t n = ::send(fd_.Get(), bytes + sent, length - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
      // What was delivered before the failure counts; the next store fails.
      if (sent > 0) return sent;
      throw Error(kHrFail);
    }
    const int left = MillisecondsLeft(deadline);
    if (left == 0) break;
    if (PollWait(fd_.Get(), POLLOUT, left) < 0) throw Error(kHrFail);
    if (outputClosed_.load()) break;
  }
  return sent;
}

bool SocketLink::Flush(Deadline deadline) {
  if (outputClosed_.load()) throw Error(kHrFail);
  if (!waitSendQueue_) return true;
  for (;;) {
    int queued = 0;
    if (::ioctl(fd_.Get(), SIOCOUTQ, &queued) != 0) throw Error(kHrFail);
    if (queued == 0) return true;
    if (MillisecondsLeft(deadline) == 0 || outputClosed_.load()) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

void SocketLink::CloseInput() noexcept {
  inputClosed_.store(true);
  ::shutdown(fd_.Get(), SHUT_RD);
}

void SocketLink::CloseOutput() noexcept {
  outputClosed_.store(true);
  ::shutdown(fd_.Get(), SHUT_WR);
}

void SocketLink::Close() noexcept {
  inputClosed_.store(true);
  outputClosed_.store(true);
  ::shutdown(fd_.Get(), SHUT_RDWR);
}

void SocketLink::Sever() noexcept { ::shutdown(fd_.Get(), SHUT_RDWR); }

void SocketLink::WakeInput() noexcept { ::shutdown(fd_.Get(), SHUT_RD); }

std::shared_ptr<InputStream> SocketLink::MakeInput() {
  return std::make_shared<LinkInput>(shared_from_this());
}

std::shared_ptr<OutputStream> SocketLink::MakeOutput() {
  return std::make_shared<LinkOutput>(shared_from_this());
}

}  // namespace tilo2::core::hal
