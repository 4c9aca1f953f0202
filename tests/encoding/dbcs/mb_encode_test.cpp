#include "encoding/dbcs/mb_encode.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "../utf8_text.h"

using namespace tilo2::core;

namespace {

using testtext::Utf8;

std::string Hex(const std::string& bytes) {
  static const char* digits = "0123456789ABCDEF";
  std::string out;
  for (unsigned char b : bytes) {
    if (!out.empty()) {
      out += ' ';
    }
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// Encodes from an exactly sized heap copy, so a read past the input trips
// the address sanitizer; also checks that the size query agrees.
template <typename Fn>
std::string Run(Fn encode, const std::string& text) {
  auto input = std::make_unique<char[]>(text.size());
  std::memcpy(input.get(), text.data(), text.size());
  const int expected = encode(input.get(), text.size(), nullptr, 0);
  EXPECT_GE(expected, 0);
  std::vector<char> out(static_cast<size_t>(expected) + 1, '\x5A');
  const int n = encode(input.get(), text.size(), out.data(), static_cast<size_t>(expected));
  EXPECT_EQ(n, expected) << "size query and real call disagree";
  EXPECT_EQ(out[static_cast<size_t>(expected)], '\x5A') << "wrote past the capacity";
  return std::string(out.data(), static_cast<size_t>(n < 0 ? 0 : n));
}

std::string Mb(MbKind kind, const std::string& text) {
  return Run(
      [kind](const char* s, size_t n, char* o, size_t c) { return MbEncodeUtf8(kind, s, n, o, c); },
      text);
}

std::string Kanji(const std::string& text) { return Run(Utf8ToKanjiBytes, text); }

struct Row {
  uint32_t cp;
  const char* hex;  // "" = unmapped, gives "?"
};

void ExpectRows(const char* what, const std::vector<Row>& rows, std::string (*encode)(uint32_t)) {
  for (const Row& row : rows) {
    const std::string expected = row.hex[0] == 0 ? "3F" : row.hex;
    EXPECT_EQ(Hex(encode(row.cp)), expected) << what << " U+" << std::hex << row.cp;
  }
}

template <MbKind Kind>
std::string MbOne(uint32_t cp) {
  return Mb(Kind, Utf8(cp));
}

std::string KanjiOne(uint32_t cp) { return Kanji(Utf8(cp)); }

TEST(MbEncodeUtf8, JapaneseRows) {
  ExpectRows("kind 0", {{0x0041, "41"},    {0x3042, "82 A0"}, {0x4E00, "88 EA"}, {0x301C, "81 60"},
                        {0xFF5E, "81 60"}, {0x2016, "81 61"}, {0x2225, "81 61"}, {0x2212, "81 7C"},
                        {0xFF0D, "81 7C"}, {0x00A2, "81 91"}, {0x00A3, "81 92"}, {0x00AC, "81 CA"},
                        {0x2170, "FA 40"}, {0x001A, "7F"},    {0x001C, "1A"},    {0x007F, "1C"},
                        {0xF86F, "87 82"}, {0xFF61, "A1"},    {0xE000, "F0 40"}, {0xE757, "F9 FC"},
                        {0x0000, ""},      {0x0080, ""},      {0x00A5, ""},      {0x203E, ""},
                        {0x3094, ""},      {0xE758, ""},      {0x9ADC, ""},      {0x9B72, ""},
                        {0x9B75, ""},      {0x9B8F, ""},      {0x9BB1, ""},      {0x9BBB, ""},
                        {0x9C00, ""},      {0x9D6B, ""},      {0x9D70, ""},      {0x9E19, ""},
                        {0x9ED1, ""},      {0xFA2D, ""},      {0x1F600, ""}},
             MbOne<MbKindJapanese>);
}

// The private use area fills the user-defined rows in order, trail by trail.
TEST(MbEncodeUtf8, PrivateUseAreaFillsTheUserDefinedRows) {
  struct Area {
    MbKind kind;
    uint32_t first, last;
    std::vector<std::pair<int, int>> leads;   // inclusive lead byte ranges
    std::vector<std::pair<int, int>> trails;  // inclusive trail byte ranges
  };
  const Area areas[] = {
      {MbKindJapanese, 0xE000, 0xE757, {{0xF0, 0xF9}}, {{0x40, 0x7E}, {0x80, 0xFC}}},
      {MbKindKorean, 0xE000, 0xE0BB, {{0xC9, 0xC9}, {0xFE, 0xFE}}, {{0xA1, 0xFE}}},
  };
  for (const Area& area : areas) {
    uint32_t cp = area.first;
    for (const auto& [leadFirst, leadLast] : area.leads) {
      for (int lead = leadFirst; lead <= leadLast; ++lead) {
        for (const auto& [trailFirst, trailLast] : area.trails) {
          for (int trail = trailFirst; trail <= trailLast; ++trail, ++cp) {
            const std::string expected{static_cast<char>(lead), static_cast<char>(trail)};
            ASSERT_EQ(Hex(Mb(area.kind, Utf8(cp))), Hex(expected))
                << area.kind << " U+" << std::hex << cp;
          }
        }
      }
    }
    EXPECT_EQ(cp, area.last + 1) << area.kind;
    EXPECT_EQ(Mb(area.kind, Utf8(cp)), "?") << area.kind;
  }
}

TEST(MbEncodeUtf8, SimplifiedChineseRows) {
  ExpectRows("kind 1",
             {{0x3042, "A4 A2"},
              {0x4E00, "D2 BB"},
              {0x20AC, "A2 E3"},
              {0x0080, "81 30 81 30"},
              {0xAC00, "82 37 CF 35"},
              {0x1E3F, "A8 BC"},
              {0xE7C7, "A8 BC"},
              {0xE000, "AA A1"},
              {0x10000, "90 30 81 30"},
              {0x1F600, "94 39 FC 36"},
              {0xE0FFF, "D3 39 B5 33"},
              {0xE1000, ""},
              {0x10FFFF, ""},
              {0x0000, ""},
              {0xFFFD, ""}},
             MbOne<MbKindSimplifiedChinese>);
}

TEST(MbEncodeUtf8, TraditionalChineseRows) {
  ExpectRows("kind 2",
             {{0x4E00, "A4 40"},
              {0x20AC, "A3 E1"},
              {0x0080, "80"},
              {0x2550, "F9 F9"},
              {0xE000, "FA 40"},
              {0x0000, ""},
              {0x00A2, ""},
              {0x00A3, ""},
              {0x00AC, ""},
              {0x3042, ""},
              {0x1F600, ""}},
             MbOne<MbKindTraditionalChinese>);
}

TEST(MbEncodeUtf8, KoreanRows) {
  ExpectRows("kind 3",
             {{0xAC00, "B0 A1"},
              {0xAC02, "81 41"},
              {0x3042, "AA A2"},
              {0x0080, "80"},
              {0xE000, "C9 A1"},
              {0xE05D, "C9 FE"},
              {0xE05E, "FE A1"},
              {0xE0BB, "FE FE"},
              {0x0000, ""},
              {0xE0BC, ""},
              {0x1F600, ""}},
             MbOne<MbKindKorean>);
}

TEST(Utf8ToKanjiBytes, BestFitRows) {
  ExpectRows("best fit",
             {{0x0000, "00"},
              {0x001A, "1A"},
              {0x001C, "1C"},
              {0x007F, "7F"},
              {0x0041, "41"},
              {0x0080, "80"},
              {0x00A5, "5C"},
              {0x00A9, "63"},
              {0x00AB, "81 E1"},
              {0x00AF, "81 50"},
              {0x301C, "81 60"},
              {0xFF5E, "81 60"},
              {0x3042, "82 A0"},
              {0x3094, "83 94"},
              {0x9ADC, "FC 40"},
              {0xE000, "F0 40"},
              {0xF86F, ""},
              {0xFFFF, ""}},
             KanjiOne);
}

// Each encoding's bytes must be well formed, and distinct code points must
// give distinct bytes except for the deliberate second spellings.
TEST(MbEncodeUtf8, EveryMappingIsWellFormedAndOnlyKnownDuplicatesShareBytes) {
  const std::map<MbKind, std::set<uint32_t>> allowedDuplicates = {
      {MbKindJapanese,
       {0xFF5E, 0x301C, 0x2225, 0x2016, 0xFF0D, 0x2212, 0xFFE0, 0x00A2, 0xFFE1, 0x00A3, 0xFFE2,
        0x00AC, 0x2116, 0xF86F}},
      {MbKindSimplifiedChinese, {0x1E3F, 0xE7C7}},
      {MbKindTraditionalChinese, {}},
      {MbKindKorean, {}},
  };
  for (const auto& [kind, duplicates] : allowedDuplicates) {
    std::map<std::string, uint32_t> seen;
    for (uint32_t cp = 1; cp < 0x10000; ++cp) {
      if (cp >= 0xD800 && cp <= 0xDFFF) {
        continue;
      }
      char out[4];
      const int n = MbEncodeCodePoint(kind, cp, out, sizeof out, 0);
      ASSERT_TRUE(n == 1 || n == 2 || n == 4) << kind << " " << cp;
      const auto* b = reinterpret_cast<const unsigned char*>(out);
      if (n == 1 && b[0] == '?' && cp != '?') {
        continue;
      }
      if (n == 2) {
        bool ok = false;
        switch (kind) {
          case MbKindJapanese:
            ok = ((b[0] >= 0x81 && b[0] <= 0x9F) || (b[0] >= 0xE0 && b[0] <= 0xFC)) &&
                 b[1] >= 0x40 && b[1] <= 0xFC && b[1] != 0x7F;
            break;
          case MbKindSimplifiedChinese:
            ok = b[0] >= 0x81 && b[0] <= 0xFE && b[1] >= 0x40 && b[1] <= 0xFE && b[1] != 0x7F;
            break;
          case MbKindTraditionalChinese:
            ok = b[0] >= 0x81 && b[0] <= 0xFE &&
                 ((b[1] >= 0x40 && b[1] <= 0x7E) || (b[1] >= 0xA1 && b[1] <= 0xFE));
            break;
          case MbKindKorean:
            ok = b[0] >= 0x81 && b[0] <= 0xFE && b[1] >= 0x41 && b[1] <= 0xFE;
            break;
        }
        ASSERT_TRUE(ok) << kind << " U+" << std::hex << cp;
      }
      if (n == 4) {
        ASSERT_EQ(kind, MbKindSimplifiedChinese);
        ASSERT_TRUE(b[0] >= 0x81 && b[0] <= 0x84 && b[1] >= 0x30 && b[1] <= 0x39 && b[2] >= 0x81 &&
                    b[2] <= 0xFE && b[3] >= 0x30 && b[3] <= 0x39)
            << "U+" << std::hex << cp;
      }
      const auto [it, inserted] = seen.emplace(std::string(out, static_cast<size_t>(n)), cp);
      if (!inserted) {
        EXPECT_TRUE(duplicates.count(cp) && duplicates.count(it->second))
            << kind << ": U+" << std::hex << it->second << " and U+" << cp << " share bytes";
      }
    }
  }
}

// The two Japanese encoders come from different sources; wherever kind 0 has
// a mapping the best-fit table must give the same bytes, except where kind 0
// rotates control codes and for the private-use numero sign.
TEST(Utf8ToKanjiBytes, AgreesWithJapaneseKindOnEveryMappingOfIt) {
  const std::set<uint32_t> differ = {0x1A, 0x1C, 0x7F, 0xF86F};
  int compared = 0;
  for (uint32_t cp = 1; cp < 0x10000; ++cp) {
    if ((cp >= 0xD800 && cp <= 0xDFFF) || cp == '?' || differ.count(cp)) {
      continue;
    }
    const std::string text = Utf8(cp);
    char kind0[4];
    char bestFit[4];
    const int n0 = MbEncodeUtf8(MbKindJapanese, text.data(), text.size(), kind0, sizeof kind0);
    if (n0 == 1 && kind0[0] == '?') {
      continue;
    }
    const int n1 = Utf8ToKanjiBytes(text.data(), text.size(), bestFit, sizeof bestFit);
    ASSERT_EQ(Hex(std::string(bestFit, static_cast<size_t>(n1))),
              Hex(std::string(kind0, static_cast<size_t>(n0))))
        << "U+" << std::hex << cp;
    ++compared;
  }
  EXPECT_GT(compared, 7000);
  EXPECT_EQ(Hex(Kanji(Utf8(0x2016) + Utf8(0x2212))), "81 61 81 7C");
}

TEST(MbEncodeUtf8, TextAcrossKinds) {
  const std::string a3042 = std::string("A") + Utf8(0x3042);
  EXPECT_EQ(Hex(Mb(MbKindJapanese, a3042)), "41 82 A0");
  EXPECT_EQ(Hex(Kanji(a3042)), "41 82 A0");
  EXPECT_EQ(Hex(Mb(MbKindSimplifiedChinese, std::string("x") + Utf8(0x20AC) + "y")), "78 A2 E3 79");
  EXPECT_EQ(Hex(Mb(MbKindKorean, Utf8(0xAC02) + "1")), "81 41 31");
  const std::string nul("a\0b", 3);
  for (MbKind kind :
       {MbKindJapanese, MbKindSimplifiedChinese, MbKindTraditionalChinese, MbKindKorean}) {
    EXPECT_EQ(Mb(kind, nul), "a?b") << kind;
  }
  EXPECT_EQ(Hex(Kanji(nul)), "61 00 62");
}

// Malformed input: what each encoder makes of it, read from an exactly sized
// buffer (no byte beyond the input is touched).
TEST(MbEncodeUtf8, MalformedInput) {
  struct Case {
    const char* name;
    std::string input;
    const char* japanese;  // MbEncodeUtf8 kind 0
    const char* kanji;     // Utf8ToKanjiBytes
  };
  const std::string emoji = Utf8(0x1F600);
  const std::vector<Case> cases = {
      {"lone continuation byte",
       "A\x80"
       "B",
       "A?B", "A?B"},
      {"continuation run", "\x80\xBF", "??", "??"},
      {"bytes FE and FF", "\xFE\xFF", "??", "??"},
      {"three-byte form cut by the end", "A\xE3", "A?", "A"},
      {"three-byte form cut after two bytes", "A\xE3\x81", "A?", "A"},
      {"two-byte form cut by the end", "\xC3", "?", ""},
      {"six-byte form cut by the end", "\xFC\x80\x80", "?", ""},
      {"five-byte form cut by the end", "x\xF8", "x?", "x"},
      {"form cut by an ASCII byte keeps it",
       "\xE3\x81"
       "A",
       "?A", "A"},
      {"form cut by a new lead byte keeps it", "\xC3\xE3\x81\x82", "?\x82\xA0", "\x82\xA0"},
      {"four-byte form", "a" + emoji + "b", "a?b", "ab"},
      {"four-byte form cut by the end", "a\xF0\x9F\x98", "a?", "a"},
      {"complete five-byte form",
       "\xF8\x88\x80\x80\x80"
       "z",
       "?z", "z"},
      {"complete six-byte form",
       "\xFC\x84\x80\x80\x80\x80"
       "z",
       "?z", "z"},
      {"overlong slash", "\xC0\xAF", "/", "/"},
      {"encoded surrogate", "\xED\xA0\x80", "?", "?"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Hex(Mb(MbKindJapanese, c.input)), Hex(c.japanese)) << c.name;
    EXPECT_EQ(Hex(Kanji(c.input)), Hex(c.kanji)) << c.name;
  }
  EXPECT_EQ(Hex(Mb(MbKindSimplifiedChinese, emoji)), "94 39 FC 36");
  EXPECT_EQ(Mb(MbKindTraditionalChinese, emoji), "?");
  EXPECT_EQ(Mb(MbKindKorean, emoji), "?");
}

TEST(MbEncodeUtf8, NullInputAndUnknownKindProduceNothing) {
  char out[8] = {};
  EXPECT_EQ(MbEncodeUtf8(MbKindJapanese, nullptr, 5, out, sizeof out), 0);
  EXPECT_EQ(Utf8ToKanjiBytes(nullptr, 5, out, sizeof out), 0);
  EXPECT_EQ(MbEncodeUtf8(static_cast<MbKind>(4), "abc", 3, out, sizeof out), 0);
  EXPECT_EQ(MbEncodeUtf8(static_cast<MbKind>(-1), "abc", 3, nullptr, 0), 0);
  EXPECT_EQ(MbEncodeCodePoint(static_cast<MbKind>(9), 'a', out, sizeof out, 0), 0);
  EXPECT_EQ(out[0], 0);
}

// Too small an output: a clear error, whole characters only, and not one
// byte at or beyond the capacity.
TEST(MbEncodeUtf8, CapacityIsNeverExceeded) {
  const std::string text = std::string("A") + Utf8(0x3042) + "B";  // 41 82 A0 42 in both encoders
  struct Encoder {
    const char* name;
    int (*encode)(const char*, size_t, char*, size_t);
  };
  const Encoder encoders[] = {
      {"kind 0", [](const char* s, size_t n, char* o,
                    size_t c) { return MbEncodeUtf8(MbKindJapanese, s, n, o, c); }},
      {"best fit", Utf8ToKanjiBytes},
  };
  for (const Encoder& e : encoders) {
    for (size_t capacity = 0; capacity <= 4; ++capacity) {
      char out[8];
      std::memset(out, 0x5A, sizeof out);
      const int n = e.encode(text.data(), text.size(), out, capacity);
      if (capacity < 4) {
        EXPECT_EQ(n, MB_ENCODE_ERR_CAPACITY) << e.name << " capacity " << capacity;
      } else {
        EXPECT_EQ(n, 4) << e.name;
      }
      const std::string full = "\x41\x82\xA0\x42";
      const size_t whole = capacity >= 4 ? 4 : capacity >= 3 ? 3 : capacity >= 1 ? 1 : 0;
      EXPECT_EQ(Hex(std::string(out, whole)), Hex(full.substr(0, whole)))
          << e.name << " " << capacity;
      for (size_t i = whole; i < sizeof out; ++i) {
        EXPECT_EQ(out[i], 0x5A) << e.name << " capacity " << capacity << " byte " << i;
      }
    }
  }
}

TEST(MbEncodeCodePoint, PositionCapacityAndSizeQuery) {
  char out[6];
  std::memset(out, 0x5A, sizeof out);
  EXPECT_EQ(MbEncodeCodePoint(MbKindSimplifiedChinese, 0x80, nullptr, 0, 0), 4);
  EXPECT_EQ(MbEncodeCodePoint(MbKindSimplifiedChinese, 0x80, out, 5, 2), MB_ENCODE_ERR_CAPACITY);
  EXPECT_EQ(MbEncodeCodePoint(MbKindSimplifiedChinese, 0x80, out, 5, 9), MB_ENCODE_ERR_CAPACITY);
  EXPECT_EQ(std::string(out, 6), std::string(6, 0x5A));
  EXPECT_EQ(MbEncodeCodePoint(MbKindSimplifiedChinese, 0x80, out, 6, 2), 4);
  EXPECT_EQ(Hex(std::string(out, 6)), "5A 5A 81 30 81 30");
  EXPECT_EQ(MbEncodeCodePoint(MbKindJapanese, 0x00A5, out, 6, 0), 1);
  EXPECT_EQ(out[0], '?');
  EXPECT_EQ(MbEncodeCodePoint(MbKindKorean, 0xAC00, out, 2, 0), 2);
  EXPECT_EQ(Hex(std::string(out, 2)), "B0 A1");
}

}  // namespace
