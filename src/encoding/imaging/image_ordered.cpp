// Ordered dither and fixed threshold: each dot is compared with a threshold
// that depends only on its position, so both share one kernel.

#include "encoding/imaging/image_frame.h"
#include "encoding/imaging/image_raster.h"
#include "encoding/imaging/image_tables.h"

namespace tilo2::core {

namespace {

// thresholds(r) gives the 8 thresholds of output row r; a dot is black below.
template <typename Thresholds>
int OrderedToRaster(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                    int outHeight, double brightness, uint8_t* out, int outLength,
                    Thresholds thresholds) {
  ImageJob job;
  if (int r = ImageBegin(pixels, width, height, x, y, outWidth, outHeight, brightness, out,
                         outLength, 8, job))
    return r;
  ImageForEachRun(job, out, [&](int r, const uint8_t* luma, int n, uint8_t* dst) {
    const uint8_t* thr = thresholds(r);
    int c = 0;
    for (; c + 8 <= n; c += 8) {
      const uint8_t* l = luma + c;
      unsigned bits = (unsigned(l[0] < thr[0]) << 7) | (unsigned(l[1] < thr[1]) << 6) |
                      (unsigned(l[2] < thr[2]) << 5) | (unsigned(l[3] < thr[3]) << 4) |
                      (unsigned(l[4] < thr[4]) << 3) | (unsigned(l[5] < thr[5]) << 2) |
                      (unsigned(l[6] < thr[6]) << 1) | unsigned(l[7] < thr[7]);
      *dst++ = ImageRasterByte(bits);
    }
    if (c < n) {  // last byte of the row, filled from its high bits
      unsigned bits = 0;
      for (int k = 0; c + k < n; ++k) bits |= unsigned(luma[c + k] < thr[k]) << (7 - k);
      *dst++ = ImageRasterByte(bits);
    }
    return dst;
  });
  return 0;
}

constexpr uint8_t kThreshold[8] = {128, 128, 128, 128, 128, 128, 128, 128};

}  // namespace

int ImageDitherToRaster(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                        int outHeight, double brightness, uint8_t* out, int outLength) {
  return OrderedToRaster(pixels, width, height, x, y, outWidth, outHeight, brightness, out,
                         outLength, [](int r) { return kDitherMatrix[r & 7]; });
}

int ImageThresholdToRaster(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                           int outHeight, double brightness, uint8_t* out, int outLength) {
  return OrderedToRaster(pixels, width, height, x, y, outWidth, outHeight, brightness, out,
                         outLength, [](int) { return kThreshold; });
}

int TdevImageDitherToRaster(const uint8_t* pixels, int width, int height, int x, int y,
                            int outWidth, int outHeight, double brightness, uint8_t* out,
                            int outLength) {
  return ImageDitherToRaster(pixels, width, height, x, y, outWidth, outHeight, brightness, out,
                             outLength);
}

int TdevImageThresholdToRaster(const uint8_t* pixels, int width, int height, int x, int y,
                               int outWidth, int outHeight, double brightness, uint8_t* out,
                               int outLength) {
  return ImageThresholdToRaster(pixels, width, height, x, y, outWidth, outHeight, brightness, out,
                                outLength);
}

}  // namespace tilo2::core
