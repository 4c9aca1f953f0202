// Image and logo command bytes: raster bands, compressed bands and their
// split, gray planes, dot-matrix bit images and logos.
#include "encoding/printer/prn_image_bytes.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <vector>

using namespace tilo2::core;

namespace {

using Bytes = std::vector<uint8_t>;

constexpr PrnImageLimits_t kReceipt{13, 0, 512, 256, 4096};

Bytes Image(int rowBytes, int height, uint32_t seed) {
  Bytes data(static_cast<size_t>(rowBytes) * height);
  for (auto& b : data) {
    seed = seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(seed >> 16);
  }
  return data;
}

Bytes Slice(const Bytes& b, size_t at, size_t n) {
  return Bytes(b.begin() + at, b.begin() + at + n);
}

uint16_t Le16(const Bytes& b, size_t at) { return static_cast<uint16_t>(b[at] | b[at + 1] << 8); }
uint32_t Le32(const Bytes& b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// One band command taken apart.
struct Band {
  int offset = 0;  // 0 when no vertical offset was sent
  int x = 0;
  uint8_t a = 0, c = 0;
  int width = 0, rows = 0;
  Bytes data;
};

// Parses a run of position/store commands, with vertical offsets and print
// commands between them; fails the test on anything else.
std::vector<Band> ParseBands(const Bytes& b, int* prints) {
  std::vector<Band> bands;
  size_t i = 0;
  int offset = 0;
  *prints = 0;
  while (i < b.size()) {
    if (b[i] == 0x1D && b[i + 1] == 0x5C) {
      offset = static_cast<int16_t>(Le16(b, i + 2));
      i += 4;
    } else if (b[i] == 0x1B && b[i + 1] == 0x24) {
      Band band;
      band.offset = offset;
      offset = 0;
      band.x = Le16(b, i + 2);
      i += 4;
      EXPECT_EQ(Bytes({0x1D, 0x38, 0x4C}), Slice(b, i, 3));
      const uint32_t k = Le32(b, i + 3) - 10;
      EXPECT_EQ(Bytes({0x30, 0x70}), Slice(b, i + 7, 2));
      band.a = b[i + 9];
      EXPECT_EQ(Bytes({0x01, 0x01}), Slice(b, i + 10, 2));
      band.c = b[i + 12];
      band.width = Le16(b, i + 13);
      band.rows = Le16(b, i + 15);
      band.data = Slice(b, i + 17, k);
      i += 17 + k;
      bands.push_back(band);
    } else if (Slice(b, i, 7) == Bytes({0x1D, 0x28, 0x4C, 0x02, 0x00, 0x30, 0x32})) {
      ++*prints;
      i += 7;
    } else {
      ADD_FAILURE() << "unexpected byte at " << i;
      break;
    }
  }
  return bands;
}

Bytes Inflate(const Bytes& packed, size_t expect) {
  Bytes plain(expect + 16);
  uLongf len = plain.size();
  EXPECT_EQ(Z_OK, uncompress(plain.data(), &len, packed.data(), packed.size()));
  plain.resize(len);
  return plain;
}

Bytes ReplaceDle(Bytes b) {
  for (auto& v : b) v = v == 0x10 ? 0x20 : v;
  return b;
}

TEST(PrnRasterImage, TwoBandsWithOffsetsAndPosition) {
  Bytes data = Image(72, 100, 7);
  data[5] = 0x10;
  Bytes out;
  ASSERT_EQ(0, PrnRasterImageBytes(out, kReceipt, 576, 100, data.data(), data.size(), 1, 0,
                                   PrnDefaultDeflate()));
  ASSERT_EQ(7264u, out.size());
  const Bytes head = {0x1D, 0x5C, 0xD4, 0xFF, 0x1B, 0x24, 0x08, 0x00, 0x1D, 0x38, 0x4C, 0xCA, 0x0F,
                      0x00, 0x00, 0x30, 0x70, 0x30, 0x01, 0x01, 0x31, 0x40, 0x02, 0x38, 0x00};
  EXPECT_EQ(head, Slice(out, 0, head.size()));
  EXPECT_EQ(0x20, out[head.size() + 5]);  // DLE never reaches the printer
  EXPECT_EQ(ReplaceDle(Slice(data, 0, 4032)), Slice(out, head.size(), 4032));
  const size_t second = head.size() + 4032 + 7;
  const Bytes head2 = {0x1D, 0x5C, 0x2C, 0x00, 0x1B, 0x24, 0x08, 0x00, 0x1D, 0x38, 0x4C, 0x6A, 0x0C,
                       0x00, 0x00, 0x30, 0x70, 0x30, 0x01, 0x01, 0x31, 0x40, 0x02, 0x2C, 0x00};
  EXPECT_EQ(head2, Slice(out, second, head2.size()));
  EXPECT_EQ(ReplaceDle(Slice(data, 4032, 3168)), Slice(out, second + head2.size(), 3168));
  EXPECT_EQ(Bytes({0x1D, 0x28, 0x4C, 0x02, 0x00, 0x30, 0x32}), Slice(out, out.size() - 7, 7));
}

TEST(PrnRasterImage, EveryByteValueAtEveryAlignmentKeepsAllButDle) {
  Bytes data;
  for (int shift = 0; shift < 9; ++shift) {
    for (int v = 0; v < 256; ++v) data.push_back(static_cast<uint8_t>(v + shift));
    data.insert(data.end(), {0x10, 0x10, 0x90, 0x11, 0x0F});
  }
  data.resize(data.size() / 9 * 9);
  const int rowBytes = static_cast<int>(data.size() / 9);
  Bytes out;
  const PrnImageLimits_t limits{0, 0, 512, 256, 1 << 20};
  ASSERT_EQ(0, PrnRasterImageBytes(out, limits, rowBytes * 8, 9, data.data(), data.size(), 1, 0,
                                   PrnDefaultDeflate()));
  int prints = 0;
  const auto bands = ParseBands(out, &prints);
  ASSERT_EQ(1u, bands.size());
  EXPECT_EQ(ReplaceDle(data), bands[0].data);
}

TEST(PrnRasterImage, BandSizesPositionAndColor) {
  struct Case {
    PrnImageLimits_t limits;
    int width, height, color;
    std::vector<int> rows, offsets;
    int x;
    uint8_t c;
  };
  const Case cases[] = {
      {kReceipt, 576, 40, 0, {40}, {0}, 8, 0x30},                  // one band: no offset
      {{13, 1, 512, 256, 4096}, 576, 40, 2, {40}, {0}, 13, 0x32},  // page mode keeps x
      {{0, 0, 128, 128, 6927}, 576, 200, 7, {95, 95, 10}, {-105, 95, 10}, 0, 0x31},
      {{0, 0, 16, 256, 4096}, 8, 40, 4, {16, 16, 8}, {-24, 16, 8}, 0, 0x34},
  };
  for (const auto& tc : cases) {
    const int r = (tc.width + 7) / 8;
    const Bytes data = Image(r, tc.height, 3);
    Bytes out;
    ASSERT_EQ(0, PrnRasterImageBytes(out, tc.limits, tc.width, tc.height, data.data(), data.size(),
                                     tc.color, 0, PrnDefaultDeflate()));
    int prints = 0;
    const auto bands = ParseBands(out, &prints);
    ASSERT_EQ(tc.rows.size(), bands.size());
    EXPECT_EQ(static_cast<int>(bands.size()), prints);
    for (size_t i = 0; i < bands.size(); ++i) {
      EXPECT_EQ(tc.rows[i], bands[i].rows);
      EXPECT_EQ(tc.offsets[i], bands[i].offset);
      EXPECT_EQ(tc.x, bands[i].x);
      EXPECT_EQ(tc.c, bands[i].c);
      EXPECT_EQ(0x30, bands[i].a);
      EXPECT_EQ(tc.width, bands[i].width);
    }
  }
}

TEST(PrnRasterImage, RefusesBadInputAndLeavesOutputAlone) {
  const Bytes data = Image(72, 100, 1);
  const Bytes before = {0xAA};
  struct Case {
    const char* what;
    PrnImageLimits_t limits;
    int width, height;
    size_t size;
    int compress;
    int rc;
  };
  const Case cases[] = {
      {"data shorter than the image", kReceipt, 576, 100, data.size() - 1, 0, 1},
      {"compress above 1", kReceipt, 576, 100, data.size(), 2, 1},
      {"zero width", kReceipt, 0, 100, data.size(), 0, 1},
      {"row wider than the byte limit", {0, 0, 512, 256, 80}, 576, 100, data.size(), 0, 1},
      {"zero band limit", {0, 0, 0, 256, 4096}, 576, 100, data.size(), 0, 1},
      {"zero height appends nothing", kReceipt, 576, 0, data.size(), 0, 0},
  };
  for (const auto& tc : cases) {
    Bytes out = before;
    EXPECT_EQ(tc.rc, PrnRasterImageBytes(out, tc.limits, tc.width, tc.height, data.data(), tc.size,
                                         1, tc.compress, PrnDefaultDeflate()))
        << tc.what;
    EXPECT_EQ(before, out) << tc.what;
  }
  Bytes out;
  EXPECT_EQ(1, PrnRasterImageBytes(out, kReceipt, 8, 1, nullptr, 1, 1, 0, PrnDefaultDeflate()));
}

// The widest ints are refused like any width above FFFFh; the row size was
// once computed from them first and overflowed (the sanitizer build stops on
// that).
TEST(PrnRasterImage, WidthNearIntMaxIsRefusedWithoutOverflow) {
  const Bytes data(64, 0xFF);
  for (int width : {INT_MAX, INT_MAX - 1, INT_MAX - 6, 0x10000}) {
    SCOPED_TRACE(width);
    Bytes out = {0xAA};
    EXPECT_EQ(1, PrnRasterImageBytes(out, kReceipt, width, 1, data.data(), data.size(), 1, 0,
                                     PrnDefaultDeflate()));
    EXPECT_EQ(1, PrnGrayImageBytes(out, kReceipt, width, 1, data.data(), data.size(), 0,
                                   PrnDefaultDeflate()));
    EXPECT_EQ(out, Bytes{0xAA});
  }
}

TEST(ContainsRealtimeCommand, ChecksEveryPositionWithThreeBytesLeft) {
  struct Case {
    Bytes bytes;
    bool found;
  };
  const Case cases[] = {
      {{0x10, 0x04, 0x01}, true},  // complete pattern at the very end
      {{0x00, 0x10, 0x04, 0x0F}, true},  {{0x10, 0x04, 0x10}, false},
      {{0x00, 0x00, 0x10, 0x04}, false},  // incomplete
      {{0x10, 0x14, 0x00}, true},        {{0x10, 0x14, 0x0F}, true},
      {{0x10, 0x14, 0x10}, false},       {{0x10, 0x14, 0x12}, true},
      {{0x10, 0x14, 0x13}, false},       {{0x10, 0x14, 0x14}, true},
      {{0x10, 0x05, 0x01, 0x10}, false}, {{}, false},
  };
  for (const auto& tc : cases) {
    EXPECT_EQ(tc.found, ContainsRealtimeCommand(tc.bytes.data(), tc.bytes.size()))
        << testing::PrintToString(tc.bytes);
  }
}

// Compresses with zlib, but answers a block holding a real-time pattern for
// inputs of the lengths listed; can also fail outright.
struct FakeDeflate {
  explicit FakeDeflate(std::vector<unsigned long> lengths = {}) : poisoned(std::move(lengths)) {}
  std::vector<unsigned long> poisoned;
  int fail = Z_OK;
  std::vector<unsigned long> calls;

  static int Run(void* ctx, uint8_t* dst, unsigned long* dstLen, const uint8_t* src,
                 unsigned long srcLen) {
    auto* self = static_cast<FakeDeflate*>(ctx);
    self->calls.push_back(srcLen);
    if (self->fail != Z_OK) return self->fail;
    for (unsigned long n : self->poisoned) {
      if (n == srcLen) {
        const uint8_t bad[] = {0x78, 0x9C, 0x10, 0x14, 0x01, 0x00};
        std::copy(std::begin(bad), std::end(bad), dst);
        *dstLen = sizeof bad;
        return Z_OK;
      }
    }
    uLongf len = *dstLen;
    const int rc = compress(dst, &len, src, srcLen);
    *dstLen = len;
    return rc;
  }
  PrnDeflate_t Hook() { return PrnDeflate_t{Run, this}; }
};

TEST(PrnRasterImage, CompressedBandRoundTripsThroughZlib) {
  const Bytes data = Image(72, 100, 11);
  Bytes out;
  ASSERT_EQ(0, PrnRasterImageBytes(out, kReceipt, 576, 100, data.data(), data.size(), 1, 1,
                                   PrnDefaultDeflate()));
  int prints = 0;
  const auto bands = ParseBands(out, &prints);
  ASSERT_EQ(1u, bands.size());
  EXPECT_EQ(0x31, bands[0].a);
  EXPECT_EQ(100, bands[0].rows);
  EXPECT_EQ(0, bands[0].offset);
  EXPECT_FALSE(ContainsRealtimeCommand(bands[0].data.data(), bands[0].data.size()));
  EXPECT_EQ(data, Inflate(bands[0].data, data.size()));  // no DLE replacement when compressed
}

TEST(PrnRasterImage, CompressedBandWithRealtimePatternIsSplitAndRecompressed) {
  const Bytes data = Image(72, 100, 5);
  FakeDeflate fake({100 * 72});
  Bytes out;
  ASSERT_EQ(
      0, PrnRasterImageBytes(out, kReceipt, 576, 100, data.data(), data.size(), 1, 1, fake.Hook()));
  int prints = 0;
  const auto bands = ParseBands(out, &prints);
  ASSERT_EQ(3u, bands.size());
  EXPECT_EQ(3, prints);
  const int rows[] = {34, 34, 32};
  // Bands are placed by their bottom row: up to the first piece's bottom, then
  // down by each piece's height, ending where the whole band would have.
  const int offsets[] = {-66, 34, 32};
  size_t top = 0;
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(rows[i], bands[i].rows);
    EXPECT_EQ(offsets[i], bands[i].offset);
    EXPECT_EQ(0x31, bands[i].a);
    const size_t n = static_cast<size_t>(rows[i]) * 72;
    EXPECT_EQ(Slice(data, top, n), Inflate(bands[i].data, n));
    top += n;
  }
  EXPECT_EQ((std::vector<unsigned long>{7200, 2448, 2448, 2304}), fake.calls);
}

TEST(PrnRasterImage, ShortPoisonedBandIsResentUncompressedWithinBuilderLimits) {
  const Bytes data = Image(1, 40, 9);
  FakeDeflate fake({40});
  Bytes out;
  const PrnImageLimits_t limits{0, 0, 16, 256, 4096};
  ASSERT_EQ(0,
            PrnRasterImageBytes(out, limits, 8, 40, data.data(), data.size(), 1, 1, fake.Hook()));
  int prints = 0;
  const auto bands = ParseBands(out, &prints);
  ASSERT_EQ(3u, bands.size());
  const int rows[] = {16, 16, 8};
  const int offsets[] = {-24, 16, 8};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(0x30, bands[i].a);
    EXPECT_EQ(rows[i], bands[i].rows);
    EXPECT_EQ(offsets[i], bands[i].offset);
    EXPECT_EQ(ReplaceDle(Slice(data, 16 * i, rows[i])), bands[i].data);
  }
}

