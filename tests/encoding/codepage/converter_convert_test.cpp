// Converting text into code-table bytes with ESC t / ESC R switches.
#include <gtest/gtest.h>

#include <string>

#include "converter_test_util.h"
#include "encoding/codepage/ovuc_convert.h"
#include "encoding/codepage/ovuc_model.h"
#include "encoding/codepage/ovuc_settings.h"

using namespace tilo2::core;

namespace {

using convtest::Bytes;
using convtest::ConvertText;
using convtest::Open;

constexpr uint8_t ESC = 0x1B;

struct Case {
  const char* model;
  std::string text;
  int rc;
  Bytes bytes;
};

std::string Name(const Case& c) { return std::string(c.model) + " \"" + c.text + "\""; }

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    const OvucHandle h = Open(c.model);
    ASSERT_GT(h, 0) << Name(c);
    const convtest::Converted got = ConvertText(h, c.text);
    EXPECT_EQ(got.rc, c.rc) << Name(c);
    EXPECT_EQ(got.bytes, c.bytes) << Name(c);
    EXPECT_EQ(OvucCloseHandle(h), OVUC_OK);
  }
}

// Golden byte strings of single texts on a new handle.
TEST(ConverterConvert, GoldenBytes) {
  RunCases({
      // Plain ASCII: the first byte always carries its table.
      {"RP-S12E_ank.txt", "AB", 0, {ESC, 't', 0, 'A', 'B'}},
      // Euro: absent from 437, the lowest table holding it is 857 (13); B stays there.
      {"RP-S12E_ank.txt", "A\u20ACB", 0, {ESC, 't', 0, 'A', ESC, 't', 13, 0xD5, 'B'}},
      // A switch forced by the first character: one ESC t with the final table.
      {"RP-S12E_ank.txt", "\u20AC", 0, {ESC, 't', 13, 0xD5}},
      // Korean set: ESC R 13, the byte, back to ICSCommandDefault (11 here, 0 elsewhere).
      {"RP-S12E_ank.txt", "\u20A9A", 0, {ESC, 't', 0, ESC, 'R', 13, 0x5C, ESC, 'R', 11, 'A'}},
      {"RP-S12F_ank.txt", "\u20A9A", 0, {ESC, 't', 0, ESC, 'R', 13, 0x5C, ESC, 'R', 0, 'A'}},
      // A switch back after the last byte is written at the end.
      {"RP-S12F_ank.txt", "\u20A9", 0, {ESC, 't', 0, ESC, 'R', 13, 0x5C, ESC, 'R', 0}},
      // Switch back first, then the next set or table.
      {"RP-S12F_ank.txt",
       "\u20A9\u20A9",
       0,
       {ESC, 't', 0, ESC, 'R', 13, 0x5C, ESC, 'R', 0, ESC, 'R', 13, 0x5C, ESC, 'R', 0}},
      {"RP-S12F_ank.txt",
       "\u20A9\u20AC",
       0,
       {ESC, 't', 0, ESC, 'R', 13, 0x5C, ESC, 'R', 0, ESC, 't', 13, 0xD5}},
      // Vietnamese set of family 7.
      {"RP-S6_sa.txt", "\u20AB", 0, {ESC, 't', 0, ESC, 'R', 16, 0x23, ESC, 'R', 0}},
      // e + combining acute composes to the one byte of U+00E9 (0x82 in 437).
      {"RP-S12E_ank.txt", "e\u0301", 0, {ESC, 't', 0, 0x82}},
      // A mark alone: its spacing form U+00B4 (850: 0xEF), or "?" when no table has it.
      {"RP-S6_ank.txt", "\u0301", 0, {ESC, 't', 2, 0xEF}},
      {"RP-D6_sc.txt", "\u0301", 0, {ESC, 't', 0, '?'}},
      // A mark with no composition stays a character of its own.
      {"RP-D6_sc.txt", "x\u0301", 0, {ESC, 't', 0, 'x', '?'}},
      // Characters no table holds become "?" in the current table.
      {"RP-S12E_ank.txt", "A\u4E00B", 0, {ESC, 't', 0, 'A', '?', 'B'}},
      {"RP-S12E_ank.txt", "\U0001F600", 0, {ESC, 't', 0, '?'}},
      // Invalid UTF-8 in the middle: "?" in its place, the rest converted.
      {"RP-S12E_ank.txt",
       "A\x80"
       "B",
       OVUC_WARN_BAD_UTF8,
       {ESC, 't', 0, 'A', '?', 'B'}},
      // Control bytes pass through table 0.
      {"RP-S12E_ank.txt", "A\nB", 0, {ESC, 't', 0, 'A', '\n', 'B'}},
  });
}

