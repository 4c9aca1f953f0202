#include "encoding/printer/prn_image_bytes.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

#include "encoding/le_bytes.h"
#include "encoding/printer/prn_page_bytes.h"

namespace tilo2::core {

namespace {
using namespace tilo2_bytes;

// Compressed bands may be larger than the builder's budget: the printer
// inflates them into its own buffer.
constexpr int kCompressByteLimit = 102400;
constexpr int kCompressMonoBandLimit = 800;
constexpr int kCompressGrayBandLimit = 400;
// Position and store header, which the byte budget of a band includes.
constexpr int kBandOverhead = 21;
// Split bands at most this tall are re-sent uncompressed.
constexpr int kMonoSplitRows = 64;
constexpr int kGraySplitRows = 32;
// Per band: vertical offset 4, position 4, store header 17, print 7.
constexpr size_t kBandCommandBytes = 32;

int RowsPerBand(int bandLimit, int byteLimit, int rowBytes) {
  if (bandLimit <= 0 || byteLimit <= kBandOverhead) return 0;
  return std::min(bandLimit, (byteLimit - kBandOverhead) / rowBytes);
}

int BandX(const PrnImageLimits_t& limits) {
  return limits.pageMode != 0 ? limits.positionX : limits.positionX & ~7;
}

size_t BandCount(int height, int rows) { return static_cast<size_t>((height + rows - 1) / rows); }

// For one gray input byte (two pixels, high nibble first): in byte lane i the
// two bits that plane i (bit 3 - i of each pixel) takes from it. Four input
// bytes then give the four planes' output bytes in one 32-bit word.
constexpr std::array<uint32_t, 256> MakeGrayPairs() {
  std::array<uint32_t, 256> table{};
  for (int b = 0; b < 256; ++b) {
    uint32_t lanes = 0;
    for (int plane = 0; plane < 4; ++plane) {
      const uint32_t hi = (b >> (7 - plane)) & 1;
      const uint32_t lo = (b >> (3 - plane)) & 1;
      lanes |= (hi << 1 | lo) << (8 * plane);
    }
    table[b] = lanes;
  }
  return table;
}
constexpr auto kGrayPairs = MakeGrayPairs();

// Copies image bytes with every DLE (10h) sent as 20h, eight bytes at a time.
void ReplaceDle(uint8_t* dst, const uint8_t* src, size_t n) {
  constexpr uint64_t kOnes7F = 0x7F7F7F7F7F7F7F7Full;
  constexpr uint64_t kDle = 0x1010101010101010ull;
  size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    uint64_t word;
    std::memcpy(&word, src + i, 8);
    const uint64_t diff = word ^ kDle;  // zero bytes where the data holds 10h
    // 80h exactly in the lanes where diff is zero, no carries across lanes.
    const uint64_t zero = ~(((diff & kOnes7F) + kOnes7F) | diff | kOnes7F);
    word ^= (zero >> 7) * 0x30;  // 10h ^ 30h = 20h
    std::memcpy(dst + i, &word, 8);
  }
  for (; i < n; ++i) dst[i] = src[i] == 0x10 ? 0x20 : src[i];
}

// Writes the command stream of one image; `pending` is the vertical offset sent
// before the next band.
class BandWriter {
 public:
  BandWriter(std::vector<uint8_t>& out, const PrnImageLimits_t& limits, int width,
             const uint8_t* data, size_t stride, const PrnDeflate_t& deflate)
      : out_(out),
        limits_(limits),
        x_(BandX(limits)),
        width_(width),
        rowBytes_((width + 7) / 8),
        data_(data),
        stride_(stride),
        deflate_(deflate) {}

  int pending = 0;

  // Monochrome band taken from the image's top row `top`, uncompressed.
  void MonoRaw(int top, int rows, uint8_t color) {
    const size_t k = static_cast<size_t>(rows) * rowBytes_;
    Offset();
    Position();
    Store(0x30, color, k, rows);
    const size_t at = out_.size();
    out_.resize(at + k);
    // A DLE in the data would be taken for the start of a real-time command.
    ReplaceDle(out_.data() + at, data_ + static_cast<size_t>(top) * stride_, k);
    Print();
  }

