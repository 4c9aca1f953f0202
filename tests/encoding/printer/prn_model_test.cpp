// Model table, profiles, Kanji slot sets and printable widths.
#include "encoding/printer/prn_model.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "../prn_test_util.h"

using namespace tilo2::core;

namespace {

uint16_t InstalledTables(const PrnCmdHandle_t* b) {
  const void* t[12] = {b->ops.text,   b->ops.image, b->ops.barcode, b->ops.symbol,
                       b->ops.align,  b->ops.feed,  b->ops.line,    b->ops.page,
                       b->ops.layout, b->ops.sound, b->ops.control, b->ops.reply};
  uint16_t mask = 0;
  for (int i = 0; i < 12; ++i) {
    if (t[i] != nullptr) mask = uint16_t(mask | (1u << i));
  }
  return mask;
}

constexpr uint16_t M(std::initializer_list<int> tables) {
  uint16_t m = 0;
  for (int t : tables) m = uint16_t(m | (1u << t));
  return m;
}

TEST(PrnModelTable, RowsInOrderEndedByNull) {
  const char* expected[] = {"",       "RP-X5E", "RP-S12E", "RP-S12F", "RP-S6",  "RP-M5",
                            "RP-D4",  "RP-D6",  "RP-M5B",  "RP-S3",   "RP-S5",  "RP-S9",
                            "RP-S8B", "RP-S9B", "RP-S11B", "RP-S3B",  "RP-S6B", "RP-S14B",
                            "RP-M3",  "RP-M7",  "RP-k2",   "RP-k4"};
  size_t i = 0;
  for (; PrnModelTable[i].name != nullptr; ++i) {
    ASSERT_LT(i, std::size(expected));
    EXPECT_STREQ(PrnModelTable[i].name, expected[i]);
    EXPECT_NE(PrnModelTable[i].create, nullptr);
  }
  EXPECT_EQ(i, std::size(expected));
}

// True when the Kanji slot set is in place: the language and underline
// commands then also drive Kanji mode (FS commands). Leaves the body empty.
bool SpeaksKanji(PrnCmdHandle_t* b, int lang) {
  PrnCmdClear(b);
  const int rcLang = b->ops.text->textLang(b, lang);
  const int rcUnderline = b->ops.text->underline(b, 1);
  const Bytes body = BodyBytes(b);
  PrnCmdClear(b);
  EXPECT_EQ(rcLang, 0);
  EXPECT_EQ(rcUnderline, 0);
  auto has = [&](const Bytes& command) {
    return std::search(body.begin(), body.end(), command.begin(), command.end()) != body.end();
  };
  const bool kanjiCodeSystem = has(B({0x1C, 0x43}));       // FS C
  const bool kanjiUnderline = has(B({0x1C, 0x2D, 0x01}));  // FS -
  EXPECT_EQ(kanjiCodeSystem, kanjiUnderline) << "language and underline disagree";
  return kanjiUnderline;
}

struct ProfileCase {
  const char* model;
  int lang;
  int rc;
  int density;
  uint16_t tables;
  bool kanji;
  int bandLimit;
  int byteLimit;
};

TEST(PrnModelProfile, LanguagesDensitiesTablesAndKanji) {
  const uint16_t std = M({0, 1, 2, 3, 4, 5, 7, 9, 10, 11});
  const uint16_t label = M({0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11});
  const ProfileCase cases[] = {
      {"", 0, 0, 0, M({11}), false, 512, 4096},
      {"", 6, 0, 0, M({11}), false, 512, 4096},
      {"RP-S5", 0, 2, 0, 0, false, 0, 0},
      {"RP-S5", 2, 0, 203, std, true, 512, 4096},
      {"RP-S6", 0, 0, 180, std, false, 512, 4096},
      {"RP-S6", 1, 0, 203, std, true, 512, 4096},
      {"RP-S6", 6, 0, 203, std, false, 512, 4096},
      {"RP-S6", 4, 2, 0, 0, false, 0, 0},
      {"RP-M5", 0, 0, 203, M({0, 1, 2, 3, 4, 5, 7, 8, 10, 11}), false, 512, 4096},
      {"RP-M5", 1, 0, 203, M({0, 1, 2, 4, 5, 7, 10, 11}), true, 512, 4096},
      {"RP-M5", 2, 2, 0, 0, false, 0, 0},
      {"RP-D4", 5, 0, 72, M({0, 1, 4, 5, 9, 10, 11}), false, 512, 4096},
      {"RP-D6", 2, 0, 180, M({0, 1, 2, 3, 4, 5, 8, 9, 10, 11}), true, 512, 4096},
      {"RP-D6", 0, 2, 0, 0, false, 0, 0},
      {"RP-X5E", 3, 0, 180, std, true, 512, 4096},
      {"RP-X5E", 4, 2, 0, 0, false, 0, 0},
      {"RP-S12E", 6, 0, 180, std, false, 512, 4096},
      {"RP-S12E", 4, 0, 180, std, true, 512, 4096},
      {"RP-S11B", 4, 0, 180, std, true, 512, 4096},
      {"RP-S11B", 0, 2, 0, 0, false, 0, 0},
      {"RP-S9B", 3, 0, 203, std, true, 512, 4096},
      {"RP-S9B", 1, 2, 0, 0, false, 0, 0},
      {"RP-S14B", 1, 0, 203, std, true, 512, 4096},
      {"RP-M3", 6, 0, 203, label, false, 512, 4096},
      {"RP-M7", 3, 0, 203, label, true, 512, 4096},
      {"RP-M5B", 0, 0, 203, label, false, 512, 4096},
      {"RP-k2", 0, 0, 203, std, false, 128, 6927},
      {"RP-k4", 4, 0, 203, std, true, 128, 6927},
      {"rp-s3", 0, 2, 0, 0, false, 0, 0},  // names match case and all
      {"RP-S3 ", 0, 2, 0, 0, false, 0, 0},
      {"RP-S", 0, 2, 0, 0, false, 0, 0},
  };
  for (const ProfileCase& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " lang " + std::to_string(c.lang));
    Builder b(c.model, c.lang);
    ASSERT_EQ(b.rc, c.rc);
    if (c.rc != 0) {
      EXPECT_EQ(b.get(), nullptr);
      continue;
    }
    EXPECT_STREQ(b->modelName, c.model);
    EXPECT_EQ(b->modelLang, c.lang);
    EXPECT_EQ(b->dotDensityX, c.density);
    EXPECT_EQ(b->dotDensityY, c.density);
    EXPECT_EQ(InstalledTables(b.get()), c.tables);
    EXPECT_EQ(b->rasterBandLimit, c.bandLimit);
    EXPECT_EQ(b->grayBandLimit, c.bandLimit == 128 ? 128 : 256);
    EXPECT_EQ(b->rasterByteLimit, c.byteLimit);
    if (b->ops.text != nullptr) {
      EXPECT_EQ(SpeaksKanji(b.get(), c.lang), c.kanji);
    }
  }
}