// A poisoned short band whose uncompressed pieces could not hold one row under
// the builder's byte limit is refused whole rather than looping or sending junk.
TEST(PrnRasterImage, PoisonedBandWithNoRoomForARowIsRefused) {
  const Bytes mono = Image(72, 40, 9);
  const Bytes gray = Image(288, 20, 9);
  const PrnImageLimits_t limits{0, 0, 512, 256, 80};  // (80 - 21) / 72 = 0 rows
  FakeDeflate monoFake({40 * 72});
  FakeDeflate grayFake({20 * 72});
  Bytes out = {0x42};
  EXPECT_EQ(1, PrnRasterImageBytes(out, limits, 576, 40, mono.data(), mono.size(), 1, 1,
                                   monoFake.Hook()));
  EXPECT_EQ(1,
            PrnGrayImageBytes(out, limits, 576, 20, gray.data(), gray.size(), 1, grayFake.Hook()));
  EXPECT_EQ(Bytes{0x42}, out);
}

// In page mode the printer places each band with its bottom row at the
// current vertical position: walking the offsets must lay the bands edge to
// edge in image order and come back to where the image started, however its
// bands were split (twice nested, then down to uncompressed pieces).
TEST(PrnRasterImage, SplitBandsTileThePageWithoutGapsOrOverlap) {
  const int height = 1000;  // compressed bands of 800 and 200 rows
  const Bytes data = Image(1, height, 17);
  // 800 -> 268, 268, 264; 268 -> 90, 90, 88; 88 -> 30, 30, 28; 28 -> raw 16, 12.
  FakeDeflate fake({800, 268, 88, 28});
  Bytes out;
  const PrnImageLimits_t limits{0, 1, 16, 256, 4096};
  ASSERT_EQ(
      0, PrnRasterImageBytes(out, limits, 8, height, data.data(), data.size(), 1, 1, fake.Hook()));
  int prints = 0;
  const auto bands = ParseBands(out, &prints);
  ASSERT_FALSE(bands.empty());
  int y = 0;          // printer's vertical position, 0 where the image started
  int top = -height;  // where the next band must begin
  for (const auto& band : bands) {
    y += band.offset;
    EXPECT_EQ(top, y - band.rows) << "band of " << band.rows << " rows";
    const size_t row = static_cast<size_t>(y - band.rows + height);
    const size_t n = static_cast<size_t>(band.rows);
    const Bytes rows = band.a == 0x31 ? Inflate(band.data, n) : band.data;
    EXPECT_EQ(band.a == 0x31 ? Slice(data, row, n) : ReplaceDle(Slice(data, row, n)), rows);
    top = y;
  }
  EXPECT_EQ(0, y);
  EXPECT_TRUE(std::any_of(bands.begin(), bands.end(), [](const Band& b) { return b.a == 0x30; }));
}

