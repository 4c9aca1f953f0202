#pragma once
// Bitmaps handed to the printer classes. IBitmapFrame is what a printer reads
// an image through; MemoryBitmap is a frame over pixels the app already has.
// No image decoder is bundled: apps decode with a library of their choice and
// wrap the result with MemoryBitmap::FromBgra8.

#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "orvik/tilo2/async.h"
#include "orvik/tilo2/export.h"
#include "orvik/tilo2/object.h"
#include "orvik/tilo2/string.h"

namespace Orvik::Tilo::Tilo2::Imaging {

// How the alpha channel of BGRA8 input is to be read.
enum class AlphaMode : int32_t {
  Premultiplied = 0,  // each colour already multiplied by alpha
  Straight = 1,       // colours independent of alpha
  Ignore = 2,         // alpha meaningless: every pixel is opaque
};

// One frame of a bitmap. An implementation may fail any call by throwing a
// RuntimeException with its own HRESULT. A printer calls GetPixelDataAsync
// from a pool worker and waits for it there (docs/threading.md).
class TILO2_EXPORT IBitmapFrame : public Object {
 public:
  ~IBitmapFrame() override;

  virtual uint32_t PixelWidth() const = 0;
  virtual uint32_t PixelHeight() const = 0;
  // The pixels as premultiplied BGRA8, 4 bytes per pixel (blue, green, red,
  // alpha), rows from the top without gaps: PixelWidth() * PixelHeight() * 4
  // bytes. As stored: no rotation, no colour management.
  virtual IAsyncOperation<std::vector<uint8_t>> GetPixelDataAsync() = 0;

 protected:
  IBitmapFrame() = default;
  IBitmapFrame(const IBitmapFrame&) = default;
  IBitmapFrame& operator=(const IBitmapFrame&) = default;
};

// A frame over a copy of pixels in memory, held premultiplied.
class TILO2_EXPORT MemoryBitmap final : public IBitmapFrame {
 public:
  // width * height * 4 bytes of BGRA8, rows from the top. Straight input is
  // premultiplied here, Ignore input made opaque. Throws RuntimeException
  // (kEInvalidArg) for a zero width or height or a span of another size, and
  // (kEOutOfMemory) when the copy cannot be made.
  static std::shared_ptr<MemoryBitmap> FromBgra8(uint32_t width, uint32_t height,
                                                 std::span<const uint8_t> pixels, AlphaMode alpha);

  ~MemoryBitmap() override;

  uint32_t PixelWidth() const override;
  uint32_t PixelHeight() const override;
  // Completes at once with a copy of the pixels.
  IAsyncOperation<std::vector<uint8_t>> GetPixelDataAsync() override;

  // "Orvik.Tilo.Tilo2.Imaging.MemoryBitmap"
  String GetRuntimeClassName() const override;

 private:
  MemoryBitmap(uint32_t width, uint32_t height, std::vector<uint8_t> pixels);

  uint32_t width_;
  uint32_t height_;
  std::vector<uint8_t> pixels_;
};

}  // namespace Orvik::Tilo::Tilo2::Imaging
