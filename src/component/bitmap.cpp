// In-memory bitmap frames.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <memory>
#include <new>
#include <span>
#include <utility>
#include <vector>

#include "orvik/tilo2/exceptions.h"
#include "orvik/tilo2/imaging.h"

namespace Orvik::Tilo::Tilo2::Imaging {

namespace {

constexpr size_t kBytesPerPixel = 4;

// c * a / 255, rounded to nearest: the same as a renderer would premultiply.
uint8_t Premultiply(uint8_t c, uint8_t a) {
  return static_cast<uint8_t>((static_cast<unsigned>(c) * a + 127u) / 255u);
}

}  // namespace

IBitmapFrame::~IBitmapFrame() = default;

std::shared_ptr<MemoryBitmap> MemoryBitmap::FromBgra8(uint32_t width, uint32_t height,
                                                      std::span<const uint8_t> pixels,
                                                      AlphaMode alpha) {
  if (width == 0 || height == 0) throw RuntimeException(kEInvalidArg, "bitmap without pixels");
  if (alpha != AlphaMode::Premultiplied && alpha != AlphaMode::Straight &&
      alpha != AlphaMode::Ignore) {
    throw RuntimeException(kEInvalidArg, "unknown alpha mode");
  }
  // width * height * 4 without overflow: both are below 2^32.
  const uint64_t count = static_cast<uint64_t>(width) * height;
  if (count > std::numeric_limits<size_t>::max() / kBytesPerPixel ||
      pixels.size() != count * kBytesPerPixel) {
    throw RuntimeException(kEInvalidArg, "pixel data is not width * height * 4 bytes");
  }
  std::vector<uint8_t> copy;
  try {
    copy.assign(pixels.begin(), pixels.end());
  } catch (const std::bad_alloc&) {
    throw RuntimeException(kEOutOfMemory, "no memory for the pixels");
  }
  if (alpha != AlphaMode::Premultiplied) {
    for (size_t i = 0; i < copy.size(); i += kBytesPerPixel) {
      if (alpha == AlphaMode::Ignore) {
        copy[i + 3] = 255;
        continue;
      }
      const uint8_t a = copy[i + 3];
      for (size_t c = 0; c < 3; ++c) copy[i + c] = Premultiply(copy[i + c], a);
    }
  }
  return std::shared_ptr<MemoryBitmap>(new MemoryBitmap(width, height, std::move(copy)));
}

MemoryBitmap::MemoryBitmap(uint32_t width, uint32_t height, std::vector<uint8_t> pixels)
    : width_(width), height_(height), pixels_(std::move(pixels)) {}

MemoryBitmap::~MemoryBitmap() = default;

uint32_t MemoryBitmap::PixelWidth() const { return width_; }

uint32_t MemoryBitmap::PixelHeight() const { return height_; }

IAsyncOperation<std::vector<uint8_t>> MemoryBitmap::GetPixelDataAsync() {
  auto state = std::make_shared<detail::AsyncState<std::vector<uint8_t>>>();
  state->TryStart();
  try {
    state->SetValue(pixels_);
  } catch (const std::bad_alloc&) {
    state->SetError(std::make_exception_ptr(RuntimeException(kEOutOfMemory)));
  }
  return IAsyncOperation<std::vector<uint8_t>>(std::move(state));
}

String MemoryBitmap::GetRuntimeClassName() const {
  return String("Orvik.Tilo.Tilo2.Imaging.MemoryBitmap");
}

}  // namespace Orvik::Tilo::Tilo2::Imaging
