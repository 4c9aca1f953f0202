#include "orvik/tilo2/string.h"

#include <gtest/gtest.h>

#include <string>

using Orvik::Tilo::Tilo2::String;

namespace {

TEST(StringTest, IllFormedPairBecomesReplacementThenAscii) {
  const String s(std::string_view("\xC3\x28", 2));
  EXPECT_EQ(s.u16(), std::u16string_view(u"\uFFFD("));
  EXPECT_EQ(s.utf8(), "\xEF\xBF\xBD\x28");
}

TEST(StringTest, LoneSurrogatesComeBackAsReplacement) {
  const char16_t high[] = {u'a', 0xD83D, u'b', 0};
  const char16_t low[] = {0xDE00, 0};
  const char16_t reversed[] = {0xDE00, 0xD83D, 0};
  EXPECT_EQ(String(high).utf8(),
            "a\xEF\xBF\xBD"
            "b");
  EXPECT_EQ(String(low).utf8(), "\xEF\xBF\xBD");
  EXPECT_EQ(String(reversed).utf8(), "\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(StringTest, SupplementaryCharacterRoundTrips) {
  const String s("\xF0\x9F\x98\x80");
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s.data()[0], 0xD83D);
  EXPECT_EQ(s.data()[1], 0xDE00);
  EXPECT_EQ(s.utf8(), "\xF0\x9F\x98\x80");
  EXPECT_EQ(String(s.u16()), s);
}

TEST(StringTest, WellFormedTextOfEveryLengthRoundTrips) {
  const std::string text = "A\xC3\xA9\xE2\x82\xAC\xEF\xBF\xBF\xF4\x8F\xBF\xBF\xF0\x90\x80\x80z";
  const String s(text);
  EXPECT_EQ(s.u16(), std::u16string_view(u"A\u00E9\u20AC\uFFFF\U0010FFFF\U00010000z"));
  EXPECT_EQ(s.utf8(), text);
}

// Each maximal ill-formed subpart gives one U+FFFD; bytes after it decode anew.
TEST(StringTest, IllFormedUtf8Table) {
  struct Case {
    const char* name;
    std::string_view in;
    std::u16string_view out;
  };
  const Case cases[] = {
      {"truncated two-byte at end", "a\xC3", u"a\uFFFD"},
      {"truncated three-byte at end", "\xE2\x82", u"\uFFFD"},
      {"truncated four-byte at end", "\xF0\x9F\x98", u"\uFFFD"},
      {"truncated three-byte before ascii",
       "\xE2\x82"
       "A",
       u"\uFFFDA"},
      {"truncated four-byte before ascii",
       "\xF0\x9F\x98"
       "A",
       u"\uFFFDA"},
      {"two truncated in a row", "\xE2\x82\xE2\x82", u"\uFFFD\uFFFD"},
      {"overlong three-byte", "\xE0\x80\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"overlong two-byte C0", "\xC0\xAF", u"\uFFFD\uFFFD"},
      {"overlong two-byte C1", "\xC1\xBF", u"\uFFFD\uFFFD"},
      {"overlong four-byte", "\xF0\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"encoded surrogate", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"encoded low surrogate", "\xED\xBF\xBF", u"\uFFFD\uFFFD\uFFFD"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"lead F5", "\xF5\x80", u"\uFFFD\uFFFD"},
      {"byte FF", "\xFF", u"\uFFFD"},
      {"lone continuation", "\x80", u"\uFFFD"},
      {"continuations", "\x80\xBF\x80", u"\uFFFD\uFFFD\uFFFD"},
      {"lead followed by lead", "\xC3\xC3\xA9", u"\uFFFD\u00E9"},
      {"extra continuation", "\xC3\xA9\x80", u"\u00E9\uFFFD"},
      {"cut four-byte then valid", "\xF1\x80\x80\xE2\x82\xAC", u"\uFFFD\u20AC"},
  };
  for (const Case& c : cases) {
    const String s(c.in);
    EXPECT_EQ(s.u16(), c.out) << c.name;
    // And back: the replacement characters come back as EF BF BD.
    EXPECT_EQ(String(s.utf8()), s) << c.name;
  }
}

TEST(StringTest, NullAndEmptyAreOneValue) {
  const char* nullUtf8 = nullptr;
  const char16_t* nullUtf16 = nullptr;
  const String cases[] = {String(),   String(nullUtf8),           String(nullUtf16),
                          String(""), String(std::string_view()), String(u"")};
  for (const String& s : cases) {
    EXPECT_TRUE(s.empty());
    EXPECT_EQ(s.size(), 0u);
    EXPECT_EQ(s, String());
    EXPECT_EQ(s.utf8(), "");
    ASSERT_NE(s.data(), nullptr);
    EXPECT_EQ(s.data()[0], 0);
  }
}

TEST(StringTest, ConvertsImplicitlyAndCompares) {
  const auto take = [](const String& s) { return s; };
  EXPECT_EQ(take("abc"), take(u"abc"));
  EXPECT_EQ(take(std::string_view("abc")), take(std::u16string_view(u"abc")));
  EXPECT_FALSE(take("abc") == take("abd"));
  EXPECT_EQ(take("abc").size(), 3u);
  // An embedded NUL is kept from a view.
  EXPECT_EQ(String(std::string_view("a\0b", 3)).size(), 3u);
}

}  // namespace
