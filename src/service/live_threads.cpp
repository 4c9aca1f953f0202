#include "service/live_threads.h"

#include "service/test_hooks.h"

namespace tilo2::core {

std::atomic<int32_t>& TdevLiveThreads() {
  static std::atomic<int32_t> count{0};
  return count;
}

int32_t TdevLiveThreadCount() { return TdevLiveThreads().load(); }

}  // namespace tilo2::core