  int MonoDeflate(int top, int rows, uint8_t color) {
    const uint8_t* src = data_ + static_cast<size_t>(top) * stride_;
    unsigned long packed = 0;
    if (int rc = Compress(src, static_cast<size_t>(rows) * rowBytes_, &packed); rc != 0) return rc;
    if (!ContainsRealtimeCommand(scratch_.data(), packed)) {
      Offset();
      Position();
      Store(0x31, color, packed, rows);
      PutBytes(out_, scratch_.data(), packed);
      Print();
      return 0;
    }
    if (rows > kMonoSplitRows) {
      return Split(top, rows, rows / 3 + rows % 3,
                   [&](int t, int n) { return MonoDeflate(t, n, color); });
    }
    const int piece = RowsPerBand(limits_.rasterBandLimit, limits_.rasterByteLimit, rowBytes_);
    return Split(top, rows, piece, [&](int t, int n) {
      MonoRaw(t, n, color);
      return 0;
    });
  }

  void GrayRaw(int top, int rows) {
    const size_t k = static_cast<size_t>(rows) * rowBytes_;
    Offset();
    size_t at[4];
    for (int plane = 0; plane < 4; ++plane) {
      Position();
      Store(0x34, static_cast<uint8_t>(0x31 + plane), k, rows);
      at[plane] = out_.size();
      out_.resize(at[plane] + k);
    }
    uint8_t* base = out_.data();
    WritePlanes({base + at[0], base + at[1], base + at[2], base + at[3]}, top, rows);
    Print();
  }

  int GrayDeflate(int top, int rows) {
    const size_t k = static_cast<size_t>(rows) * rowBytes_;
    const size_t bandStart = out_.size();
    Offset();
    if (plane_.size() < 4 * k) plane_.resize(4 * k);
    uint8_t* planes = plane_.data();
    WritePlanes({planes, planes + k, planes + 2 * k, planes + 3 * k}, top, rows);
    for (int plane = 0; plane < 4; ++plane) {
      unsigned long packed = 0;
      if (int rc = Compress(planes + plane * k, k, &packed); rc != 0) return rc;
      if (ContainsRealtimeCommand(scratch_.data(), packed)) {
        out_.resize(bandStart);
        if (rows > kGraySplitRows) {
          return Split(top, rows, rows / 3 + rows % 3,
                       [&](int t, int n) { return GrayDeflate(t, n); });
        }
        const int piece = RowsPerBand(limits_.grayBandLimit, limits_.rasterByteLimit, rowBytes_);
        return Split(top, rows, piece, [&](int t, int n) {
          GrayRaw(t, n);
          return 0;
        });
      }
      Position();
      Store(0x35, static_cast<uint8_t>(0x31 + plane), packed, rows);
      PutBytes(out_, scratch_.data(), packed);
    }
    Print();
    return 0;
  }

 private:
  void Offset() {
    if (pending == 0) return;
    Put(out_, {0x1D, 0x5C});
    PutLe16(out_, static_cast<uint16_t>(pending));  // signed 16-bit on the wire
  }

  void Position() { PrnPositionXBytes(out_, x_); }

  void Store(uint8_t a, uint8_t c, size_t k, int rows) {
    Put(out_, {0x1D, 0x38, 0x4C});
    PutLe32(out_, static_cast<uint32_t>(k + 10));
    Put(out_, {0x30, 0x70, a, 0x01, 0x01, c});
    PutLe16(out_, static_cast<unsigned>(width_));
    PutLe16(out_, static_cast<unsigned>(rows));
  }

  void Print() { Put(out_, {0x1D, 0x28, 0x4C, 0x02, 0x00, 0x30, 0x32}); }

  // Compresses into scratch_; 0, 3 for memory, -1 for any other failure.
  int Compress(const uint8_t* src, size_t length, unsigned long* packed) {
    const size_t bound = compressBound(static_cast<uLong>(length));
    if (scratch_.size() < bound) scratch_.resize(bound);
    *packed = bound;
    const int rc = deflate_.fn(deflate_.ctx, scratch_.data(), packed, src, length);
    if (rc == Z_MEM_ERROR) return 3;
    if (rc != Z_OK || *packed > bound) return -1;
    return 0;
  }

