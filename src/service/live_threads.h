#pragma once
// Counts the client's running threads, so tests can see that every thread a
// connection, a request or a monitor started has ended.

#include <atomic>
#include <cstdint>

namespace tilo2::core {

std::atomic<int32_t>& TdevLiveThreads();

// Held by a thread of the client for its whole run.
class TdevLiveThread {
 public:
  TdevLiveThread() { TdevLiveThreads().fetch_add(1); }
  ~TdevLiveThread() { TdevLiveThreads().fetch_sub(1); }
  TdevLiveThread(const TdevLiveThread&) = delete;
  TdevLiveThread& operator=(const TdevLiveThread&) = delete;
};

}  // namespace tilo2::core