// Every null slot of the installed tables, as table * 100 + slot.
std::vector<int> NullSlots(const PrnCmdHandle_t* b) {
  // Each table is a record of function pointers only.
  const std::pair<const void*, size_t> tables[12] = {
      {b->ops.text, sizeof(PrnTextOps)},       {b->ops.image, sizeof(PrnImageOps)},
      {b->ops.barcode, sizeof(PrnBarcodeOps)}, {b->ops.symbol, sizeof(PrnSymbolOps)},
      {b->ops.align, sizeof(PrnAlignOps)},     {b->ops.feed, sizeof(PrnFeedOps)},
      {b->ops.line, sizeof(PrnLineOps)},       {b->ops.page, sizeof(PrnPageOps)},
      {b->ops.layout, sizeof(PrnLayoutOps)},   {b->ops.sound, sizeof(PrnSoundOps)},
      {b->ops.control, sizeof(PrnControlOps)}, {b->ops.reply, sizeof(PrnReplyOps)}};
  std::vector<int> out;
  for (int t = 0; t < 12; ++t) {
    if (tables[t].first == nullptr) continue;
    const size_t n = tables[t].second / sizeof(void (*)());
    for (size_t i = 0; i < n; ++i) {
      void (*fn)() = nullptr;
      std::memcpy(&fn, static_cast<const char*>(tables[t].first) + i * sizeof fn, sizeof fn);
      if (fn == nullptr) out.push_back(t * 100 + int(i));
    }
  }
  return out;
}

// The builder's printable-width callback answers as `width` does (none: none).
void ExpectSameWidths(PrnCmdHandle_t* b, PrnPrintableWidthFn width) {
  ASSERT_EQ(b->getPrintableWidth == nullptr, width == nullptr);
  if (width == nullptr) return;
  for (int code : {0, 50, 51, 54, 66, 67}) {
    for (int flag : {0, 1}) {
      b->paperWidthCode = code;
      b->paperWidthFlag = flag;
      int got = -1, want = -1;
      EXPECT_EQ(b->getPrintableWidth(b, &got), width(b, &want)) << code << "/" << flag;
      EXPECT_EQ(got, want) << code << "/" << flag;
    }
  }
  b->paperWidthCode = 0;
  b->paperWidthFlag = 0;
}

