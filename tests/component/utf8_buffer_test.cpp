#include "component/utf8_buffer.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

using namespace tilo2::core;
using namespace Orvik::Tilo::Tilo2;

namespace {

// What the core receives: the buffer's bytes up to and including the terminator.
std::string CoreBytes(const String& text) {
  const std::shared_ptr<char[]> buffer = CommonUtils::ToUtf8(text);
  if (!buffer) return "<no buffer>";
  return std::string(buffer.get(), std::strlen(buffer.get()) + 1);
}

TEST(Utf8BufferTest, WhatReachesTheCore) {
  struct Case {
    const char* name;
    String text;
    std::string bytes;  // terminator included
  };
  const Case cases[] = {
      {"ill-formed pair from an app", CommonUtils::FromUtf8("\xC3\x28"),
       std::string("\xEF\xBF\xBD\x28\0", 5)},
      {"lone high surrogate", String(u"\xD800"), std::string("\xEF\xBF\xBD\0", 4)},
      {"lone low surrogate between letters", String(u"a\xDC00z"),
       std::string("a\xEF\xBF\xBDz\0", 6)},
      {"supplementary character", String(u"\U0001F600"), std::string("\xF0\x9F\x98\x80\0", 5)},
      {"target", String("TCP:192.168.0.10"), std::string("TCP:192.168.0.10\0", 17)},
      {"empty: only the terminator", String(""), std::string("\0", 1)},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(CoreBytes(c.text), c.bytes) << c.name;
  }
}

TEST(Utf8BufferTest, FromTheCore) {
  EXPECT_EQ(CommonUtils::FromUtf8("\xF0\x9F\x98\x80"), String(u"\U0001F600"));
  EXPECT_EQ(CommonUtils::FromUtf8(CommonUtils::ToUtf8(String(u"\U0001F600 ok")).get()),
            String(u"\U0001F600 ok"));
  EXPECT_EQ(CommonUtils::FromUtf8("\xE2\x82"), String(u"\xFFFD"));
  EXPECT_TRUE(CommonUtils::FromUtf8(nullptr).empty());
  EXPECT_TRUE(CommonUtils::FromUtf8("").empty());
}

// The buffer outlives the string it came from, and copies share it.
TEST(Utf8BufferTest, BufferIsSharedAndOwnsItsBytes) {
  std::shared_ptr<char[]> copy;
  {
    const String text("TCP:192.168.0.10");
    auto buffer = CommonUtils::ToUtf8(text);
    copy = buffer;
    EXPECT_EQ(copy.use_count(), 2);
  }
  EXPECT_EQ(copy.use_count(), 1);
  EXPECT_STREQ(copy.get(), "TCP:192.168.0.10");
}

}  // namespace
