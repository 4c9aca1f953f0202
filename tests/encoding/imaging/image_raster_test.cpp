#include "encoding/imaging/image_raster.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <vector>

#include "../../foundation/log_test_fixture.h"
#include "encoding/imaging/image_frame.h"
#include "encoding/imaging/image_tables.h"
#include "encoding/test_hooks.h"

using namespace tilo2::core;

namespace {

using Bytes = std::vector<uint8_t>;

// A blue-green-red image; gray pixels (v, v, v) have luma v exactly.
struct Image {
  int width, height;
  Bytes px;
  Image(int w, int h, uint8_t gray = 255) : width(w), height(h), px(size_t(w) * h * 3, gray) {}
  void set(int x, int y, uint8_t gray) { setBgr(x, y, gray, gray, gray); }
  void setBgr(int x, int y, uint8_t b, uint8_t g, uint8_t r) {
    uint8_t* p = &px[(size_t(y) * width + x) * 3];
    p[0] = b, p[1] = g, p[2] = r;
  }
};

using Convert = int (*)(const uint8_t*, int, int, int, int, int, int, double, uint8_t*, int);

struct Method {
  const char* name;
  Convert fn;
  int dotsPerByte;
};

const Method kMono[] = {{"dither", ImageDitherToRaster, 8},
                        {"diffuse", ImageDiffuseToRaster, 8},
                        {"threshold", ImageThresholdToRaster, 8},
                        {"service dither", TdevImageDitherToRaster, 8},
                        {"service diffuse", TdevImageDiffuseToRaster, 8},
                        {"service threshold", TdevImageThresholdToRaster, 8}};

Bytes run(Convert fn, const Image& img, int dotsPerByte, double brightness = 1.0) {
  Bytes out(size_t((img.width + dotsPerByte - 1) / dotsPerByte) * img.height, 0xEE);
  EXPECT_EQ(fn(img.px.data(), img.width, img.height, 0, 0, img.width, img.height, brightness,
               out.data(), int(out.size())),
            0);
  return out;
}

TEST(ImageRaster, MonoMethodsAgreeOnPureBlackAndWhite) {
  Image white(9, 2), black(9, 2, 0), dot(8, 1);
  dot.set(3, 0, 0);
  for (const Method& m : kMono) {
    SCOPED_TRACE(m.name);
    EXPECT_EQ(run(m.fn, white, 8), (Bytes{0x00, 0x00, 0x00, 0x00}));
    EXPECT_EQ(run(m.fn, black, 8), (Bytes{0xFF, 0x80, 0xFF, 0x80}));
    // 10h would read as a real-time prefix: the dot moves to column 2.
    EXPECT_EQ(run(m.fn, dot, 8), (Bytes{0x20}));
  }
}

TEST(ImageRaster, ThresholdSplitsAtLuma128) {
  Image img(3, 1);
  img.set(0, 0, 127);
  img.set(1, 0, 128);
  img.setBgr(2, 0, 0, 0, 255);  // pure red: luma (255 x 313430 + 2^19) >> 20 = 76
  EXPECT_EQ(run(ImageThresholdToRaster, img, 8), (Bytes{0xA0}));
}

TEST(ImageRaster, BrightnessBendsTheToneCurve) {
  Image img(2, 1);
  img.set(0, 0, 64);  // 2.0 lifts 64 to 127: still black
  img.set(1, 0, 65);  // and 65 to 128: white
  EXPECT_EQ(run(ImageThresholdToRaster, img, 8, 2.0), (Bytes{0x80}));
  EXPECT_EQ(run(ImageThresholdToRaster, img, 8, 1.0), (Bytes{0xC0}));
  Image lifted(4, 4, 64), same(4, 4, 127);
  EXPECT_EQ(run(ImageToGray16, lifted, 2, 2.0), run(ImageToGray16, same, 2));
}

TEST(ImageRaster, DitherAtFlatLuma100BlackensTheCellsAbove100) {
  Image img(16, 16, 100);
  Bytes out = run(ImageDitherToRaster, img, 8);
  int black = 0;
  for (int r = 0; r < 16; ++r)
    for (int c = 0; c < 16; ++c) {
      bool dot = out[r * 2 + c / 8] & (0x80 >> (c % 8));
      EXPECT_EQ(dot, kDitherMatrix[r % 8][c % 8] > 100) << r << "," << c;
      black += dot;
    }
  EXPECT_EQ(black, 4 * 39);
}

TEST(ImageRaster, DiffusionOfMidGrayAlternatesAndRepeats) {
  Image img(8, 4, 128);
  const Bytes expected = {0x55, 0xAA, 0x55, 0xAA};
  EXPECT_EQ(run(ImageDiffuseToRaster, img, 8), expected);
  EXPECT_EQ(run(ImageDiffuseToRaster, img, 8), expected);  // the error row starts at 0 each call
}

TEST(ImageRaster, GrayUsesTheToneCurveAndMatrixAsTabled) {
  // Luma 128: lightness 130 = 7 x 17 + 11, rounded up where the matrix is below 11.
  Image mid(4, 4, 128);
  EXPECT_EQ(run(ImageToGray16, mid, 2), (Bytes{0x77, 0x78, 0x87, 0x87, 0x78, 0x77, 0x87, 0x87}));
  EXPECT_EQ(run(TdevImageToGray16, mid, 2),
            (Bytes{0x88, 0x87, 0x78, 0x78, 0x87, 0x88, 0x78, 0x78}));
  // Luma 20: lightness 67 = 3 x 17 + 16; only the matrix cell 16 (row 3, column 0) rounds down.
  Image dark(4, 4, 20);
  EXPECT_EQ(run(ImageToGray16, dark, 2), (Bytes{0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xBB, 0xCB, 0xBB}));
}

TEST(ImageRaster, GrayRowsOfOddWidthInBothCopies) {
  Image white(3, 2), black(3, 1, 0);
  EXPECT_EQ(run(ImageToGray16, white, 2), (Bytes{0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(run(TdevImageToGray16, white, 2), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(run(ImageToGray16, black, 2), (Bytes{0xFF, 0xF0}));
  EXPECT_EQ(run(TdevImageToGray16, black, 2), (Bytes{0x00, 0x0F}));
}

TEST(ImageRaster, RectangleSelectsTheSourcePixels) {
  Image img(12, 6);
  img.set(5, 3, 0);
  Bytes out(2, 0xEE);
  for (const Method& m : kMono) {
    SCOPED_TRACE(m.name);
    ASSERT_EQ(m.fn(img.px.data(), 12, 6, 4, 2, 8, 2, 1.0, out.data(), 2), 0);
    EXPECT_EQ(out, (Bytes{0x00, 0x40}));
  }
  ASSERT_EQ(ImageToGray16(img.px.data(), 12, 6, 4, 3, 2, 1, 1.0, out.data(), 2), 0);
  EXPECT_EQ(out, (Bytes{0x0F, 0x00}));  // the byte after the one row is cleared
}

// Straight per-dot versions of the conversions, to hold the fast kernels to.
Bytes reference(const Image& img, int method, double brightness) {
  const int w = img.width, h = img.height;
  auto luma = [&](int x, int y) {
    const uint8_t* p = &img.px[(size_t(y) * w + x) * 3];
    int l = int((p[2] * 313430u + p[1] * 615105u + p[0] * 120041u + 524288u) >> 20);
    if (brightness != 1.0) l = int(std::pow(l / 255.0, 1.0 / brightness) * 255.0);
    return l;
  };
  const int rowBytes = method == 3 ? (w + 1) / 2 : (w + 7) / 8;
  Bytes out(size_t(rowBytes) * h, 0);
  std::vector<int> err(w, 0);
  for (int r = 0; r < h; ++r) {
    int right = 0, belowRight = 0;
    for (int c = 0; c < w; ++c) {
      const int l = luma(c, r);
      if (method == 3) {
        const int t = kGrayTone[l], level = t / 17 + (kGrayMatrix[r % 4][c % 4] < t % 17);
        out[r * rowBytes + c / 2] |= uint8_t((15 - level) << (c % 2 ? 0 : 4));
        continue;
      }
      bool black;
      if (method == 0)
        black = l < kDitherMatrix[r % 8][c % 8];
      else if (method == 2)
        black = l < 128;
      else {
        const int v = l + ((err[c] + right) >> 4);
        black = v < 128;
        const int e = black ? v : v - 255;
        if (c > 0) err[c - 1] += e;
        right = 5 * e;
        err[c] = 7 * e + belowRight;
        belowRight = 3 * e;
      }
      if (black) out[r * rowBytes + c / 8] |= uint8_t(0x80 >> (c % 8));
    }
  }
  if (method != 3)
    for (uint8_t& b : out) b = b == 0x10 ? 0x20 : b;
  return out;
}

// Runs a test body with the vector paths and again with the scalar ones.
template <typename Body>
void on_both_paths(Body body) {
  for (bool vector : {true, false}) {
    SCOPED_TRACE(vector ? "vector paths" : "scalar paths");
    ImageSetVectorPaths(vector);
    body();
  }
  ImageSetVectorPaths(true);
}

TEST(ImageRaster, NoisyImagesMatchPerDotConversion) {
  const Convert fns[] = {ImageDitherToRaster, ImageDiffuseToRaster, ImageThresholdToRaster,
                         ImageToGray16};
  // Wider than one run and one block of the kernels, odd sizes, narrow ones.
  const std::pair<int, int> sizes[] = {{601, 9}, {97, 6}, {1, 3}, {2, 2}, {33, 1}, {66, 5}};
  std::mt19937 rng(7);
  on_both_paths([&] {
    for (auto [w, h] : sizes) {
      Image img(w, h);
      for (uint8_t& b : img.px) b = uint8_t(rng());
      for (double brightness : {1.0, 1.7}) {
        for (int m = 0; m < 4; ++m) {
          SCOPED_TRACE(testing::Message()
                       << w << "x" << h << " method " << m << " brightness " << brightness);
          EXPECT_EQ(run(fns[m], img, m == 3 ? 2 : 8, brightness), reference(img, m, brightness));
        }
      }
    }
  });
}

TEST(ImageRaster, LumaOfEveryColourIsTheWeightedSum) {
  ImageTone identity{true, {}};
  on_both_paths([&] {
    Bytes bgr(256 * 3);
    uint8_t luma[256];
    int wrong = 0;
    for (uint32_t rg = 0; rg < 65536; ++rg) {
      for (uint32_t b = 0; b < 256; ++b) {
        bgr[b * 3] = uint8_t(b), bgr[b * 3 + 1] = uint8_t(rg), bgr[b * 3 + 2] = uint8_t(rg >> 8);
      }
      ImageLuma(bgr.data(), 256, identity, luma);
      for (uint32_t b = 0; b < 256; ++b)
        wrong +=
            luma[b] != ((rg >> 8) * 313430u + (rg & 255) * 615105u + b * 120041u + 524288u) >> 20;
    }
    EXPECT_EQ(wrong, 0);
  });
}

TEST(ImageRaster, RefusesBadArgumentsWithoutWriting) {
  Image img(8, 4);
  const uint8_t* px = img.px.data();
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    const char* name;
    const uint8_t* px;
    int width, height, x, y, outWidth, outHeight;
    double brightness;
    bool nullOut;
    int outLength;  // for a 1-bit row of 1 byte
  } cases[] = {
      {"null pixels", nullptr, 8, 4, 0, 0, 8, 4, 1.0, false, 4},
      {"null buffer", px, 8, 4, 0, 0, 8, 4, 1.0, true, 4},
      {"zero length", px, 8, 4, 0, 0, 8, 4, 1.0, false, 0},
      {"one byte short", px, 8, 4, 0, 0, 8, 4, 1.0, false, 3},
      {"past the right edge", px, 8, 4, 1, 0, 8, 4, 1.0, false, 4},
      {"past the bottom", px, 8, 4, 0, 1, 8, 4, 1.0, false, 4},
      {"negative x", px, 8, 4, -1, 0, 8, 4, 1.0, false, 4},
      {"negative y", px, 8, 4, 0, -1, 8, 4, 1.0, false, 4},
      {"empty rectangle", px, 8, 4, 0, 0, 0, 4, 1.0, false, 4},
      {"NaN brightness", px, 8, 4, 0, 0, 8, 4, nan, false, 4},
      {"zero brightness", px, 8, 4, 0, 0, 8, 4, 0.0, false, 4},
  };
  std::vector<Method> all(std::begin(kMono), std::end(kMono));
  all.push_back({"gray", ImageToGray16, 2});
  all.push_back({"service gray", TdevImageToGray16, 2});
  for (const Method& m : all)
    for (const Case& c : cases) {
      Bytes out(64, 0xEE);
      const int length = m.dotsPerByte == 2 ? c.outLength * 4 : c.outLength;
      EXPECT_EQ(m.fn(c.px, c.width, c.height, c.x, c.y, c.outWidth, c.outHeight, c.brightness,
                     c.nullOut ? nullptr : out.data(), length),
                1)
          << m.name << ": " << c.name;
      EXPECT_EQ(out, Bytes(64, 0xEE)) << m.name << ": " << c.name;
    }
}

void* no_memory(size_t) { return nullptr; }

TEST(ImageRaster, DiffusionWithoutMemoryForTheErrorRow) {
  Image img(8, 1);
  Bytes out(1);
  EncodingSetAllocator(no_memory);
  EXPECT_EQ(ImageDiffuseToRaster(img.px.data(), 8, 1, 0, 0, 8, 1, 1.0, out.data(), 1), 5);
  EXPECT_EQ(TdevImageDiffuseToRaster(img.px.data(), 8, 1, 0, 0, 8, 1, 1.0, out.data(), 1), 12);
  EncodingSetAllocator(nullptr);
}

}  // namespace

// The engine's copy reports the lost error row in the log; the service's copy
// answers 12 without a line.
class ImageDiffusionLog : public LogTest {};

TEST_F(ImageDiffusionLog, OnlyTheEngineCopyLogsTheMissingErrorRow) {
  use_file(255);
  Image img(8, 1);
  Bytes out(1);
  EncodingSetAllocator(no_memory);
  EXPECT_EQ(TdevImageDiffuseToRaster(img.px.data(), 8, 1, 0, 0, 8, 1, 1.0, out.data(), 1), 12);
  EXPECT_TRUE(bodies().empty());
  EXPECT_EQ(ImageDiffuseToRaster(img.px.data(), 8, 1, 0, 0, 8, 1, 1.0, out.data(), 1), 5);
  EncodingSetAllocator(nullptr);
  const auto lines = bodies();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].rfind("ERROR,--,", 0), 0u) << lines[0];
  EXPECT_NE(lines[0].find("image_diffuse.cpp("), std::string::npos) << lines[0];
}

namespace {

TEST(ImageShiftCopy, PadsEachRowWithWhite) {
  // Source 4 x 2 with pixel bytes numbering them; copy 2 pixels from x = 1 behind 3 pad pixels.
  Bytes src(4 * 2 * 3);
  for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(i);
  Bytes out(5 * 2 * 3, 0xEE);
  ASSERT_EQ(ImageShiftCopy(src.data(), 4, 3, 1, 5, 2, out.data(), int(out.size())), 0);
  const Bytes expected = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 3,
                          4,    5,    6,    7,    8,    0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                          0xFF, 0xFF, 0xFF, 0xFF, 15,   16,   17,   18,   19,   20};
  EXPECT_EQ(out, expected);
}

TEST(ImageShiftCopy, RefusesLengthPadAndWidthOutOfRange) {
  Bytes src(4 * 2 * 3, 0), out(64, 0xEE);
  struct Case {
    const char* name;
    int srcWidth, pad, x, newWidth, rows, outLength;
  } cases[] = {
      {"zero length", 4, 3, 1, 5, 2, 0},
      {"one byte short", 4, 3, 1, 5, 2, 29},
      {"negative pad", 4, -1, 1, 5, 2, 30},
      {"pad wider than the row", 4, 6, 0, 5, 2, 30},
      {"span past the source row", 4, 1, 1, 5, 2, 30},
      {"negative x", 4, 3, -1, 5, 2, 30},
      {"no rows", 4, 3, 1, 5, 0, 30},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ImageShiftCopy(src.data(), c.srcWidth, c.pad, c.x, c.newWidth, c.rows, out.data(),
                             c.outLength),
              1)
        << c.name;
  }
  EXPECT_EQ(ImageShiftCopy(nullptr, 4, 3, 1, 5, 2, out.data(), 30), 1);
  EXPECT_EQ(ImageShiftCopy(src.data(), 4, 3, 1, 5, 2, nullptr, 30), 1);
  EXPECT_EQ(out, Bytes(64, 0xEE));
}

}  // namespace