struct RowCase {
  const char* model;
  // By model language 0..6: "-" refused, else the density ("n" narrow) and
  // "K" when the Kanji slot set applies.
  std::array<const char*, 7> lang;
  uint16_t tables;
  std::vector<int> nullSlots;  // of the first accepted language
  PrnPrintableWidthFn width;
};

TEST(PrnModelProfile, EveryRowLanguageDensityTablesAndRemovedSlots) {
  const uint16_t std = M({0, 1, 2, 3, 4, 5, 7, 9, 10, 11});
  const uint16_t label = M({0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11});
  const std::vector<int> s3 = {12, 102, 706, 707, 901, 902, 903};
  const std::vector<int> s3b = {12, 102, 706, 707, 903};
  const std::vector<int> m3 = {12, 102, 900, 901, 902};
  const RowCase rows[] = {
      {"", {"0", "0", "0", "0", "0", "0", "0"}, M({11}), {1101}, nullptr},
      {"RP-X5E", {"180", "180K", "180K", "180K", "-", "-", "-"}, std, {12, 901, 902, 903}, nullptr},
      {"RP-S12E",
       {"180", "180K", "180K", "180K", "180K", "-", "180"},
       std,
       {12, 706, 707, 903},
       PrnWidth_RP_S12E},
      {"RP-S12F",
       {"180", "180K", "180K", "180K", "180K", "-", "180"},
       std,
       {12, 903},
       PrnWidth_RP_S12E},
      {"RP-S6", {"180", "203K", "203K", "203K", "-", "-", "203"}, std, s3, PrnWidth_RP_S6},
      {"RP-M5",
       {"203", "203K", "-", "203K", "-", "-", "-"},
       M({0, 1, 2, 3, 4, 5, 7, 8, 10, 11}),
       {12, 102},
       PrnWidth_RP_M5},
      {"RP-D4",
       {"72", "72K", "72K", "72K", "72K", "72", "72"},
       M({0, 1, 4, 5, 9, 10, 11}),
       {4, 9, 13, 102, 901, 902, 903, 1001},
       nullptr},
      {"RP-D6",
       {"-", "-", "180K", "-", "-", "-", "-"},
       M({0, 1, 2, 3, 4, 5, 8, 9, 10, 11}),
       {4, 5, 6, 7, 8, 9, 12, 101, 102, 800, 901, 902, 1001},
       nullptr},
      {"RP-M5B", {"203", "203K", "-", "203K", "-", "-", "-"}, label, m3, PrnWidth_RP_M5},
      {"RP-S3", {"203", "203K", "-", "-", "-", "-", "-"}, std, s3, PrnWidth_RP_S3},
      {"RP-S5", {"-", "-", "203K", "-", "-", "-", "-"}, std, s3, PrnWidth_RP_S3},
      {"RP-S9", {"-", "-", "203K", "-", "-", "-", "203"}, std, s3b, PrnWidth_RP_S3},
      {"RP-S8B", {"-", "-", "203K", "-", "-", "-", "203"}, std, s3, PrnWidth_RP_S3},
      {"RP-S9B", {"203", "-", "203K", "203K", "-", "-", "203"}, std, s3b, PrnWidth_RP_S3},
      {"RP-S11B", {"-", "-", "-", "-", "180K", "-", "-"}, std, s3b, PrnWidth_RP_S12E},
      {"RP-S3B", {"203", "203K", "-", "-", "-", "-", "-"}, std, s3b, PrnWidth_RP_S3},
      {"RP-S6B",
       {"180", "203K", "203K", "203K", "-", "-", "203"},
       std,
       {12, 706, 707, 903},
       PrnWidth_RP_S6},
      {"RP-S14B",
       {"-", "203K", "-", "-", "-", "-", "-"},
       std,
       {12, 706, 707, 901, 902, 903},
       PrnWidth_RP_k4},
      {"RP-M3", {"203", "203K", "203K", "203K", "-", "-", "203"}, label, m3, PrnWidth_RP_M3},
      {"RP-M7", {"203", "203K", "-", "203K", "-", "-", "-"}, label, m3, PrnWidth_RP_M7},
      {"RP-k2",
       {"n203", "n203K", "n203K", "n203K", "-", "-", "n203"},
       std,
       {12, 903},
       PrnWidth_RP_k2},
      {"RP-k4",
       {"n203", "n203K", "n203K", "n203K", "n203K", "-", "n203"},
       std,
       {12, 903},
       PrnWidth_RP_k4},
  };
  size_t rowCount = 0;
  while (PrnModelTable[rowCount].name != nullptr) ++rowCount;
  EXPECT_EQ(rowCount, std::size(rows));
  for (const RowCase& row : rows) {
    bool first = true;
    for (int lang = 0; lang <= 6; ++lang) {
      SCOPED_TRACE(std::string(row.model) + " lang " + std::to_string(lang));
      const std::string want = row.lang[size_t(lang)];
      Builder b(row.model, lang);
      if (want == "-") {
        EXPECT_EQ(b.rc, 2);
        continue;
      }
      ASSERT_EQ(b.rc, 0);
      const bool narrow = want[0] == 'n';
      const bool kanji = want.back() == 'K';
      const int density = std::stoi(want.substr(narrow ? 1 : 0));
      EXPECT_EQ(b->dotDensityX, density);
      EXPECT_EQ(b->dotDensityY, density);
      EXPECT_EQ(b->rasterBandLimit, narrow ? 128 : 512);
      EXPECT_EQ(b->grayBandLimit, narrow ? 128 : 256);
      EXPECT_EQ(b->rasterByteLimit, narrow ? 6927 : 4096);
      ExpectSameWidths(b.get(), row.width);
      if (b->ops.text != nullptr) {
        EXPECT_EQ(SpeaksKanji(b.get(), lang), kanji);
      }
      if (first) {
        EXPECT_EQ(InstalledTables(b.get()), row.tables);
        EXPECT_EQ(NullSlots(b.get()), row.nullSlots);
        first = false;
      }
    }
  }
}