TEST(PrnRasterImage, CompressorFailureDiscardsTheWholeImage) {
  const Bytes data = Image(72, 1000, 5);
  for (auto [fail, rc] : {std::pair{Z_MEM_ERROR, 3}, std::pair{Z_BUF_ERROR, -1}}) {
    FakeDeflate fake;
    fake.fail = fail;
    Bytes out = {0x42};
    EXPECT_EQ(rc, PrnRasterImageBytes(out, kReceipt, 576, 1000, data.data(), data.size(), 1, 1,
                                      fake.Hook()));
    EXPECT_EQ(Bytes{0x42}, out);
  }
}

TEST(PrnGrayImage, TwoByOneImageStoresFourPlanes) {
  const Bytes data = {0x9F};  // pixels 9 (1001) and 15 (1111)
  Bytes out;
  ASSERT_EQ(0, PrnGrayImageBytes(out, kReceipt, 2, 1, data.data(), 1, 0, PrnDefaultDeflate()));
  Bytes expect;
  const uint8_t planes[] = {0xC0, 0x40, 0x40, 0xC0};
  for (int i = 0; i < 4; ++i) {
    const Bytes store = {0x1B,
                         0x24,
                         0x08,
                         0x00,
                         0x1D,
                         0x38,
                         0x4C,
                         0x0B,
                         0x00,
                         0x00,
                         0x00,
                         0x30,
                         0x70,
                         0x34,
                         0x01,
                         0x01,
                         static_cast<uint8_t>(0x31 + i),
                         0x02,
                         0x00,
                         0x01,
                         0x00,
                         planes[i]};
    expect.insert(expect.end(), store.begin(), store.end());
  }
  const Bytes print = {0x1D, 0x28, 0x4C, 0x02, 0x00, 0x30, 0x32};
  expect.insert(expect.end(), print.begin(), print.end());
  EXPECT_EQ(expect, out);
}

