#include "service/live_threads.h"

#include <gtest/gtest.h>

#include "service/test_hooks.h"

namespace tilo2::core {
namespace {

TEST(LiveThreads, CountsThreadsForTheirWholeRun) {
  const int32_t before = TdevLiveThreadCount();
  {
    TdevLiveThread a;
    TdevLiveThread b;
    EXPECT_EQ(TdevLiveThreadCount(), before + 2);
  }
  EXPECT_EQ(TdevLiveThreadCount(), before);
}

}  // namespace
}  // namespace tilo2::core
