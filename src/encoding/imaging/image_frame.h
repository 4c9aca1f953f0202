#pragma once
// What every rasteriser conversion shares: the argument checks, the tone
// curve of the brightness, the luma of a run of pixels, and the 10h rule.

#include <cstddef>
#include <cstdint>

namespace tilo2::core {

// Luma after brightness; the identity at brightness 1.0.
struct ImageTone {
  bool identity;
  uint8_t map[256];
};

// The checked rectangle of one call.
struct ImageRect {
  const uint8_t* pixels;
  int width;
  int x;
  int y;
  int outWidth;
  int outHeight;
  // First pixel of output row r.
  const uint8_t* row(int r) const {
    return pixels +
           (static_cast<size_t>(y + r) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
  }
};

// Pixels converted per pass: a luma run fits on the stack, so no conversion
// allocates for it. A multiple of 8 so a run ends on an output byte.
inline constexpr int kImageRun = 256;

// One conversion call: its rectangle and tone curve.
struct ImageJob {
  ImageRect rect;
  ImageTone tone;
  size_t rowBytes;  // output bytes per row
};

// Checks the arguments (1 when they fail, nothing written), then fills job
// and clears the output. dotsPerByte is 8 for 1-bit, 2 for gray.
int ImageBegin(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
               int outHeight, double brightness, uint8_t* out, int outLength, int dotsPerByte,
               ImageJob& job);

// Luma of n pixels of blue, green, red bytes, through the tone curve.
void ImageLuma(const uint8_t* bgr, int n, const ImageTone& tone, uint8_t* luma);

// Runs kernel(r, luma, n, dst) -> dst over every output row r in runs of up
// to kImageRun lumas; each run starts at a multiple of kImageRun, and the
// kernel answers where its bytes end.
template <typename Kernel>
void ImageForEachRun(const ImageJob& job, uint8_t* out, Kernel kernel) {
  uint8_t luma[kImageRun];
  const ImageRect& rect = job.rect;
  for (int r = 0; r < rect.outHeight; ++r) {
    const uint8_t* src = rect.row(r);
    uint8_t* dst = out + static_cast<size_t>(r) * job.rowBytes;
    for (int c0 = 0; c0 < rect.outWidth; c0 += kImageRun) {
      const int n = rect.outWidth - c0 < kImageRun ? rect.outWidth - c0 : kImageRun;
      ImageLuma(src + 3 * static_cast<size_t>(c0), n, job.tone, luma);
      dst = kernel(r, luma, n, dst);
    }
  }
}

// Vector paths for x86-64 with AVX2, chosen at run time; every other
// processor takes the scalar path, which gives the same bytes.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TILO2_IMAGE_AVX2 1
bool ImageHasAvx2();
#endif

// A 1-bit output byte 10h would read as a real-time command prefix.
inline uint8_t ImageRasterByte(unsigned bits) {
  return bits == 0x10 ? uint8_t{0x20} : static_cast<uint8_t>(bits);
}

}  // namespace tilo2::core
