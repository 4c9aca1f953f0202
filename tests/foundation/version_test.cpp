#include "orvik/tilo2/version.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "orvik/tilo2/version.h"

TEST(Version, IsTheSdkVersionString) { EXPECT_STREQ(Orvik::Tilo::Tilo2::kSdkVersion, "Ver.2.7.0"); }

// The library's run-time version must be the one its header announces, in
// text and in the numeric macros an app compares with #if.
TEST(Version, RunTimeVersionMatchesTheHeader) {
  const char* runTime = Orvik::Tilo::Tilo2::Version();
  ASSERT_NE(runTime, nullptr);
  EXPECT_STREQ(runTime, Orvik::Tilo::Tilo2::kSdkVersion);
  EXPECT_STREQ(runTime, TILO2_VERSION_TEXT);

  char fromMacros[32];
  std::snprintf(fromMacros, sizeof fromMacros, "Ver.%d.%d.%d", TILO2_VERSION_MAJOR,
                TILO2_VERSION_MINOR, TILO2_VERSION_PATCH);
  EXPECT_STREQ(runTime, fromMacros);
  EXPECT_EQ(TILO2_VERSION,
            TILO2_VERSION_MAJOR * 10000 + TILO2_VERSION_MINOR * 100 + TILO2_VERSION_PATCH);
}
