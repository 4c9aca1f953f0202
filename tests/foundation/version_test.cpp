#include <gtest/gtest.h>

#include <cstring>

#include "orvik/tilo2/version.h"

TEST(Version, IsTheSdkVersionString) {
  EXPECT_STREQ(orvik::tilo2::kSdkVersion, "Ver.2.7.0");
}
