// Left padding of an image with white pixels, so a raster can start at a
// horizontal position that is not a multiple of 8.

#include <cstring>

#include "encoding/imaging/image_raster.h"

namespace tilo2::core {

int ImageShiftCopy(const uint8_t* src, int srcWidth, int pad, int x, int newWidth, int rows,
                   uint8_t* out, int outLength) {
  if (src == nullptr || out == nullptr || outLength <= 0) return 1;
  if (rows < 1 || newWidth < 1 || srcWidth < 1 || pad < 0 || pad > newWidth || x < 0) return 1;
  const int64_t copied = int64_t{newWidth} - pad;
  if (int64_t{x} + copied > srcWidth) return 1;
  const int64_t outRow = int64_t{newWidth} * 3;
  if (int64_t{outLength} < outRow * rows) return 1;

  const size_t srcRow = static_cast<size_t>(srcWidth) * 3;
  const uint8_t* s = src + static_cast<size_t>(x) * 3;
  for (int r = 0; r < rows; ++r) {
    uint8_t* d = out + static_cast<size_t>(r) * static_cast<size_t>(outRow);
    std::memset(d, 0xFF, static_cast<size_t>(pad) * 3);
    std::memcpy(d + static_cast<size_t>(pad) * 3, s, static_cast<size_t>(copied) * 3);
    s += srcRow;
  }
  return 0;
}

}  // namespace tilo2::core