  // Emits the band as pieces of `piece` rows, top first. A band is placed by
  // its bottom row, which `pending` reaches; so the first piece goes up by the
  // rows below it and each later piece down by its own height, and the last
  // piece ends where the whole band would have (what the bands after it expect).
  template <typename EmitPiece>
  int Split(int top, int rows, int piece, EmitPiece emit) {
    if (piece <= 0) return 1;  // no row fits: refuse rather than loop for ever
    pending -= rows - std::min(piece, rows);
    for (int done = 0; done < rows; done += piece) {
      const int n = std::min(piece, rows - done);
      if (done > 0) pending = n;
      if (int rc = emit(top + done, n); rc != 0) return rc;
    }
    return 0;
  }

  // Splits gray rows into the four bit planes, each packed like monochrome rows.
  // Locals only in the loop: byte stores may alias any member.
  void WritePlanes(std::array<uint8_t*, 4> dst, int top, int rows) const {
    const int tailBits = width_ % 8;
    const uint8_t tailMask = tailBits ? static_cast<uint8_t>(0xFF << (8 - tailBits)) : 0xFF;
    const size_t stride = stride_;
    const size_t rowBytes = static_cast<size_t>(rowBytes_);
    const size_t full = std::min(stride / 4, rowBytes);  // output bytes of four whole input bytes
    const uint32_t* pairs = kGrayPairs.data();
    uint8_t* d0 = dst[0];
    uint8_t* d1 = dst[1];
    uint8_t* d2 = dst[2];
    uint8_t* d3 = dst[3];
    const uint8_t* src = data_ + static_cast<size_t>(top) * stride;
    for (int row = 0; row < rows;
         ++row, src += stride, d0 += rowBytes, d1 += rowBytes, d2 += rowBytes, d3 += rowBytes) {
      for (size_t j = 0; j < rowBytes; ++j) {
        uint32_t lanes;
        if (j < full) {
          const uint8_t* s = src + 4 * j;
          lanes = pairs[s[0]] << 6 | pairs[s[1]] << 4 | pairs[s[2]] << 2 | pairs[s[3]];
        } else {
          lanes = 0;
          for (size_t idx = 4 * j; idx < 4 * j + 4; ++idx) {
            lanes = lanes << 2 | (idx < stride ? pairs[src[idx]] : 0u);
          }
        }
        d0[j] = static_cast<uint8_t>(lanes);
        d1[j] = static_cast<uint8_t>(lanes >> 8);
        d2[j] = static_cast<uint8_t>(lanes >> 16);
        d3[j] = static_cast<uint8_t>(lanes >> 24);
      }
      d0[rowBytes - 1] &= tailMask;  // padding pixels stay white
      d1[rowBytes - 1] &= tailMask;
      d2[rowBytes - 1] &= tailMask;
      d3[rowBytes - 1] &= tailMask;
    }
  }

