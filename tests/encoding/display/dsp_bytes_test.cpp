// Customer-display command bytes, language blocks, marquee frames, text
// encoding per language and the clock of the reset.
#include "encoding/display/dsp_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "../emit_case.h"
#include "encoding/codepage/ovuc.h"
#include "encoding/dbcs/mb_encode.h"
#include "encoding/test_hooks.h"

using namespace tilo2::core;

namespace {

using Bytes = std::vector<uint8_t>;

TEST(DspBytes, Commands) {
  const EmitCase cases[] = {
      {"begin", [](Bytes& o) { DspBeginBytes(o); }, {0x1B, 0x3D, 0x02}},
      {"end",
       [](Bytes& o) { DspEndBytes(o, "0A1B"); },
       {0x1B, 0x3D, 0x01, 0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30, '0', 'A', '1', 'B'}},
      {"reset 09:41",
       [](Bytes& o) { DspResetBytes(o, 9, 41); },
       {0x1B, 0x40, 0x1F, 0x54, 0x09, 0x29, 0x1B, 0x52, 0x00, 0x1F, 0x28, 0x47, 0x02, 0x00, 0x60,
        0x00, 0x0C}},
      {"window vertical",
       [](Bytes& o) { DspCreateWindowBytes(o, 2, 5, 1, 10, 2, 1); },
       {0x1B, 0x57, 0x02, 0x01, 0x05, 0x01, 0x0E, 0x02, 0x1F, 0x24, 0x05, 0x01, 0x1F, 0x02}},
      {"window horizontal",
       [](Bytes& o) { DspCreateWindowBytes(o, 4, 1, 2, 20, 1, 2); },
       {0x1B, 0x57, 0x04, 0x01, 0x01, 0x02, 0x14, 0x02, 0x1F, 0x24, 0x01, 0x02, 0x1F, 0x03}},
      {"window overwrite",
       [](Bytes& o) { DspCreateWindowBytes(o, 1, 1, 1, 1, 1, 0); },
       {0x1B, 0x57, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x1F, 0x24, 0x01, 0x01, 0x1F, 0x01}},
      {"destroy", [](Bytes& o) { DspDestroyWindowBytes(o, 3); }, {0x1B, 0x57, 0x03, 0x00}},
      {"clear", [](Bytes& o) { DspClearBytes(o); }, {0x0C}},
      {"cursor", [](Bytes& o) { DspCursorPositionBytes(o, 20, 2); }, {0x1F, 0x24, 0x14, 0x02}},
      {"top left", [](Bytes& o) { DspMoveCursorBytes(o, 0); }, {0x0B}},
      {"top right", [](Bytes& o) { DspMoveCursorBytes(o, 1); }, {0x0B, 0x1F, 0x0D}},
      {"bottom left", [](Bytes& o) { DspMoveCursorBytes(o, 2); }, {0x1F, 0x42, 0x0D}},
      {"bottom right", [](Bytes& o) { DspMoveCursorBytes(o, 3); }, {0x1F, 0x42}},
      {"cursor none", [](Bytes& o) { DspCursorTypeBytes(o, 0); }, {0x1F, 0x43, 0x00}},
      {"cursor underline", [](Bytes& o) { DspCursorTypeBytes(o, 1); }, {0x1F, 0x43, 0x01}},
      {"reverse on", [](Bytes& o) { DspReverseBytes(o, 1); }, {0x1F, 0x72, 0x01}},
      {"reverse other", [](Bytes& o) { DspReverseBytes(o, 2); }, {0x1F, 0x72, 0x00}},
      {"blink 120", [](Bytes& o) { DspBlinkBytes(o, 120); }, {0x1F, 0x45, 0x03}},
      {"blink 0", [](Bytes& o) { DspBlinkBytes(o, 0); }, {0x1F, 0x45, 0x00}},
      {"blink 12700", [](Bytes& o) { DspBlinkBytes(o, 12700); }, {0x1F, 0x45, 0xFE}},
      {"blink 12701", [](Bytes& o) { DspBlinkBytes(o, 12701); }, {0x1F, 0x45, 0xFE}},
      {"blink 20000", [](Bytes& o) { DspBlinkBytes(o, 20000); }, {0x1F, 0x45, 0xFE}},
      {"brightness 0", [](Bytes& o) { DspBrightnessBytes(o, 0); }, {0x1F, 0x58, 0x04}},
      {"brightness 2", [](Bytes& o) { DspBrightnessBytes(o, 2); }, {0x1F, 0x58, 0x03}},
      {"brightness 3", [](Bytes& o) { DspBrightnessBytes(o, 3); }, {0x1F, 0x58, 0x02}},
      {"brightness 4", [](Bytes& o) { DspBrightnessBytes(o, 4); }, {0x1F, 0x58, 0x01}},
      {"clock", [](Bytes& o) { DspShowClockBytes(o); }, {0x1F, 0x55}},
      {"marquee walk",
       [](Bytes& o) { DspMarqueePrefixBytes(o, 0); },
       {0x1F, 0x03, 0x1F, 0x3A, 0x0C, 0x1F, 0x0D}},
      {"marquee place",
       [](Bytes& o) { DspMarqueePrefixBytes(o, 1); },
       {0x1F, 0x03, 0x1F, 0x3A, 0x0C}},
      {"marquee waits",
       [](Bytes& o) { DspMarqueeSuffixBytes(o, 100, 75); },
       {0x1F, 0x3A, 0x1F, 0x5E, 0x05, 0x02}},
      {"marquee long waits",
       [](Bytes& o) { DspMarqueeSuffixBytes(o, 2000, 20000); },
       {0x1F, 0x3A, 0x1F, 0x5E, 0x64, 0xFF}},
  };
  ExpectEmitCases(cases);
}

TEST(DspBytes, LanguageBlocks) {
  auto block = [](uint8_t t, uint8_t r, uint8_t k, uint8_t j) {
    return Bytes{0x1B, 0x74, t, 0x1B, 0x52, r,    0x1F, 0x28, 0x47, 0x02,
                 0x00, 0x61, k, 0x1F, 0x28, 0x47, 0x02, 0x00, 0x60, j};
  };
  const Bytes expect[] = {block(0, 0, 0, 0), block(1, 8, 1, 1),  block(0, 15, 0, 1),
                          block(0, 0, 0, 1), block(0, 13, 0, 1), block(0, 0, 0, 0),
                          block(0, 0, 0, 0)};
  for (int language = 0; language < 7; ++language) {
    EXPECT_EQ(expect[language], Emitted([&](Bytes& o) { DspLanguagePrefix(o, language); }))
        << language;
  }
  EXPECT_EQ(expect[0], Emitted([](Bytes& o) { DspLanguagePrefix(o, -1); }));
}

Bytes Encoded(int (*encode)(const std::string&, char*, size_t), const std::string& text) {
  std::string buf(static_cast<size_t>(encode(text, nullptr, 0)), '\0');
  encode(text, buf.data(), buf.size());
  return Bytes(buf.begin(), buf.end());
}

TEST(DspBytes, TextPerLanguage) {
  const std::string japanese = "\xE6\x97\xA5\xE6\x9C\xAC";  // two Kanji
  const std::string korean = "\xED\x95\x9C\xEA\xB5\xAD";    // two Hangul syllables
  Bytes out = {0x99};
  ASSERT_EQ(0, DspEncodeText(out, 1, -1, japanese.data(), japanese.size()));
  Bytes expect = {0x99};
  const Bytes kanji = Encoded([](const std::string& t, char* o,
                                 size_t c) { return Utf8ToKanjiBytes(t.data(), t.size(), o, c); },
                              japanese);
  expect.insert(expect.end(), kanji.begin(), kanji.end());
  EXPECT_EQ(expect, out);

  out.clear();
  ASSERT_EQ(0, DspEncodeText(out, 4, -1, korean.data(), korean.size()));
  EXPECT_EQ(Encoded([](const std::string& t, char* o,
                       size_t c) { return MbEncodeUtf8(MbKindKorean, t.data(), t.size(), o, c); },
                    korean),
            out);

  out.clear();
  EXPECT_EQ(0, DspEncodeText(out, 2, -1, "", 0));
  EXPECT_TRUE(out.empty());
  EXPECT_EQ(-1, DspEncodeText(out, 0, -1, "abc", 3));  // no converter
  EXPECT_EQ(-1, DspEncodeText(out, 0, -1, nullptr, 3));
  EXPECT_TRUE(out.empty());
}

TEST(DspBytes, TextThroughTheConverter) {
  const char name[] = "CD-A1_ank.txt";
  const OvucHandle h = ConverterOpen(name, std::strlen(name));
  ASSERT_GE(h, 0);
  Bytes out;
  EXPECT_EQ(0, DspEncodeText(out, 0, h, "Total 12", 8));
  EXPECT_NE(out.end(),
            std::search(out.begin(), out.end(), std::begin("Total 12"), std::end("Total 12") - 1));
  OvucCloseHandle(h);
}

TEST(DspBytes, ClockIsInjectable) {
  DspSetLocalClock([](int* h, int* m) {
    *h = 9;
    *m = 41;
    return 0;
  });
  int h = -1, m = -1;
  EXPECT_EQ(0, DspReadLocalClock(&h, &m));
  EXPECT_EQ(9, h);
  EXPECT_EQ(41, m);
  DspSetLocalClock([](int*, int*) { return 1; });
  EXPECT_EQ(3, DspReadLocalClock(&h, &m));
  DspSetLocalClock([](int* hh, int* mm) {
    *hh = 24;
    *mm = 0;
    return 0;
  });
  EXPECT_EQ(3, DspReadLocalClock(&h, &m));
  DspSetLocalClock(nullptr);
  EXPECT_EQ(0, DspReadLocalClock(&h, &m));
  EXPECT_TRUE(h >= 0 && h <= 23 && m >= 0 && m <= 59);
}

}  // namespace