// Malformed UTF-8: every bad byte costs one "?", nothing is read past the input
// (the texts are handed over in blocks of their exact size).
TEST(ConverterConvert, MalformedUtf8) {
  const Bytes pre = {ESC, 't', 0};
  struct Utf8Case {
    std::string text;
    std::string expected;  // after ESC t 0
  };
  const Utf8Case cases[] = {
      {"A\xC3", "A?"},          // two-byte form cut at the end
      {"A\xE2\x82", "A??"},     // three-byte form cut: lead, then a lone continuation
      {"\xF0\x9F\x98", "???"},  // four-byte form cut
      {"\xE2"
       "A\x82"
       "B",
       "?A?B"},                           // continuation missing, lone continuation
      {"\xBF", "?"},                      // lone continuation byte
      {"\xF8\x88\x80\x80\x80", "?????"},  // five-byte lead and its tail
      {"\xFF\xFE", "??"},
      {"\xF4\x90\x80\x80"
       "A",
       "?A"},  // beyond U+10FFFF: one missing character
      {"\xC0\xAF"
       "A",
       "?A"},  // overlong "/"
      {"\xE0\x80\xAF"
       "A",
       "?A"},  // overlong "/" in three bytes
      {"\xF0\x8F\xBF\xBF"
       "A",
       "?A"},                                  // overlong U+FFFF in four bytes
      {"\xFC\x84\x80\x80\x80\x80", "??????"},  // six-byte lead and its tail
      {"\xED\xA0\x80"
       "A",
       "?A"},  // an encoded surrogate
  };
  for (const Utf8Case& c : cases) {
    const OvucHandle h = Open("RP-S12E_ank.txt");
    ASSERT_GT(h, 0);
    const convtest::Converted got = ConvertText(h, c.text);
    Bytes want = pre;
    want.insert(want.end(), c.expected.begin(), c.expected.end());
    EXPECT_EQ(got.rc, OVUC_WARN_BAD_UTF8) << c.expected;
    EXPECT_EQ(got.bytes, want) << c.expected;
    OvucCloseHandle(h);
  }
}

// A base with marks gives the bytes of the precomposed character, through a
// chain of decompositions and whatever the order of marks of different classes.
TEST(ConverterConvert, ComposesLikeThePrecomposedCharacter) {
  struct Pair {
    const char* decomposed;
    const char* precomposed;
  };
  const Pair pairs[] = {
      {"e\u0301", "\u00E9"},
      {"\u03B9\u0308\u0301", "\u0390"},  // iota + diaeresis + acute, two steps
      {"a\u0302\u0323", "\u1EAD"},       // classes 230 then 220: reordered first
      {"a\u0323\u0302", "\u1EAD"},
      {"A\u030A", "\u00C5"},
  };
  // Each text on a new handle, so both start from table 0.
  auto fresh = [](const char* text) {
    const OvucHandle h = Open("RP-S12E_ank.txt");
    const convtest::Converted got = ConvertText(h, text);
    OvucCloseHandle(h);
    return got.bytes;
  };
  for (const Pair& p : pairs) {
    const Bytes want = fresh(p.precomposed);
    ASSERT_EQ(want.size(), 4u) << p.precomposed;  // ESC t n and one byte
    EXPECT_NE(want[3], '?');
    EXPECT_EQ(fresh(p.decomposed), want) << p.decomposed;
  }
}

TEST(ConverterConvert, CurrentTableCarriesOverToTheNextText) {
  const OvucHandle h = Open("RP-S12E_ank.txt");
  ASSERT_GT(h, 0);
  EXPECT_EQ(ConvertText(h, "\u20AC").bytes, (Bytes{ESC, 't', 13, 0xD5}));
  // A new output begins with the table it is in, here still 13.
  EXPECT_EQ(ConvertText(h, "A").bytes, (Bytes{ESC, 't', 13, 'A'}));
  // Back to 437 only for a character that 857 lacks (U+207F, 0xFC in 437).
  EXPECT_EQ(ConvertText(h, "\u207F").bytes, (Bytes{ESC, 't', 0, 0xFC}));
  OvucCloseHandle(h);
}

TEST(ConverterConvert, SeveralTextsAppendUntilFetched) {
  const OvucHandle h = Open("RP-S12F_ank.txt");
  ASSERT_GT(h, 0);
  OvucSetEncodeType(h);
  ASSERT_EQ(OvucSetData(h, "A", 1), OVUC_OK);
  ASSERT_EQ(OvucSetData(h, "\xE2\x82\xAC", 3), OVUC_OK);
  size_t size = 0;
  EXPECT_EQ(OvucGetOutputData(h, nullptr, &size), OVUC_ERR_BUFFER_SMALL);
  EXPECT_EQ(size, 8u);
  Bytes out(size);
  EXPECT_EQ(OvucGetOutputData(h, out.data(), &size), OVUC_OK);
  EXPECT_EQ(out, (Bytes{ESC, 't', 0, 'A', ESC, 't', 13, 0xD5}));
  // A second query after the fetch: nothing left.
  size = 99;
  Bytes spare(99);
  EXPECT_EQ(OvucGetOutputData(h, spare.data(), &size), OVUC_OK);
  EXPECT_EQ(size, 0u);
  size = 0;
  EXPECT_EQ(OvucGetOutputData(h, nullptr, &size), OVUC_OK);
  EXPECT_EQ(size, 0u);
  OvucCloseHandle(h);
}

