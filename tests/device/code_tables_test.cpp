// The translation tables: results and completion codes of both backends,
// and the enumeration tables through which stored command values reach the
// backend in use. Expected values are written out here independently of the
// tables, so a row typed wrong, dropped or reordered shows up.

#include "device/code_tables.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace tilo2::core;

namespace {

struct Translation {
  int from;
  int to;
};

// Every code the device service can answer, with the layer's result.
const Translation kServiceResults[] = {
    {0, 0},   {1, 1},   {2, 2},    {3, 4},   {4, 3},   {5, 5},   {6, 6},     {7, 7},
    {8, 8},   {9, 3},   {10, 255}, {11, 9},  {12, 10}, {13, 11}, {14, 12},   {15, 13},
    {16, 14}, {17, 15}, {18, 16},  {19, 17}, {20, 18}, {21, 19}, {22, 20},   {23, 21},
    {24, 22}, {25, 23}, {26, 24},  {27, 25}, {28, 26}, {29, 27}, {255, 255},
};

// Every code the print engine can answer, with the layer's result.
const Translation kEngineResults[] = {
    {0, 0}, {1, 1}, {2, 3}, {3, 3}, {4, 4}, {5, 10}, {6, 5}, {7, 2}, {8, 28}, {9, 29}, {255, 255},
};

TEST(ResultTable, EveryServiceCodeTranslates) {
  for (const auto& [from, to] : kServiceResults) {
    EXPECT_EQ(TdcFromServiceResult(from), to) << "service " << from;
  }
}

TEST(ResultTable, EveryEngineCodeTranslates) {
  for (const auto& [from, to] : kEngineResults) {
    EXPECT_EQ(TdcFromEngineResult(from), to) << "engine " << from;
  }
}

TEST(ResultTable, CodesInNoRowAreParameterErrors) {
  for (const int code : {30, 31, 47, 100, 254, 256, -1}) {
    EXPECT_EQ(TdcFromServiceResult(code), 1) << "service " << code;
  }
  for (const int code : {10, 11, 12, 100, 254, -1}) {
    EXPECT_EQ(TdcFromEngineResult(code), 1) << "engine " << code;
  }
}

// -3 marks "no counterpart" in a column: a lookup of -3 must not land on the
// first row that has no counterpart (6 for the engine, 28 for the service).
TEST(ResultTable, NoCounterpartMarkIsNeverACode) {
  EXPECT_EQ(TdcFromEngineResult(kTdcNone), 1);
  EXPECT_EQ(TdcFromServiceResult(kTdcNone), 1);
  EXPECT_EQ(TdcCallbackFromEngine(kTdcNone), 1);
  EXPECT_EQ(TdcCallbackFromService(kTdcNone), 1);
}

TEST(ResultTable, FirstMatchingRowWins) {
  // Two rows answer 3 and two answer 255; the table is searched from the top.
  const TdcCodeMap_t* row = TdcFindRow(kTdcResultTable, TdcColumn::Tdc, 3);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->serviceValue, 4);
  EXPECT_EQ(row->engineValue, 3);
  row = TdcFindRow(kTdcResultTable, TdcColumn::Tdc, 255);
  ASSERT_NE(row, nullptr);
  EXPECT_EQ(row->serviceValue, 10);
  EXPECT_EQ(kTdcResultTable.size(), 33u);
}

// Completion codes of the device service.
TEST(CallbackCodeTable, EveryServiceCodeTranslates) {
  std::vector<Translation> expected = {{0, 0},   {3, 1},   {6, 2},   {20, 10}, {21, 11},  {5, 30},
                                       {44, 31}, {45, 32}, {46, 33}, {47, 33}, {255, 255}};
  for (int n = 13; n <= 19; ++n) expected.push_back({n, n - 10});  // Autorecover .. System
  for (int n = 26; n <= 31; ++n) expected.push_back({n, n - 14});  // JobNotFound .. TooLarge
  for (int n = 32; n <= 43; ++n) expected.push_back({n, n - 14});  // Canceled .. WaitInsertion
  for (const auto& [from, to] : expected) {
    EXPECT_EQ(TdcCallbackFromService(from), to) << "service " << from;
  }
}

TEST(CallbackCodeTable, EveryEngineCodeTranslates) {
  std::vector<Translation> expected = {{0, 0},  {4, 1},   {3, 10},  {10, 11},
                                       {6, 30}, {23, 31}, {24, 32}, {255, 255}};
  for (int n = 11; n <= 22; ++n) expected.push_back({n, n + 7});  // Canceled .. WaitInsertion
  for (const auto& [from, to] : expected) {
    EXPECT_EQ(TdcCallbackFromEngine(from), to) << "engine " << from;
  }
}