TEST(PrnGrayImage, PlanesKeepDleAndPaddingStaysWhite) {
  // Width 9: pixel 3 is 8 (plane 0 byte 10h); the padding nibble of the last
  // input byte is set but must not print.
  const Bytes data = {0x00, 0x08, 0x00, 0x00, 0xFF};
  Bytes out;
  ASSERT_EQ(
      0, PrnGrayImageBytes(out, kReceipt, 9, 1, data.data(), data.size(), 0, PrnDefaultDeflate()));
  int prints = 0;
  const auto bands = ParseBands(out, &prints);
  ASSERT_EQ(4u, bands.size());
  EXPECT_EQ(1, prints);
  EXPECT_EQ(Bytes({0x10, 0x80}), bands[0].data);
  for (int i = 1; i < 4; ++i) EXPECT_EQ(Bytes({0x00, 0x80}), bands[i].data);
}

TEST(PrnGrayImage, CompressedPlanesRoundTripAndPoisonedBandSplits) {
  const int width = 16, height = 40;  // r = 2, stride 8
  const Bytes data = Image(8, height, 21);
  FakeDeflate fake({static_cast<unsigned long>(height * 2)});
  Bytes out;
  ASSERT_EQ(
      0, PrnGrayImageBytes(out, kReceipt, width, height, data.data(), data.size(), 1, fake.Hook()));
  int prints = 0;
  const auto bands = ParseBands(out, &prints);
  // 40 rows: pieces of 14, 14 and 12 rows, four compressed planes each.
  ASSERT_EQ(12u, bands.size());
  EXPECT_EQ(3, prints);
  const int rows[] = {14, 14, 12};
  int top = 0;
  for (int piece = 0; piece < 3; ++piece) {
    Bytes raw;
    ASSERT_EQ(0, PrnGrayImageBytes(raw, kReceipt, width, rows[piece], data.data() + top * 8,
                                   static_cast<size_t>(rows[piece]) * 8, 0, PrnDefaultDeflate()));
    int rawPrints = 0;
    const auto planes = ParseBands(raw, &rawPrints);
    for (int p = 0; p < 4; ++p) {
      const auto& band = bands[piece * 4 + p];
      EXPECT_EQ(0x35, band.a);
      EXPECT_EQ(0x31 + p, band.c);
      EXPECT_EQ(rows[piece], band.rows);
      const int offsets[] = {-26, 14, 12};
      EXPECT_EQ(p == 0 ? offsets[piece] : 0, band.offset);
      EXPECT_EQ(planes[p].data, Inflate(band.data, planes[p].data.size()));
    }
    top += rows[piece];
  }
}

