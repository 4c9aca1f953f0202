// 16 gray levels: lightness from the tone curve, split into 17 steps, the
// remainder rounded up or down by a 4 x 4 position matrix.

#include <algorithm>
#include <array>

#include "encoding/image_frame.h"
#include "encoding/image_raster.h"
#include "encoding/image_tables.h"

namespace {

// Nibble (0 white .. 15 black) for each matrix position and luma, built once
// at compile time from the tone curve and the matrix.
using NibbleTable = std::array<std::array<std::array<uint8_t, 256>, 4>, 4>;

constexpr NibbleTable make_nibbles() {
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

constexpr NibbleTable kNibbles = make_nibbles();

int to_gray16(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
              int outHeight, double brightness, uint8_t* out, int outLength, uint8_t flip) {
  ImageRect rect;
  ImageTone tone;
  if (int r = image_begin(pixels, width, height, x, y, outWidth, outHeight, brightness, out,
                          outLength, 2, rect, tone);
      r != 0)
    return r;
  const size_t rowBytes = (static_cast<size_t>(outWidth) + 1) / 2;
  uint8_t luma[kImageRun];
  for (int r = 0; r < outHeight; ++r) {
    const auto& row = kNibbles[r & 3];
    const uint8_t* src = rect.row(r);
    uint8_t* dst = out + static_cast<size_t>(r) * rowBytes;
    for (int c0 = 0; c0 < outWidth; c0 += kImageRun) {
      const int n = std::min(kImageRun, outWidth - c0);
      image_luma(src + 3 * static_cast<size_t>(c0), n, tone, luma);
      // Runs start on a multiple of 4, so the matrix column is the run's.
      int c = 0;
      for (; c + 2 <= n; c += 2)
        *dst++ = static_cast<uint8_t>((row[c & 3][luma[c]] << 4 | row[(c + 1) & 3][luma[c + 1]]) ^ flip);
      if (c < n) *dst++ = static_cast<uint8_t>((row[c & 3][luma[c]] << 4) ^ flip);
    }
  }
  return 0;
}

}  // namespace

int ImageToGray16(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                  int outHeight, double brightness, uint8_t* out, int outLength) {
  return to_gray16(pixels, width, height, x, y, outWidth, outHeight, brightness, out, outLength,
                   0x00);
}

// The service's copy stores every byte inverted: 0 black, 15 white.
int TdevImageToGray16(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                      int outHeight, double brightness, uint8_t* out, int outLength) {
  return to_gray16(pixels, width, height, x, y, outWidth, outHeight, brightness, out, outLength,
                   0xFF);
}