  std::vector<uint8_t>& out_;
  const PrnImageLimits_t& limits_;
  const int x_;
  const int width_;
  const int rowBytes_;
  const uint8_t* const data_;
  const size_t stride_;
  const PrnDeflate_t& deflate_;
  std::vector<uint8_t> scratch_;
  std::vector<uint8_t> plane_;
};

int ZlibCompress(void*, uint8_t* dst, unsigned long* dstLen, const uint8_t* src,
                 unsigned long srcLen) {
  uLongf len = *dstLen;
  const int rc = compress(dst, &len, src, srcLen);
  *dstLen = len;
  return rc;
}

// Shared frame of both raster generators: checks, band loop, rollback.
template <typename EmitBand>
int RasterImage(std::vector<uint8_t>& out, const PrnImageLimits_t& limits, int width, int height,
                const uint8_t* data, size_t size, size_t stride, int planes, int compress,
                const PrnDeflate_t& deflate, int bandLimit, EmitBand emit) {
  if (data == nullptr || width <= 0 || width > 0xFFFF || height < 0 || compress < 0 ||
      compress > 1 || (compress == 1 && deflate.fn == nullptr)) {
    return 1;
  }
  if (height == 0) return 0;
  if (static_cast<size_t>(height) * stride > size) return 1;
  const int rowBytes = (width + 7) / 8;
  const int byteLimit = compress ? kCompressByteLimit : limits.rasterByteLimit;
  const int rowsPerBand = RowsPerBand(bandLimit, byteLimit, rowBytes);
  if (rowsPerBand <= 0) return 1;  // a band could not hold a single row

  const size_t mark = out.size();
  try {
    const size_t bands = BandCount(height, rowsPerBand);
    const size_t dataBytes = static_cast<size_t>(height) * rowBytes * planes;
    size_t expect = bands * kBandCommandBytes * planes;
    expect += compress ? compressBound(static_cast<uLong>(dataBytes)) : dataBytes;
    out.reserve(mark + expect);
    BandWriter writer(out, limits, width, data, stride, deflate);
    writer.pending = height > rowsPerBand ? rowsPerBand - height : 0;
    for (int top = 0; top < height; top += rowsPerBand) {
      const int rows = std::min(rowsPerBand, height - top);
      if (int rc = emit(writer, top, rows); rc != 0) {
        out.resize(mark);
        return rc;
      }
      writer.pending = std::min(rowsPerBand, height - top - rows);
    }
  } catch (const std::bad_alloc&) {
    out.resize(mark);
    return 3;
  }
  return 0;
}

int CheckBitImage(int width, int height, const uint8_t* data, size_t size, int compress) {
  if (data == nullptr || width <= 0 || width > 0xFFFF || height < 0 || compress < 0 ||
      compress > 1) {
    return 1;
  }
  if (static_cast<size_t>(height) * static_cast<size_t>((width + 7) / 8) > size) return 1;
  return 0;
}

// Dot (row, column) of a packed monochrome image, 0 below its last row.
inline unsigned Dot(const uint8_t* data, size_t rowBytes, int height, int row, int column) {
  if (row >= height) return 0;
  return (data[static_cast<size_t>(row) * rowBytes + column / 8] >> (7 - column % 8)) & 1u;
}

// One column byte of eight rows from `top`, most significant bit on top.
inline uint8_t ColumnByte(const uint8_t* data, size_t rowBytes, int height, int top, int column) {
  unsigned v = 0;
  for (int i = 0; i < 8; ++i) v = v << 1 | Dot(data, rowBytes, height, top + i, column);
  return v == 0x10 ? 0x20 : static_cast<uint8_t>(v);
}

}  // namespace

PrnDeflate_t PrnDefaultDeflate() { return PrnDeflate_t{ZlibCompress, nullptr}; }

bool ContainsRealtimeCommand(const uint8_t* bytes, size_t length) {
  if (bytes == nullptr || length < 3) return false;
  for (size_t i = 0; i + 3 <= length; ++i) {
    if (bytes[i] != 0x10) continue;
    const uint8_t fn = bytes[i + 1];
    const uint8_t n = bytes[i + 2];
    if (fn == 0x04 && n < 0x10) return true;
    if (fn == 0x14 && (n <= 15 || n == 18 || n == 20)) return true;
  }
  return false;
}

uint8_t PrnRasterColorParam(int color) {
  switch (color) {
    case 0:
      return 0x30;
    case 2:
      return 0x32;
    case 3:
      return 0x33;
    case 4:
      return 0x34;
    default:
      return 0x31;
  }
}

int PrnRasterImageBytes(std::vector<uint8_t>& out, const PrnImageLimits_t& limits, int width,
                        int height, const uint8_t* data, size_t size, int color, int compress,
                        const PrnDeflate_t& deflate) {
  const uint8_t c = PrnRasterColorParam(color);
  const int bandLimit = compress == 1 ? kCompressMonoBandLimit : limits.rasterBandLimit;
  // In size_t: the width is checked only after this, and INT_MAX + 7 would overflow.
  const size_t stride = width > 0 ? (static_cast<size_t>(width) + 7) / 8 : 0;
  return RasterImage(out, limits, width, height, data, size, stride, 1, compress, deflate,
                     bandLimit, [&](BandWriter& w, int top, int rows) {
                       if (compress == 1) return w.MonoDeflate(top, rows, c);
                       w.MonoRaw(top, rows, c);
                       return 0;
                     });
}