TEST(PrnModelProfile, OpenChecksArgumentsBeforeTheModel) {
  PrnCmdHandle_t* b = nullptr;
  EXPECT_EQ(PrnCmdOpen(nullptr, 0, &b), 1);
  EXPECT_EQ(PrnCmdOpen("RP-S3", 7, &b), 1);
  EXPECT_EQ(PrnCmdOpen("RP-S3", -1, &b), 1);
  EXPECT_EQ(PrnCmdOpen("RP-S3", 0, nullptr), 1);
  EXPECT_EQ(PrnCmdOpen("no such model", 0, &b), 2);
  EXPECT_EQ(b, nullptr);
}

// Entry points of tables the Japanese "RP-M5" lacks answer 2 (its slots are
// in the profile job test).
TEST(PrnModelProfile, RPM5LanguageTablesDecideTheEntryPoints) {
  Builder ank("RP-M5", 0);
  ASSERT_EQ(ank.rc, 0);
  const uint8_t d[] = {1};
  EXPECT_EQ(PrnCmdAddSymbol(ank.get(), 2, d, 1), 0);
  EXPECT_EQ(PrnCmdAddLayout(ank.get(), 0, 0, 0, 0, 0, 0, 1), 0);

  Builder jpn("RP-M5", 1);
  ASSERT_EQ(jpn.rc, 0);
  EXPECT_EQ(PrnCmdAddSymbol(jpn.get(), 2, d, 1), 2);
  EXPECT_EQ(PrnCmdAddLayout(jpn.get(), 0, 0, 0, 0, 0, 0, 1), 2);
  EXPECT_EQ(PrnCmdAddPageLine(jpn.get(), 0, 0, 1, 1, 0), 2);
  EXPECT_EQ(PrnCmdAddPageRectangle(jpn.get(), 0, 0, 1, 1, 0), 2);
}

TEST(PrnModelProfile, LineEntryPointsAnswer2OnEveryModel) {
  for (size_t i = 0; PrnModelTable[i].name != nullptr; ++i) {
    const char* name = PrnModelTable[i].name;
    SCOPED_TRACE(name);
    PrnCmdHandle_t* b = nullptr;
    int lang = 0;
    while (lang <= 6 && PrnCmdOpen(name, lang, &b) != 0) ++lang;
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(PrnCmdAddHLine(b, 0, 10, 0), 2);
    EXPECT_EQ(PrnCmdAddVLineBegin(b, 0, 0), 2);
    EXPECT_EQ(PrnCmdAddVLineEnd(b, 0, 0), 2);
    PrnCmdClose(b);
  }
}