TEST(CallbackCodeTable, UnknownCodesReportTimeout) {
  for (const int code : {1, 2, 4, 7, 8, 9, 10, 11, 12, 22, 23, 24, 25, 48, -1}) {
    EXPECT_EQ(TdcCallbackFromService(code), 1) << "service " << code;
  }
  for (const int code : {1, 2, 5, 7, 8, 9, 25, 46, -1}) {
    EXPECT_EQ(TdcCallbackFromEngine(code), 1) << "engine " << code;
  }
  EXPECT_EQ(kTdcCallbackCodeTable.size(), 36u);
}

// ---- Enumeration tables --------------------------------------------------------------

struct EnumCase {
  const char* table;
  TdcCodeTable rows;
  int32_t stored;
  int32_t service;  // what mode 2 sends
  int32_t engine;   // what mode 1 sends
};

const EnumCase kEnumCases[] = {
    {"Alignment", kTdcAlignmentTable, 2, 2, 2},
    {"Alignment", kTdcAlignmentTable, -2, 0, 0},
    {"Boolean", kTdcBooleanTable, 1, 1, 1},
    {"Boolean", kTdcBooleanTable, -2, 0, 0},
    {"Language", kTdcLanguageTable, 5, 5, 5},
    {"Language", kTdcLanguageTable, 6, 0, 6},  // the service has no seventh language
    {"Language", kTdcLanguageTable, -2, 0, 0},
    {"Font", kTdcFontTable, 4, 4, 4},
    {"Font", kTdcFontTable, -2, 0, 0},
    {"Color", kTdcColorTable, 0, 0, 0},
    {"Color", kTdcColorTable, -2, 1, 1},
    {"ImageMode", kTdcImageModeTable, 2, kTdcNone, 2},
    {"ImageMode", kTdcImageModeTable, -2, 0, 0},
    {"Halftone", kTdcHalftoneTable, 2, 2, 2},
    {"Compression", kTdcCompressionTable, 0, kTdcNone, 1},
    {"Compression", kTdcCompressionTable, 1, kTdcNone, 0},
    {"Compression", kTdcCompressionTable, 2, kTdcNone, kTdcNone},
    {"BarcodeType", kTdcBarcodeTypeTable, 0, 0, 0},
    {"BarcodeType", kTdcBarcodeTypeTable, 15, 15, 15},
    {"Hri", kTdcHriTable, 3, 3, 3},
    {"Hri", kTdcHriTable, -2, 0, 0},
    {"SymbolType", kTdcSymbolTypeTable, 3, 3, 3},
    {"SymbolType", kTdcSymbolTypeTable, 4, 4, kTdcNone},  // the engine has no micro QR
    {"SymbolType", kTdcSymbolTypeTable, 5, 5, 4},
    {"SymbolType", kTdcSymbolTypeTable, 18, 18, 17},
    {"Pdf417Level", kTdcPdf417LevelTable, 96, 0, 0},
    {"Pdf417Level", kTdcPdf417LevelTable, 104, 8, 8},
    {"Pdf417Level", kTdcPdf417LevelTable, -2, 1, 1},
    {"QrLevel", kTdcQrLevelTable, 105, 9, 9},
    {"QrLevel", kTdcQrLevelTable, 108, 12, 12},
    {"QrLevel", kTdcQrLevelTable, -2, 10, 10},
    {"OtherSymbolLevel", kTdcOtherSymbolLevelTable, -2, 13, 13},
    {"LineStyle", kTdcLineStyleTable, 5, 5, 5},
    {"LineStyle", kTdcLineStyleTable, -2, 0, 0},
    {"Direction", kTdcDirectionTable, 3, 3, 3},
    {"Direction", kTdcDirectionTable, -2, 0, 0},
    {"Cut", kTdcCutTable, 0, 1, 1},
    {"Cut", kTdcCutTable, 1, 0, 0},
    {"Cut", kTdcCutTable, 2, 2, 2},
    {"Cut", kTdcCutTable, -2, 1, 1},
    {"Drawer", kTdcDrawerTable, 1, 1, 1},
    {"Drawer", kTdcDrawerTable, -2, 0, 0},
    {"PulseTime", kTdcPulseTimeTable, 4, 4, 4},
    {"PulseTime", kTdcPulseTimeTable, -2, 0, 0},
    {"Sound", kTdcSoundTable, 0, 0, kTdcNone},  // the engine has no "none" pattern
    {"Sound", kTdcSoundTable, 1, 1, 0},
    {"Sound", kTdcSoundTable, 17, 17, 16},
    {"Sound", kTdcSoundTable, -2, 1, 0},
    {"FeedPosition", kTdcFeedPositionTable, 3, 3, 3},
    {"Layout", kTdcLayoutTable, 0, 0, 0},
    {"Layout", kTdcLayoutTable, 1, 1, 3},
    {"Layout", kTdcLayoutTable, 2, 2, 1},
    {"Layout", kTdcLayoutTable, 3, 3, 2},
    {"Unspecified", kTdcUnspecifiedTable, -1, -1, -1},
};

