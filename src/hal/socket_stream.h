#pragma once
// A connected stream socket (a kernel RFCOMM socket, one end of a socketpair)
// as the layer's input and output streams. The descriptor stays open until the
// link and both streams are gone, so a close never races a running call on a
// reused descriptor; closing shuts the socket down instead, which wakes a
// blocked load.

#include <atomic>
#include <memory>

#include "foundation/owned_fd.h"
#include "hal/hal.h"

namespace tilo2::core::hal {

class SocketLink : public std::enable_shared_from_this<SocketLink> {
 public:
  // Takes the descriptor and makes it non-blocking. waitSendQueue: Flush waits
  // until the kernel's send queue is empty (else data handed to the kernel
  // counts as gone).
  SocketLink(OwnedFd fd, bool waitSendQueue);
  SocketLink(const SocketLink&) = delete;
  SocketLink& operator=(const SocketLink&) = delete;

  // Stream semantics of hal::InputStream / hal::OutputStream.
  size_t Load(void* buffer, size_t max);
  size_t Store(const void* data, size_t length, Deadline deadline);
  bool Flush(Deadline deadline);
  void CloseInput() noexcept;
  void CloseOutput() noexcept;
  void Close() noexcept;
  bool InputClosed() const { return inputClosed_.load(); }
  bool Closed() const { return inputClosed_.load() && outputClosed_.load(); }

  // Ends the link as a vanished peer would: loads see the end of the stream,
  // stores fail. The streams stay open.
  void Sever() noexcept;
  // Wakes a blocked load without closing (it reports the end of the stream
  // unless its caller checks why first).
  void WakeInput() noexcept;

  // Streams over this link (each keeps the link alive).
  std::shared_ptr<InputStream> MakeInput();
  std::shared_ptr<OutputStream> MakeOutput();

  int Fd() const { return fd_.Get(); }

 private:
  OwnedFd fd_;
  bool waitSendQueue_;
  std::atomic<bool> inputClosed_{false};
  std::atomic<bool> outputClosed_{false};
};

}  // namespace tilo2::core::hal
