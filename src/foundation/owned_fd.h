#pragma once
// A socket or file descriptor that closes itself: the one owned descriptor of
// the core. Move-only; Release() hands the descriptor back to the caller.

#include <utility>

#include "foundation/platform.h"

namespace tilo2::core {

class OwnedFd {
 public:
  OwnedFd() = default;
  explicit OwnedFd(int fd) : fd_(fd) {}
  ~OwnedFd() { Reset(); }
  OwnedFd(OwnedFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    if (this != &other) Reset(std::exchange(other.fd_, -1));
    return *this;
  }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;

  int Get() const { return fd_; }
  bool Valid() const { return fd_ >= 0; }
  explicit operator bool() const { return Valid(); }
  int Release() { return std::exchange(fd_, -1); }
  // Closes the held descriptor (if any) and takes fd.
  void Reset(int fd = -1) {
    if (fd_ >= 0) platform_closesocket(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace tilo2::core
