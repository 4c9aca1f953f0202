// Socket calls of the wrapper. Failures leave errno in the wrapper's code
// space: callers compare against 112, 11, 138, ... on every platform, so a
// native errno (Linux's 110 is not the wrapper's 110) is never passed on.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>

#include "foundation/owned_fd.h"
#include "foundation/platform.h"
#include "foundation/poll_wait.h"

namespace tilo2::core {

namespace {

int FailWithMappedErrno() {
  errno = platform_socket_errno(errno);
  return -1;
}

// Closes the socket of a failed connect, keeping the wrapper code in errno.
int CloseFailed(OwnedFd& socket, int code) {
  socket.Reset();
  errno = code;
  return -1;
}

}  // namespace

int platform_socket_errno(int native_error) {
  switch (native_error) {
    case 0:
      return PLATFORM_OK;
    case EINTR:
      return PLATFORM_EINTR;
    case EAGAIN:
      return PLATFORM_EWOULDBLOCK;
    case ENOMEM:
      return PLATFORM_ENOMEM;
    case EACCES:
      return PLATFORM_EACCES;
    case EMFILE:
      return PLATFORM_EMFILE;
    case ENFILE:
      return PLATFORM_ENFILE;
    case EPIPE:
      return PLATFORM_EPIPE;
    case EINPROGRESS:
      return PLATFORM_EINPROGRESS;
    case EPROTONOSUPPORT:
      return PLATFORM_EPROTONOSUPPORT;
    case EAFNOSUPPORT:
      return PLATFORM_EAFNOSUPPORT;
    case ENETUNREACH:
      return PLATFORM_ENETUNREACH;
    case ECONNABORTED:
      return PLATFORM_ECONNABORTED;
    case ECONNRESET:
      return PLATFORM_ECONNRESET;
    case ENOBUFS:
      return PLATFORM_ENOBUFS;
    case ENOTCONN:
      return PLATFORM_ENOTCONN;
    case ETIMEDOUT:
      return PLATFORM_ETIMEDOUT;
    case ECONNREFUSED:
      return PLATFORM_ECONNREFUSED;
    case EHOSTUNREACH:
      return PLATFORM_EHOSTUNREACH;
    default:
      return PLATFORM_ESOCKET;
  }
}

int platform_socket(int family, int type, int protocol) {
  const int s = ::socket(family, type | SOCK_CLOEXEC, protocol);
  return s >= 0 ? s : FailWithMappedErrno();
}

int platform_closesocket(int socket) {
  const int saved = errno;
  if (::close(socket) == 0) return 0;
  errno = saved;
  return -1;
}

int platform_ioctlsocket(int socket, unsigned long command, uint32_t* argument) {
  if (argument == nullptr) {
    errno = PLATFORM_EINVAL;
    return -1;
  }
  if (command == static_cast<unsigned long>(FIONBIO)) {
    const int flags = fcntl(socket, F_GETFL, 0);
    if (flags < 0) return FailWithMappedErrno();
    const int wanted = *argument != 0 ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return fcntl(socket, F_SETFL, wanted) == 0 ? 0 : FailWithMappedErrno();
  }
  int value = static_cast<int>(*argument);
  if (::ioctl(socket, command, &value) != 0) return FailWithMappedErrno();
  *argument = static_cast<uint32_t>(value);
  return 0;
}

int platform_connect(int socket, const struct sockaddr* address, socklen_t length) {
  if (address == nullptr) {
    errno = PLATFORM_EINVAL;
    return -1;
  }
  return ::connect(socket, address, length) == 0 ? 0 : FailWithMappedErrno();
}

int platform_getaddrinfo(const char* host, const char* service, const struct addrinfo* hints,
                         struct addrinfo** out) {
  if ((host == nullptr && service == nullptr) || hints == nullptr || out == nullptr) {
    return PLATFORM_EAI_FAILED;
  }
  *out = nullptr;
  struct addrinfo* list = nullptr;
  if (::getaddrinfo(host, service, hints, &list) != 0 || list == nullptr) {
    if (list != nullptr) ::freeaddrinfo(list);
    return PLATFORM_EAI_FAILED;
  }
  *out = list;
  return PLATFORM_OK;
}

int platform_connect_bounded(const struct addrinfo* address, int milliseconds) {
  if (address == nullptr) {
    errno = PLATFORM_EINVAL;
    return -1;
  }
  OwnedFd fd(platform_socket(address->ai_family, address->ai_socktype, address->ai_protocol));
  if (!fd) return -1;
  uint32_t on = 1;
  if (platform_ioctlsocket(fd.Get(), FIONBIO, &on) != 0) return CloseFailed(fd, errno);
  if (platform_connect(fd.Get(), address->ai_addr, address->ai_addrlen) == 0) return fd.Release();
  if (errno != PLATFORM_EINPROGRESS && errno != PLATFORM_EWOULDBLOCK) return CloseFailed(fd, errno);
  const int ready = PollWait(fd.Get(), POLLOUT, milliseconds);
  if (ready == 0) return CloseFailed(fd, PLATFORM_ETIMEDOUT);
  if (ready < 0) return CloseFailed(fd, PLATFORM_ESOCKET);
  int error = 0;
  socklen_t length = sizeof error;
  if (::getsockopt(fd.Get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
    return CloseFailed(fd, PLATFORM_ESOCKET);
  }
  return error == 0 ? fd.Release() : CloseFailed(fd, platform_socket_errno(error));
}

}  // namespace tilo2::core