TEST(PrnBitImage, EightDotStripes) {
  // Column 0 black on all 9 rows, column 2 black on row 3 only (byte 10h).
  Bytes data(9, 0x80);
  data[3] = 0xA0;
  struct Case {
    int density;
    bool switchColor;
    int color;
    Bytes prefix;
  };
  const Case cases[] = {
      {0, false, 1, {}},
      {1, true, 2, {0x1B, 0x4A, 0x00, 0x1B, 0x72, 0x01}},
      {0, true, 1, {0x1B, 0x4A, 0x00, 0x1B, 0x72, 0x00}},
  };
  for (const auto& tc : cases) {
    Bytes out;
    ASSERT_EQ(0, PrnBitImageBytes(out, 3, 9, data.data(), data.size(), 0, tc.density,
                                  tc.switchColor, tc.color));
    Bytes expect = tc.prefix;
    const auto m = static_cast<uint8_t>(tc.density);
    const Bytes body = {0x1B, 0x2A, m, 0x03, 0x00, 0xFF, 0x00, 0x20, 0x1B, 0x4A, 0x10,
                        0x1B, 0x2A, m, 0x03, 0x00, 0x80, 0x00, 0x00, 0x1B, 0x4A, 0x10};
    expect.insert(expect.end(), body.begin(), body.end());
    EXPECT_EQ(expect, out);
  }
  Bytes out;
  EXPECT_EQ(0, PrnBitImageBytes(out, 3, 9, data.data(), data.size(), 1, 0, true, 2));
  EXPECT_TRUE(out.empty());  // no compressed form: nothing, not even the color
  EXPECT_EQ(1, PrnBitImageBytes(out, 3, 9, data.data(), data.size(), 2, 0, false, 1));
  EXPECT_EQ(1, PrnBitImageBytes(out, 3, 9, data.data(), 8, 0, 0, false, 1));
}

