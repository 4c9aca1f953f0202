#include <gtest/gtest.h>

#include "device/discovery_engine.h"

namespace tilo2::core {
namespace {

TEST(DiscoveryEngine, RefusesANullFilter) { EXPECT_NE(TdcStartDiscovery(nullptr, nullptr), 0); }

}  // namespace
}  // namespace tilo2::core