TEST(EnumerationTables, StoredValuesReachEachBackendsColumn) {
  for (const auto& c : kEnumCases) {
    SCOPED_TRACE(std::string(c.table) + " " + std::to_string(c.stored));
    int32_t out = 99;
    ASSERT_TRUE(TdcMapStoredValue(c.rows, TDC_MODE_SERVICE, c.stored, &out));
    EXPECT_EQ(out, c.service);
    out = 99;
    ASSERT_TRUE(TdcMapStoredValue(c.rows, TDC_MODE_DIRECT, c.stored, &out));
    EXPECT_EQ(out, c.engine);
    EXPECT_TRUE(TdcIsListed(c.rows, c.stored));
  }
}

struct UnlistedCase {
  const char* table;
  TdcCodeTable rows;
  int32_t stored;
};

// Values the validators must refuse, and the replay must not translate.
const UnlistedCase kUnlistedCases[] = {
    {"Alignment", kTdcAlignmentTable, 3},
    {"Alignment", kTdcAlignmentTable, -1},
    {"Boolean", kTdcBooleanTable, 2},
    {"Boolean", kTdcBooleanTable, -1},
    {"Language", kTdcLanguageTable, 7},
    {"Font", kTdcFontTable, 5},
    {"Color", kTdcColorTable, 5},
    {"Color", kTdcColorTable, -1},
    {"ImageMode", kTdcImageModeTable, 3},
    {"Halftone", kTdcHalftoneTable, 3},
    {"Compression", kTdcCompressionTable, 3},
    {"BarcodeType", kTdcBarcodeTypeTable, 16},
    {"BarcodeType", kTdcBarcodeTypeTable, -2},
    {"Hri", kTdcHriTable, 4},
    {"SymbolType", kTdcSymbolTypeTable, 19},
    {"Pdf417Level", kTdcPdf417LevelTable, 95},
    {"Pdf417Level", kTdcPdf417LevelTable, 105},
    {"QrLevel", kTdcQrLevelTable, 104},
    {"QrLevel", kTdcQrLevelTable, 109},
    {"OtherSymbolLevel", kTdcOtherSymbolLevelTable, 0},
    {"LineStyle", kTdcLineStyleTable, 6},
    {"Direction", kTdcDirectionTable, 4},
    {"Cut", kTdcCutTable, 3},
    {"Drawer", kTdcDrawerTable, 2},
    {"PulseTime", kTdcPulseTimeTable, 5},
    {"Sound", kTdcSoundTable, 18},
    {"FeedPosition", kTdcFeedPositionTable, -2},
    {"Layout", kTdcLayoutTable, 4},
    {"Layout", kTdcLayoutTable, -2},
    {"Unspecified", kTdcUnspecifiedTable, -2},
};

TEST(EnumerationTables, UnlistedValuesAreNeitherListedNorMapped) {
  for (const auto& c : kUnlistedCases) {
    SCOPED_TRACE(std::string(c.table) + " " + std::to_string(c.stored));
    EXPECT_FALSE(TdcIsListed(c.rows, c.stored));
    int32_t out = 99;
    EXPECT_FALSE(TdcMapStoredValue(c.rows, TDC_MODE_DIRECT, c.stored, &out));
    EXPECT_FALSE(TdcMapStoredValue(c.rows, TDC_MODE_SERVICE, c.stored, &out));
    EXPECT_EQ(out, 99) << "a failed lookup writes nothing";
  }
}

TEST(EnumerationTables, OnlyTheTwoBackendModesMap) {
  for (const int32_t mode :
       {int32_t{TDC_MODE_NEVER_CONNECTED}, int32_t{TDC_MODE_CLOSED}, int32_t{3}}) {
    int32_t out = 99;
    EXPECT_FALSE(TdcMapStoredValue(kTdcCutTable, mode, 0, &out)) << mode;
    EXPECT_EQ(out, 99);
  }
}

}  // namespace
