// 16 gray levels: lightness from the tone curve, split into 17 steps, the
// remainder rounded up or down by a 4 x 4 position matrix.

#include <array>

#include "encoding/imaging/image_frame.h"
#include "encoding/imaging/image_raster.h"
#include "encoding/imaging/image_tables.h"

namespace tilo2::core {

namespace {

// Nibble (0 white .. 15 black) for each matrix position and luma, built once
// at compile time from the tone curve and the matrix.
using NibbleTable = std::array<std::array<std::array<uint8_t, 256>, 4>, 4>;

constexpr NibbleTable MakeNibbles() {
  NibbleTable t{};
  for (int r = 0; r < 4; ++r)
    for (int c = 0; c < 4; ++c)
      for (int l = 0; l < 256; ++l) {
        const int w = kGrayTone[l];
        const int level = w / 17 + (kGrayMatrix[r][c] < w % 17 ? 1 : 0);
        t[r][c][l] = static_cast<uint8_t>(15 - level);
      }
  return t;
}

constexpr NibbleTable kNibbles = MakeNibbles();

int ToGray16(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
             int outHeight, double brightness, uint8_t* out, int outLength, uint8_t flip) {
  ImageJob job;
  if (int r = ImageBegin(pixels, width, height, x, y, outWidth, outHeight, brightness, out,
                         outLength, 2, job))
    return r;
  ImageForEachRun(job, out, [&](int r, const uint8_t* luma, int n, uint8_t* dst) {
    // Runs start on a multiple of 4, so the matrix column is the run's.
    const auto& row = kNibbles[r & 3];
    int c = 0;
    for (; c + 2 <= n; c += 2)
      *dst++ =
          static_cast<uint8_t>((row[c & 3][luma[c]] << 4 | row[(c + 1) & 3][luma[c + 1]]) ^ flip);
    if (c < n) *dst++ = static_cast<uint8_t>((row[c & 3][luma[c]] << 4) ^ flip);
    return dst;
  });
  return 0;
}

}  // namespace

int ImageToGray16(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                  int outHeight, double brightness, uint8_t* out, int outLength) {
  return ToGray16(pixels, width, height, x, y, outWidth, outHeight, brightness, out, outLength,
                  0x00);
}

// The service's copy stores every byte inverted: 0 black, 15 white.
int TdevImageToGray16(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                      int outHeight, double brightness, uint8_t* out, int outLength) {
  return ToGray16(pixels, width, height, x, y, outWidth, outHeight, brightness, out, outLength,
                  0xFF);
}

}  // namespace tilo2::core
