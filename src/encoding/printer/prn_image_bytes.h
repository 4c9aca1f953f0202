#pragma once
// Byte cores of the image and logo commands: they turn packed bitmaps into
// raster band, bit image and logo commands, appended to a byte vector. The
// builder-facing generators (prn_image.h) wrap them. On any failure the vector
// is left exactly as it was.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tilo2::core {

// Compressor with the contract of zlib's compress(): Z_OK with *dstLen set,
// Z_MEM_ERROR, or another zlib error. dst holds compressBound(srcLen) bytes.
// Injectable so the split of bands whose compressed bytes hold a real-time
// pattern can be tested deterministically.
struct PrnDeflate_t {
  int (*fn)(void* ctx, uint8_t* dst, unsigned long* dstLen, const uint8_t* src,
            unsigned long srcLen);
  void* ctx;
};

// zlib's compress() at its default level.
PrnDeflate_t PrnDefaultDeflate();

// Builder fields the raster generators read.
struct PrnImageLimits_t {
  int positionX;
  int pageMode;
  int rasterBandLimit;
  int grayBandLimit;
  int rasterByteLimit;
};

// True when a real-time command (DLE EOT n, DLE DC4 n) begins at some position
// with at least three bytes from there to the end.
bool ContainsRealtimeCommand(const uint8_t* bytes, size_t length);

// Color byte c of the raster store command: "0", "2", "3", "4", else "1".
uint8_t PrnRasterColorParam(int color);

// Monochrome raster image: height rows of ceil(width / 8) bytes. compress 0 or 1.
// 0, 1 (bad argument, data shorter than the image, a band that would hold no
// row), 3 (memory), -1 (compressor failed otherwise).
int PrnRasterImageBytes(std::vector<uint8_t>& out, const PrnImageLimits_t& limits, int width,
                        int height, const uint8_t* data, size_t size, int color, int compress,
                        const PrnDeflate_t& deflate);

// 16-level gray image: height rows of ceil(width / 2) bytes, high nibble first.
int PrnGrayImageBytes(std::vector<uint8_t>& out, const PrnImageLimits_t& limits, int width,
                      int height, const uint8_t* data, size_t size, int compress,
                      const PrnDeflate_t& deflate);

// 8-dot column bit image of the dot-matrix model; density 0 single, 1 double.
// switchColor: the image's color differs from the color last sent.
// compress 1 appends nothing and answers 0: the model has no compressed form.
int PrnBitImageBytes(std::vector<uint8_t>& out, int width, int height, const uint8_t* data,
                     size_t size, int compress, int density, bool switchColor, int color);

// 24-dot column bit image of the second dot-matrix model.
int PrnBitImage24Bytes(std::vector<uint8_t>& out, int width, int height, const uint8_t* data,
                       size_t size, int compress);

// Logo stored in non-volatile memory under two key codes (32..126 each).
int PrnNvLogoBytes(std::vector<uint8_t>& out, int keyCode1, int keyCode2);

// Logo of the dot-matrix model, number 1..255, with the ribbon color switch
// first when switchColor is set.
int PrnNvLogoImpactBytes(std::vector<uint8_t>& out, bool switchColor, int color, int logo);

// ESC J 0, ESC r n: the ribbon color command of the dot-matrix model.
void PrnImpactColorBytes(std::vector<uint8_t>& out, int color);

}  // namespace tilo2::core
