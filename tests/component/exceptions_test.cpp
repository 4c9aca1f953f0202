#include "orvik/tilo2/exceptions.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace Orvik::Tilo::Tilo2;

namespace {

TEST(ExceptionsTest, StandardCodes) {
  EXPECT_EQ(static_cast<uint32_t>(kEFail), 0x80004005u);
  EXPECT_EQ(static_cast<uint32_t>(kEInvalidArg), 0x80070057u);
  EXPECT_EQ(static_cast<uint32_t>(kENotImpl), 0x80004001u);
  EXPECT_EQ(static_cast<uint32_t>(kEPointer), 0x80004003u);
  EXPECT_EQ(static_cast<uint32_t>(kEIllegalMethodCall), 0x8000000Eu);
  EXPECT_LT(kEFail, 0);  // failure codes are negative, as callers test them
}

TEST(ExceptionsTest, RuntimeExceptionCarriesCodeAndMessage) {
  try {
    throw RuntimeException(kEInvalidArg, "width out of range");
  } catch (const std::exception& e) {
    EXPECT_STREQ(e.what(), "width out of range");
    const auto* runtime = dynamic_cast<const RuntimeException*>(&e);
    ASSERT_NE(runtime, nullptr);
    EXPECT_EQ(runtime->HResult(), kEInvalidArg);
  }
  // Without a message the text still names the code.
  EXPECT_NE(std::strstr(RuntimeException(kENotImpl).what(), "80004001"), nullptr);
}

TEST(ExceptionsTest, CanceledIsARuntimeException) {
  try {
    throw OperationCanceledException();
  } catch (const RuntimeException& e) {
    EXPECT_EQ(e.HResult(), kECanceled);
    EXPECT_NE(dynamic_cast<const OperationCanceledException*>(&e), nullptr);
  }
}

}  // namespace
