#include "encoding/imaging/image_frame.h"

#include <cmath>
#include <cstring>

#include "encoding/imaging/image_tables.h"

namespace tilo2::core {

int ImageBegin(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
               int outHeight, double brightness, uint8_t* out, int outLength, int dotsPerByte,
               ImageJob& job) {
  if (pixels == nullptr || out == nullptr || outLength <= 0) return 1;
  if (width < 1 || height < 1 || x < 0 || y < 0 || outWidth < 1 || outHeight < 1) return 1;
  if (int64_t{x} + outWidth > width || int64_t{y} + outHeight > height) return 1;
  const int64_t rowBytes = (int64_t{outWidth} + dotsPerByte - 1) / dotsPerByte;
  if (int64_t{outLength} < rowBytes * outHeight) return 1;
  if (!std::isfinite(brightness) || brightness <= 0.0) return 1;

  job.rect = {pixels, width, x, y, outWidth, outHeight};
  job.rowBytes = static_cast<size_t>(rowBytes);
  ImageTone& tone = job.tone;
  tone.identity = brightness == 1.0;
  if (!tone.identity) {
    // One pow per luma value instead of one per dot; the same numbers.
    const double exponent = 1.0 / brightness;
    for (int l = 0; l < 256; ++l)
      tone.map[l] = static_cast<uint8_t>(std::pow(l / 255.0, exponent) * 255.0);
  }
  std::memset(out, 0, static_cast<size_t>(outLength));
  return 0;
}

}  // namespace tilo2::core