int PrnGrayImageBytes(std::vector<uint8_t>& out, const PrnImageLimits_t& limits, int width,
                      int height, const uint8_t* data, size_t size, int compress,
                      const PrnDeflate_t& deflate) {
  const int bandLimit = compress == 1 ? kCompressGrayBandLimit : limits.grayBandLimit;
  const size_t stride = width > 0 ? (static_cast<size_t>(width) + 1) / 2 : 0;
  return RasterImage(out, limits, width, height, data, size, stride, 4, compress, deflate,
                     bandLimit, [&](BandWriter& w, int top, int rows) {
                       if (compress == 1) return w.GrayDeflate(top, rows);
                       w.GrayRaw(top, rows);
                       return 0;
                     });
}

void PrnImpactColorBytes(std::vector<uint8_t>& out, int color) {
  Put(out, {0x1B, 0x4A, 0x00, 0x1B, 0x72, static_cast<uint8_t>(color == 2 ? 1 : 0)});
}

int PrnBitImageBytes(std::vector<uint8_t>& out, int width, int height, const uint8_t* data,
                     size_t size, int compress, int density, bool switchColor, int color) {
  if (int rc = CheckBitImage(width, height, data, size, compress); rc != 0) return rc;
  if (density < 0 || density > 1) return 1;
  if (compress == 1 || height == 0) return 0;
  const size_t mark = out.size();
  const size_t rowBytes = static_cast<size_t>((width + 7) / 8);
  try {
    const size_t stripes = static_cast<size_t>((height + 7) / 8);
    out.reserve(mark + 6 + stripes * (8 + static_cast<size_t>(width)));
    if (switchColor) PrnImpactColorBytes(out, color);
    for (int top = 0; top < height; top += 8) {
      Put(out, {0x1B, 0x2A, static_cast<uint8_t>(density)});
      PutLe16(out, static_cast<unsigned>(width));
      for (int column = 0; column < width; ++column) {
        out.push_back(ColumnByte(data, rowBytes, height, top, column));
      }
      Put(out, {0x1B, 0x4A, 0x10});
    }
  } catch (const std::bad_alloc&) {
    out.resize(mark);
    return 3;
  }
  return 0;
}

int PrnBitImage24Bytes(std::vector<uint8_t>& out, int width, int height, const uint8_t* data,
                       size_t size, int compress) {
  if (int rc = CheckBitImage(width, height, data, size, compress); rc != 0) return rc;
  if (compress == 1 || height == 0) return 0;
  const size_t mark = out.size();
  const size_t rowBytes = static_cast<size_t>((width + 7) / 8);
  try {
    const size_t stripes = static_cast<size_t>((height + 23) / 24);
    out.reserve(mark + 16 + stripes * (8 + 3 * static_cast<size_t>(width)));
    Put(out, {0x1D, 0x28, 0x4B, 0x02, 0x00, 0x30, 0x03, 0x1B, 0x55, 0x01});
    for (int top = 0; top < height; top += 24) {
      Put(out, {0x1B, 0x2A, 0x21});
      PutLe16(out, static_cast<unsigned>(width));
      for (int column = 0; column < width; ++column) {
        for (int part = 0; part < 3; ++part) {
          out.push_back(ColumnByte(data, rowBytes, height, top + 8 * part, column));
        }
      }
      Put(out, {0x1B, 0x4A, 0x18});
    }
    Put(out, {0x1D, 0x28, 0x4B, 0x02, 0x00, 0x30, 0x00, 0x1B, 0x55, 0x00});
  } catch (const std::bad_alloc&) {
    out.resize(mark);
    return 3;
  }
  return 0;
}

int PrnNvLogoBytes(std::vector<uint8_t>& out, int keyCode1, int keyCode2) {
  const auto valid = [](int kc) { return kc >= 0x20 && kc <= 0x7E; };
  if (!valid(keyCode1) || !valid(keyCode2)) return 1;
  Put(out, {0x1D, 0x28, 0x4C, 0x06, 0x00, 0x30, 0x45, static_cast<uint8_t>(keyCode1),
            static_cast<uint8_t>(keyCode2), 0x01, 0x01});
  return 0;
}

int PrnNvLogoImpactBytes(std::vector<uint8_t>& out, bool switchColor, int color, int logo) {
  if (logo < 1 || logo > 255) return 1;
  if (switchColor) PrnImpactColorBytes(out, color);
  Put(out, {0x1C, 0x70, static_cast<uint8_t>(logo), 0x00});
  return 0;
}

}  // namespace tilo2::core
