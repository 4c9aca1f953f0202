#pragma once
// What every rasteriser conversion shares: the argument checks, the tone
// curve of the brightness, the luma of a run of pixels, and the 10h rule.

#include <cstddef>
#include <cstdint>

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
    return pixels + (static_cast<size_t>(y + r) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
  }
};

// Pixels converted per pass: a luma run fits on the stack, so no conversion
// allocates for it. A multiple of 8 so a run ends on an output byte.
inline constexpr int kImageRun = 256;

// Checks the arguments (1 when they fail, nothing written), then fills rect
// and tone and clears the output. dotsPerByte is 8 for 1-bit, 2 for gray.
int image_begin(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                int outHeight, double brightness, uint8_t* out, int outLength, int dotsPerByte,
                ImageRect& rect, ImageTone& tone);

// Luma of n pixels of blue, green, red bytes, through the tone curve.
void image_luma(const uint8_t* bgr, int n, const ImageTone& tone, uint8_t* luma);

// Vector paths for x86-64 with AVX2, chosen at run time; every other
// processor takes the scalar path, which gives the same bytes.
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TILO2_IMAGE_AVX2 1
bool image_has_avx2();
#endif

// Test seam: false makes every conversion take its scalar path.
void image_set_vector_paths(bool enabled);

// A 1-bit output byte 10h would read as a real-time command prefix.
inline uint8_t image_raster_byte(unsigned bits) {
  return bits == 0x10 ? uint8_t{0x20} : static_cast<uint8_t>(bits);
}