TEST(PrnModelProfile, GenericModelAnswers2ForEveryTableEntryPoint) {
  Builder g("", 0);
  ASSERT_EQ(g.rc, 0);
  PrnCmdHandle_t* b = g.get();
  EXPECT_EQ(b->dotDensityX, 0);
  EXPECT_EQ(b->getPrintableWidth, nullptr);
  // Its reply table splits replies (the print engine's status builder).
  const uint8_t status[] = {0x14, 0x00, 0x00, 0x0F};
  int packets = 0;
  ASSERT_EQ(b->ops.reply->split(
                b, status, sizeof status,
                [](int kind, const uint8_t*, uint32_t length, void* user) {
                  if (kind == kPrnReplyAutoStatus && length == 4) ++*static_cast<int*>(user);
                },
                &packets),
            0);
  EXPECT_EQ(packets, 1);

  const uint8_t d[] = {0x31, 0x32};
  b->positionX = 40;
  EXPECT_EQ(PrnCmdAddText(b, "abc"), 2);
  EXPECT_EQ(b->positionX, 40);  // unchanged when nothing was added
  EXPECT_EQ(PrnCmdAddTextPosition(b, 5), 2);
  EXPECT_EQ(PrnCmdAddImage(b, 8, 1, d, 1, 1, 0), 2);
  EXPECT_EQ(PrnCmdAddGrayImage(b, 2, 1, d, 1, 0), 2);
  EXPECT_EQ(PrnCmdAddHighDensityImage(b, 8, 1, d, 1, 1, 0), 2);
  EXPECT_EQ(PrnCmdAddBarcode(b, 0, d, 2), 2);
  EXPECT_EQ(PrnCmdAddSymbol(b, 0, d, 2), 2);
  EXPECT_EQ(PrnCmdSetSymbolLevel(b, 0, 1), 2);
  EXPECT_EQ(PrnCmdSetSymbolHeight(b, 0, 1), 2);
  EXPECT_EQ(PrnCmdSetSymbolWidth(b, 0, 1), 2);
  EXPECT_EQ(PrnCmdSetSymbolSize(b, 0, 1), 2);
  EXPECT_EQ(PrnCmdSetSymbolLevelPercent(b, 12, 5), 2);
  EXPECT_EQ(PrnCmdAddHLine(b, 0, 1, 0), 2);
  EXPECT_EQ(PrnCmdAddVLineBegin(b, 0, 0), 2);
  EXPECT_EQ(PrnCmdAddVLineEnd(b, 0, 0), 2);
  EXPECT_EQ(PrnCmdAddPageArea(b, 0, 0, 1, 1), 2);
  EXPECT_EQ(PrnCmdAddPageHPosition(b, 1), 2);
  EXPECT_EQ(PrnCmdAddPageLine(b, 0, 0, 1, 1, 0), 2);
  EXPECT_EQ(PrnCmdAddPageRectangle(b, 0, 0, 1, 1, 0), 2);
  EXPECT_EQ(PrnCmdAddLayout(b, 0, 0, 0, 0, 0, 0, 1), 2);
  EXPECT_EQ(PrnCmdAddCut(b, 1), 2);
  EXPECT_EQ(PrnCmdSetRasterMode(b, 0), 2);  // no image table: nothing written
  EXPECT_EQ(b->positionX, 40);

  // Argument checks still come first.
  EXPECT_EQ(PrnCmdAddCut(b, 3), 1);
  EXPECT_EQ(PrnCmdAddText(b, nullptr), 1);

  // Raw commands, build and clear work; no header or trailer exists.
  b->headerWanted = 1;
  b->trailerWanted = 1;
  const uint8_t raw[] = {0x10, 0x04, 0x01};
  ASSERT_EQ(PrnCmdAddCommand(b, raw, sizeof raw), 0);
  EXPECT_EQ(BuildJob(b), B({0x10, 0x04, 0x01}));
  ASSERT_EQ(PrnCmdClear(b), 0);
  EXPECT_EQ(BuildJob(b), Bytes{});
}

// The bytes of one 8 x 1 image through an entry point, on a fresh body.
Bytes ImageBytes(PrnCmdHandle_t* b, bool highDensity) {
  PrnCmdClear(b);
  const uint8_t dots[] = {0xA5};
  const int rc = highDensity ? PrnCmdAddHighDensityImage(b, 8, 1, dots, 1, 1, 0)
                             : PrnCmdAddImage(b, 8, 1, dots, 1, 1, 0);
  EXPECT_EQ(rc, 0);
  return BodyBytes(b);
}