TEST(PrnBitImage, TwentyFourDotStripes) {
  Bytes data(25, 0x80);  // width 2: column 0 black on 25 rows
  data[3] = 0xC0;        // column 1 black on row 3 only
  Bytes out;
  ASSERT_EQ(0, PrnBitImage24Bytes(out, 2, 25, data.data(), data.size(), 0));
  const Bytes expect = {0x1D, 0x28, 0x4B, 0x02, 0x00, 0x30, 0x03, 0x1B, 0x55, 0x01, 0x1B, 0x2A,
                        0x21, 0x02, 0x00, 0xFF, 0xFF, 0xFF, 0x20, 0x00, 0x00, 0x1B, 0x4A, 0x18,
                        0x1B, 0x2A, 0x21, 0x02, 0x00, 0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x1B,
                        0x4A, 0x18, 0x1D, 0x28, 0x4B, 0x02, 0x00, 0x30, 0x00, 0x1B, 0x55, 0x00};
  EXPECT_EQ(expect, out);
  out.clear();
  EXPECT_EQ(0, PrnBitImage24Bytes(out, 2, 25, data.data(), data.size(), 1));
  EXPECT_TRUE(out.empty());
}

TEST(PrnLogo, KeyCodesAndLogoNumbers) {
  Bytes out;
  EXPECT_EQ(0, PrnNvLogoBytes(out, 0x20, 0x7E));
  EXPECT_EQ(Bytes({0x1D, 0x28, 0x4C, 0x06, 0x00, 0x30, 0x45, 0x20, 0x7E, 0x01, 0x01}), out);
  for (auto [kc1, kc2] : {std::pair{0x1F, 0x30}, std::pair{0x30, 0x7F}}) {
    Bytes none;
    EXPECT_EQ(1, PrnNvLogoBytes(none, kc1, kc2));
    EXPECT_TRUE(none.empty());
  }
  out.clear();
  EXPECT_EQ(0, PrnNvLogoImpactBytes(out, true, 2, 255));
  EXPECT_EQ(Bytes({0x1B, 0x4A, 0x00, 0x1B, 0x72, 0x01, 0x1C, 0x70, 0xFF, 0x00}), out);
  out.clear();
  EXPECT_EQ(0, PrnNvLogoImpactBytes(out, false, 1, 1));
  EXPECT_EQ(Bytes({0x1C, 0x70, 0x01, 0x00}), out);
  EXPECT_EQ(1, PrnNvLogoImpactBytes(out, false, 1, 0));
  EXPECT_EQ(1, PrnNvLogoImpactBytes(out, false, 1, 256));
}

}  // namespace