TEST(ConverterConvert, FetchArgumentsAndSmallBuffers) {
  const OvucHandle h = Open("RP-S12F_ank.txt");
  ASSERT_GT(h, 0);
  OvucSetEncodeType(h);
  ASSERT_EQ(OvucSetData(h, "AB", 2), OVUC_OK);
  uint8_t buf[8] = {};
  EXPECT_EQ(OvucGetOutputData(h, buf, nullptr), OVUC_ERR_ARGUMENT);
  size_t size = 4;
  EXPECT_EQ(OvucGetOutputData(h, nullptr, &size), OVUC_ERR_ARGUMENT);
  // Too small: only the size changes, nothing is written, the output stays.
  size = 4;
  EXPECT_EQ(OvucGetOutputData(h, buf, &size), OVUC_ERR_BUFFER_SMALL);
  EXPECT_EQ(size, 5u);
  EXPECT_EQ(buf[0], 0);
  size = sizeof buf;
  EXPECT_EQ(OvucGetOutputData(h, buf, &size), OVUC_OK);
  EXPECT_EQ(Bytes(buf, buf + size), (Bytes{ESC, 't', 0, 'A', 'B'}));
  // Null or empty data.
  EXPECT_EQ(OvucSetData(h, nullptr, 3), OVUC_ERR_ARGUMENT);
  EXPECT_EQ(OvucSetData(h, "A", 0), OVUC_ERR_ARGUMENT);
  OvucCloseHandle(h);
}

// A text that answered negative must not reach the next text when the caller
// drops it without fetching.
TEST(ConverterConvert, FailedTextNeverLeaksIntoTheNext) {
  const OvucHandle h = Open("RP-S12F_ank.txt");
  ASSERT_GT(h, 0);
  OvucSetEncodeType(h);
  ASSERT_EQ(OvucSetData(h, "X", 1), OVUC_OK);
  ASSERT_EQ(OvucSetData(h,
                        "A\x80"
                        "B",
                        3),
            OVUC_WARN_BAD_UTF8);
  // The caller gives up on this text and converts the next one.
  EXPECT_EQ(ConvertText(h, "C").bytes, (Bytes{ESC, 't', 0, 'C'}));

  // The same after a full output chain (5 blocks of 65536 bytes).
  const std::string huge(5 * 65536 + 10, 'A');
  EXPECT_EQ(OvucSetData(h, huge.data(), huge.size()), OVUC_ERR_OUTPUT_FULL);
  EXPECT_EQ(ConvertText(h, "D").bytes, (Bytes{ESC, 't', 0, 'D'}));

  // A refused call converted nothing: the text before it stays.
  ASSERT_EQ(OvucSetData(h, "Y", 1), OVUC_OK);
  EXPECT_EQ(OvucSetData(h, nullptr, 0), OVUC_ERR_ARGUMENT);
  EXPECT_EQ(ConvertText(h, "E").bytes, (Bytes{ESC, 't', 0, 'Y', 'E'}));
  OvucCloseHandle(h);
}

TEST(ConverterConvert, FullChainKeepsWhatWasProduced) {
  const OvucHandle h = Open("RP-S12F_ank.txt");
  ASSERT_GT(h, 0);
  const std::string huge(5 * 65536 + 1, 'A');
  const convtest::Converted got = ConvertText(h, huge);
  EXPECT_EQ(got.rc, OVUC_ERR_OUTPUT_FULL);
  ASSERT_EQ(got.bytes.size(), 3u + 5 * 65536);
  EXPECT_EQ(got.bytes[3], 'A');
  EXPECT_EQ(got.bytes.back(), 'A');
  OvucCloseHandle(h);
}

// A handle gives back the code point list of a long text rather than holding
// it for as long as its builder lives; short texts keep reusing theirs.
TEST(ConverterConvert, LongTextListIsNotKeptByTheHandle) {
  OvucHandleState h;
  ASSERT_EQ(OvucReadSettings("OrvUCSet.txt", h.settings), 0);
  ASSERT_EQ(OvucLoadModel(h.settings, "RP-S12F_ank.txt", h.model), 0);
  ASSERT_TRUE(h.output.Init(h.settings.outputBufferBlockSize, h.settings.outputBufferBlockMax));
  const std::string text(kOvucKeptCodePoints * 4, 'A');
  ASSERT_EQ(OvucConvert(h, reinterpret_cast<const uint8_t*>(text.data()), text.size()), OVUC_OK);
  EXPECT_LE(h.codePoints.capacity(), kOvucKeptCodePoints);
  h.output.Clear();
  ASSERT_EQ(OvucConvert(h, reinterpret_cast<const uint8_t*>("AB"), 2), OVUC_OK);
  EXPECT_GE(h.codePoints.capacity(), 2u);
}

}  // namespace