TEST(PrnModelProfile, RasterModeReplacesImageSlot0Only) {
  Builder b("RP-S3", 0);
  ASSERT_EQ(b.rc, 0);
  const Bytes raster = ImageBytes(b.get(), false);
  const Bytes highDensity = ImageBytes(b.get(), true);
  EXPECT_EQ(Bytes(raster.begin() + 4, raster.begin() + 7), B({0x1D, 0x38, 0x4C}));  // raster store
  for (int ignored : {7, -1}) {
    EXPECT_EQ(PrnCmdSetRasterMode(b.get(), ignored), 0);
    EXPECT_EQ(ImageBytes(b.get(), false), raster) << ignored;
  }
  // Each mode's generator by the command it starts its data with.
  const Bytes starts[] = {B({0x1D, 0x38, 0x4C}), B({0x1B, 0x2A, 0x00}), B({0x1B, 0x2A, 0x01}),
                          B({0x1B, 0x2A, 0x21})};
  for (int mode = 0; mode <= 3; ++mode) {
    SCOPED_TRACE(mode);
    EXPECT_EQ(PrnCmdSetRasterMode(b.get(), mode), 0);
    const Bytes image = ImageBytes(b.get(), false);
    EXPECT_NE(std::search(image.begin(), image.end(), starts[mode].begin(), starts[mode].end()),
              image.end());
    if (mode == 0) {
      EXPECT_EQ(image, raster);
    }
    EXPECT_EQ(ImageBytes(b.get(), true), highDensity);
  }
  EXPECT_EQ(PrnCmdSetRasterMode(nullptr, 0), 1);
}

struct WidthCase {
  const char* model;
  int lang;
  int code;
  int flag;
  int rc;
  int dots;
};

TEST(PrnModelWidth, PrintableWidthByPaper) {
  const WidthCase cases[] = {
      {"RP-S3", 0, 50, 0, 0, 420},   {"RP-S3", 0, 50, 1, 0, 378},   {"RP-S3", 0, 54, 0, 0, 576},
      {"RP-S3", 0, 54, 1, 0, 546},   {"RP-S3", 0, 51, 0, 2, 0},     {"RP-S3", 0, 50, 2, 2, 0},
      {"RP-k2", 0, 0, 0, 0, 420},    {"RP-k4", 0, 50, 0, 0, 420},   {"RP-k4", 0, 54, 1, 0, 576},
      {"RP-k4", 0, 58, 0, 2, 0},     {"RP-M3", 0, 99, 9, 0, 384},   {"RP-M5", 0, 50, 0, 0, 420},
      {"RP-M5", 0, 51, 0, 0, 432},   {"RP-M5", 0, 54, 0, 2, 0},     {"RP-M7", 0, 0, 0, 0, 576},
      {"RP-M7", 0, 0, 1, 0, 546},    {"RP-M7", 0, 0, 2, 2, 0},      {"RP-S6", 1, 66, 0, 0, 576},
      {"RP-S6", 0, 66, 0, 0, 512},   {"RP-S6", 1, 67, 0, 0, 416},   {"RP-S6", 0, 67, 0, 2, 0},
      {"RP-S12E", 0, 50, 0, 0, 360}, {"RP-S12E", 0, 54, 0, 0, 512}, {"RP-S12E", 0, 66, 0, 2, 0},
      {"RP-S11B", 4, 54, 0, 0, 512}, {"RP-S14B", 1, 54, 0, 0, 576},
  };
  for (const WidthCase& c : cases) {
    SCOPED_TRACE(std::string(c.model) + " code " + std::to_string(c.code) + " flag " +
                 std::to_string(c.flag));
    Builder b(c.model, c.lang);
    ASSERT_EQ(b.rc, 0);
    ASSERT_NE(b->getPrintableWidth, nullptr);
    b->paperWidthCode = c.code;
    b->paperWidthFlag = c.flag;
    int dots = -1;
    EXPECT_EQ(b->getPrintableWidth(b.get(), &dots), c.rc);
    if (c.rc == 0) {
      EXPECT_EQ(dots, c.dots);
    }
    EXPECT_EQ(b->getPrintableWidth(b.get(), nullptr), 1);
    EXPECT_EQ(b->getPrintableWidth(nullptr, &dots), 1);
  }
}

}  // namespace
