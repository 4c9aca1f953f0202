// Error diffusion: each dot's error goes right 5/16, below-left 1/16,
// below 7/16 and below-right 3/16; errors leaving the rectangle are dropped.

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "encoding/alloc_hook.h"
#include "encoding/image_frame.h"
#include "encoding/image_raster.h"

namespace {

int diffuse_to_raster(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                      int outHeight, double brightness, uint8_t* out, int outLength,
                      int outOfMemory) {
  ImageRect rect;
  ImageTone tone;
  if (int r = image_begin(pixels, width, height, x, y, outWidth, outHeight, brightness, out,
                          outLength, 8, rect, tone);
      r != 0)
    return r;
  // One slot in front of column 0 takes the below-left share of column 0,
  // which leaves the rectangle; it is never read.
  const size_t slots = static_cast<size_t>(outWidth) + 1;
  auto* errRow = static_cast<int32_t*>(encoding_alloc(slots * sizeof(int32_t)));
  if (errRow == nullptr) return outOfMemory;
  std::memset(errRow, 0, slots * sizeof(int32_t));
  int32_t* err = errRow + 1;

  const size_t rowBytes = (static_cast<size_t>(outWidth) + 7) / 8;
  uint8_t luma[kImageRun];
  for (int r = 0; r < outHeight; ++r) {
    const uint8_t* src = rect.row(r);
    uint8_t* dst = out + static_cast<size_t>(r) * rowBytes;
    int32_t right = 0;       // 5/16 share for the next dot, times 16
    int32_t belowRight = 0;  // 3/16 share of the previous dot for the dot below this one
    err[-1] = 0;
    for (int c0 = 0; c0 < outWidth; c0 += kImageRun) {
      const int n = std::min(kImageRun, outWidth - c0);
      image_luma(src + 3 * static_cast<size_t>(c0), n, tone, luma);
      int32_t* e16 = err + c0;
      unsigned bits = 0;
      for (int c = 0; c < n; ++c) {
        const int32_t v = luma[c] + ((e16[c] + right) >> 4);
        const bool black = v < 128;
        const int32_t e = black ? v : v - 255;
        e16[c - 1] += e;
        right = 5 * e;
        e16[c] = 7 * e + belowRight;
        belowRight = 3 * e;
        bits = (bits << 1) | unsigned(black);
        if ((c & 7) == 7) {
          *dst++ = image_raster_byte(bits);
          bits = 0;
        }
      }
      if (n & 7) *dst++ = image_raster_byte(bits << (8 - (n & 7)));
    }
  }
  std::free(errRow);
  return 0;
}

}  // namespace

int ImageDiffuseToRaster(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                         int outHeight, double brightness, uint8_t* out, int outLength) {
  return diffuse_to_raster(pixels, width, height, x, y, outWidth, outHeight, brightness, out,
                           outLength, 5);
}

int TdevImageDiffuseToRaster(const uint8_t* pixels, int width, int height, int x, int y,
                             int outWidth, int outHeight, double brightness, uint8_t* out,
                             int outLength) {
  return diffuse_to_raster(pixels, width, height, x, y, outWidth, outHeight, brightness, out,
                           outLength, 12);
}
