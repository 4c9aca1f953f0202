// Image rasteriser: the input gives the source size, the rectangle, the
// method, the brightness and the output length (all possibly out of range),
// then the pixels. Oracle: the answer is 1 exactly when the arguments break
// the documented rules, and then nothing is written; on success the rows are
// filled and the rest cleared, no 1-bit byte is 10h, padding dots stay white,
// the scalar and vector paths agree, the service variants match (dither and
// threshold equal, gray inverted), and no read leaves the exact pixel block.
//
// Layout: method, source width (2 bytes, 1..320), height (1..40), x, y,
// rectangle width and height (arguments that may be out of range), brightness
// selector (+2 bytes), output length adjustment, then pixel bytes (cycled to
// fill the image).

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "encoding/imaging/image_frame.h"
#include "encoding/imaging/image_raster.h"
#include "encoding/test_hooks.h"
#include "fuzz_input.h"

using namespace tilo2::core;

namespace {

using Convert = int (*)(const uint8_t*, int, int, int, int, int, int, double, uint8_t*, int);

struct Method {
  Convert fn;
  Convert service;  // the service client's variant
  int dotsPerByte;
  bool serviceInverted;
};

const Method kMethods[] = {
    {ImageDitherToRaster, TdevImageDitherToRaster, 8, false},
    {ImageDiffuseToRaster, TdevImageDiffuseToRaster, 8, false},
    {ImageThresholdToRaster, TdevImageThresholdToRaster, 8, false},
    {ImageToGray16, TdevImageToGray16, 2, true},
};

double Brightness(FuzzInput& in) {
  const uint8_t pick = in.U8();
  const uint16_t raw = in.U16();
  switch (pick % 10) {
    case 0:
      return 1.0;
    case 1:
      return 0.5;
    case 2:
      return 2.0;
    case 3:
      return 0.0;
    case 4:
      return -1.0;
    case 5:
      return std::numeric_limits<double>::quiet_NaN();
    case 6:
      return std::numeric_limits<double>::infinity();
    case 7:
      return std::numeric_limits<double>::denorm_min();
    case 8:
      return 1e300;
    default:
      return raw / 1000.0;
  }
}

// A coordinate or extent: mostly inside the image, sometimes far outside.
int Extent(FuzzInput& in, int limit) {
  const uint8_t b = in.U8();
  if (b < 200) return b % (limit + 2);
  static const int kOdd[] = {-1,
                             0,
                             -65536,
                             65535,
                             1 << 20,
                             std::numeric_limits<int>::max(),
                             std::numeric_limits<int>::min(),
                             257,
                             256,
                             255};
  return kOdd[b % (sizeof kOdd / sizeof kOdd[0])];
}

bool ArgumentsValid(int width, int height, int x, int y, int outWidth, int outHeight,
                    double brightness, int outLength, int dotsPerByte) {
  if (outLength <= 0 || x < 0 || y < 0 || outWidth < 1 || outHeight < 1) return false;
  if (int64_t{x} + outWidth > width || int64_t{y} + outHeight > height) return false;
  const int64_t rowBytes = (int64_t{outWidth} + dotsPerByte - 1) / dotsPerByte;
  if (outLength < rowBytes * outHeight) return false;
  return std::isfinite(brightness) && brightness > 0.0;
}

constexpr uint8_t kUntouched = 0xC3;

struct Output {
  int rc;
  std::vector<uint8_t> bytes;
};

Output Run(Convert fn, const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
           int outHeight, double brightness, int outLength) {
  // The block is exactly outLength long: a write past it trips ASan.
  const size_t length = outLength > 0 ? static_cast<size_t>(outLength) : 1;
  std::unique_ptr<uint8_t[]> out(new uint8_t[length]);
  std::memset(out.get(), kUntouched, length);
  const int rc =
      fn(pixels, width, height, x, y, outWidth, outHeight, brightness, out.get(), outLength);
  return {rc, std::vector<uint8_t>(out.get(), out.get() + length)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const Method& m = kMethods[in.U8() % 4];
  const int width = 1 + in.U16() % 320;
  const int height = 1 + in.U8() % 40;
  const int x = Extent(in, width);
  const int y = Extent(in, height);
  const int outWidth = Extent(in, width);
  const int outHeight = Extent(in, height);
  const double brightness = Brightness(in);
  const int adjust = static_cast<int8_t>(in.U8());
  const std::vector<uint8_t> source = in.Rest();

  // The pixel block is exactly width x height x 3 bytes.
  const size_t pixelBytes = size_t(width) * size_t(height) * 3;
  std::unique_ptr<uint8_t[]> pixels(new uint8_t[pixelBytes]);
  for (size_t i = 0; i < pixelBytes; ++i)
    pixels[i] = source.empty() ? 0xFF : source[i % source.size()];

  // The output length: what the rectangle needs, give or take a little, and
  // never more than 64 KiB, well above any valid rectangle here (a bad
  // rectangle must be refused before any write).
  int64_t needed = 0;
  if (outWidth > 0 && outHeight > 0) {
    needed = (int64_t{outWidth} + m.dotsPerByte - 1) / m.dotsPerByte * outHeight;
  }
  int64_t outLength64 = needed + (adjust % 3 == 0 ? adjust / 3 : 0);
  if (adjust == -128) outLength64 = 0;
  if (outLength64 > (1 << 16)) outLength64 = 1 << 16;
  const int outLength = static_cast<int>(outLength64 < -1 ? -1 : outLength64);

  const bool valid = ArgumentsValid(width, height, x, y, outWidth, outHeight, brightness, outLength,
                                    m.dotsPerByte);
  ImageSetVectorPaths(true);
  const Output fast =
      Run(m.fn, pixels.get(), width, height, x, y, outWidth, outHeight, brightness, outLength);
  FUZZ_CHECK(fast.rc == (valid ? 0 : 1));
  if (!valid) {
    for (uint8_t b : fast.bytes) FUZZ_CHECK(b == kUntouched);
    // A null pixel or output pointer is refused the same way.
    uint8_t one = kUntouched;
    FUZZ_CHECK(m.fn(nullptr, width, height, x, y, outWidth, outHeight, brightness, &one, 1) == 1);
    FUZZ_CHECK(one == kUntouched);
    return 0;
  }
  FUZZ_CHECK(m.fn(pixels.get(), width, height, x, y, outWidth, outHeight, brightness, nullptr,
                  outLength) == 1);

  const size_t rowBytes = (size_t(outWidth) + size_t(m.dotsPerByte) - 1) / size_t(m.dotsPerByte);
  const size_t rows = rowBytes * size_t(outHeight);
  for (size_t i = rows; i < fast.bytes.size(); ++i) FUZZ_CHECK(fast.bytes[i] == 0);
  const int padDots = static_cast<int>(rowBytes * size_t(m.dotsPerByte)) - outWidth;
  for (int r = 0; r < outHeight; ++r) {
    const uint8_t last = fast.bytes[size_t(r) * rowBytes + rowBytes - 1];
    if (m.dotsPerByte == 8) {
      FUZZ_CHECK((last & ((1u << padDots) - 1)) == 0);
    } else if (padDots == 1) {
      FUZZ_CHECK((last & 0x0F) == 0);
    }
  }
  if (m.dotsPerByte == 8) {
    for (size_t i = 0; i < rows; ++i) FUZZ_CHECK(fast.bytes[i] != 0x10);
  }

  ImageSetVectorPaths(false);
  const Output scalar =
      Run(m.fn, pixels.get(), width, height, x, y, outWidth, outHeight, brightness, outLength);
  ImageSetVectorPaths(true);
  FUZZ_CHECK(scalar.rc == 0 && scalar.bytes == fast.bytes);

  const Output service =
      Run(m.service, pixels.get(), width, height, x, y, outWidth, outHeight, brightness, outLength);
  FUZZ_CHECK(service.rc == 0);
  for (size_t i = 0; i < service.bytes.size(); ++i) {
    const uint8_t expected =
        m.serviceInverted && i < rows ? uint8_t(fast.bytes[i] ^ 0xFF) : fast.bytes[i];
    FUZZ_CHECK(service.bytes[i] == expected);
  }

  // The shift copy that places such a raster at an odd position: pad white
  // pixels, then the source row from x.
  const int pad = outWidth % 8;
  const int newWidth = outWidth;
  const size_t copyBytes = size_t(newWidth) * size_t(outHeight) * 3;
  std::unique_ptr<uint8_t[]> copy(new uint8_t[copyBytes]);
  const uint8_t* rowStart = pixels.get() + (size_t(y) * size_t(width)) * 3;
  const int rc = ImageShiftCopy(rowStart, width, pad, x, newWidth, outHeight, copy.get(),
                                static_cast<int>(copyBytes));
  FUZZ_CHECK(rc == 0);
  for (int r = 0; r < outHeight; ++r) {
    const uint8_t* dst = copy.get() + size_t(r) * size_t(newWidth) * 3;
    const uint8_t* src = rowStart + (size_t(r) * size_t(width) + size_t(x)) * 3;
    for (int i = 0; i < pad * 3; ++i) FUZZ_CHECK(dst[i] == 0xFF);
    FUZZ_CHECK(std::memcmp(dst + pad * 3, src, size_t(newWidth - pad) * 3) == 0);
  }
  return 0;
}
