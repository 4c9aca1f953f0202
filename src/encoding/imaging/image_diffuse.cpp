// Error diffusion: each dot's error goes right 5/16, below-left 1/16,
// below 7/16 and below-right 3/16; errors leaving the rectangle are dropped.
//
// Every dot waits for its left neighbour, so a row is one long chain of
// dependent steps; the work is arranged to keep that chain short:
// - the chain keeps only the dot's biased sum t; the dot's error and its
//   colour follow from t, and what a row receives from the row above
//   (7 e(c) + 3 e(c - 1) + e(c + 1), in sixteenths) is summed for a block at
//   a time, in vector code where the processor has it;
// - two rows run interleaved, the lower one two blocks behind, so all it
//   needs from the upper row is final and the two chains overlap.
//
// With s = 16 luma + err + right (err and right in sixteenths), the dot's
// value v = luma + ((err + right) >> 4) is s >> 4 and it is black when
// v < 128, that is when s < 2048. The chain works on t = s - 2048:
// black when t < 0, v = (t >> 4) + 128, e = v when black, v - 255 when white.

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

#include "encoding/alloc_hook.h"
#include "encoding/imaging/image_frame.h"
#include "encoding/imaging/image_raster.h"
#include "foundation/logger.h"

#ifdef TILO2_IMAGE_AVX2
#include <immintrin.h>
#endif

namespace tilo2::core {

namespace {

constexpr int kBlock = 64;
// t of a dot whose error is 0: the neighbours outside the rectangle and the
// row above the first one.
constexpr int32_t kZeroErrorT = 127 * 16;

inline int32_t ErrorOf(int32_t t) { return (t >> 4) - 127 + ((t >> 31) & 255); }

// One row: its lumas, the gathered inputs (16 luma + what the row above sent
// down - 2048), the t of each dot (t[-1] and t[width] are fixed neighbours
// with no error), and the carry to the right.
struct DiffuseRow {
  uint8_t* luma;
  int32_t* in;
  int32_t* t;
  int32_t right = 0;

  // The decision is a sign, not a branch: on a photograph it is unpredictable.
  // right = 5 e, spelled so it does not wait for e.
  void Dot(int c) {
    const int32_t tc = in[c] + right;
    t[c] = tc;
    right = 5 * (tc >> 4) - 5 * 127 + ((tc >> 31) & 5 * 255);
  }

  void Shift(int c) {
    luma += c;
    in += c;
    t += c;
  }
};

#ifdef TILO2_IMAGE_AVX2
// Each byte with its bits in reverse order.
constexpr auto kReversedBits = [] {
  std::array<uint8_t, 256> table{};
  for (unsigned b = 0; b < 256; ++b)
    for (unsigned k = 0; k < 8; ++k)
      if (b & (1u << k)) table[b] = static_cast<uint8_t>(table[b] | (0x80u >> k));
  return table;
}();

__attribute__((target("avx2"))) inline __m256i ErrorOfAvx2(__m256i t) {
  const __m256i v = _mm256_sub_epi32(_mm256_srai_epi32(t, 4), _mm256_set1_epi32(127));
  return _mm256_add_epi32(v, _mm256_and_si256(_mm256_srai_epi32(t, 31), _mm256_set1_epi32(255)));
}

__attribute__((target("avx2"))) inline __m256i ErrorsAt(const int32_t* t) {
  return ErrorOfAvx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(t)));
}

// Eight columns per step of GatherRow; answers where it stopped.
__attribute__((target("avx2"))) int GatherAvx2(const uint8_t* luma, const int32_t* above,
                                               int32_t* in, int from, int to) {
  const __m256i bias = _mm256_set1_epi32(2048);
  int c = from;
  for (; c + 8 <= to; c += 8) {
    const __m256i l =
        _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(luma + c)));
    const __m256i mid = ErrorsAt(above + c), left = ErrorsAt(above + c - 1);
    const __m256i next = ErrorsAt(above + c + 1);
    __m256i sum = _mm256_add_epi32(_mm256_slli_epi32(l, 4), _mm256_slli_epi32(mid, 3));
    sum = _mm256_add_epi32(_mm256_sub_epi32(sum, mid), _mm256_slli_epi32(left, 1));
    sum = _mm256_add_epi32(_mm256_add_epi32(sum, left), _mm256_sub_epi32(next, bias));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(in + c), sum);
  }
  return c;
}

// Eight dots per step of PackRow; answers where it stopped.
__attribute__((target("avx2"))) int PackAvx2(const int32_t* t, int n, uint8_t* dst) {
  int c = 0;
  for (; c + 8 <= n; c += 8) {
    // The sign bits give dot 0 in bit 0; the output wants it in bit 7.
    const unsigned signs = static_cast<unsigned>(_mm256_movemask_ps(
        _mm256_castsi256_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(t + c)))));
    *dst++ = ImageRasterByte(kReversedBits[signs]);
  }
  return c;
}
#endif

// in[c] = 16 luma[c] + 7 e[c] + 3 e[c - 1] + e[c + 1] - 2048 for c in
// [from, to), with e the errors of the row above.
void GatherRow(const uint8_t* luma, const int32_t* above, int32_t* in, int from, int to) {
  int c = from;
#ifdef TILO2_IMAGE_AVX2
  if (ImageHasAvx2()) c = GatherAvx2(luma, above, in, from, to);
#endif
  for (; c < to; ++c)
    in[c] = luma[c] * 16 + 7 * ErrorOf(above[c]) + 3 * ErrorOf(above[c - 1]) +
            ErrorOf(above[c + 1]) - 2048;
}

// Dots to output bytes, the first dot in the high bit.
void PackRow(const int32_t* t, int n, uint8_t* dst) {
  int c = 0;
#ifdef TILO2_IMAGE_AVX2
  if (ImageHasAvx2()) {
    c = PackAvx2(t, n, dst);
    dst += c / 8;
  }
#endif
  for (; c < n; c += 8) {
    unsigned bits = 0;
    for (int k = 0; k < 8; ++k) bits = bits * 2 + (c + k < n && t[c + k] < 0 ? 1u : 0u);
    *dst++ = ImageRasterByte(bits);
  }
}

int DiffuseToRaster(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                    int outHeight, double brightness, uint8_t* out, int outLength, int outOfMemory,
                    bool logOutOfMemory) {
  ImageJob job;
  if (int r = ImageBegin(pixels, width, height, x, y, outWidth, outHeight, brightness, out,
                         outLength, 8, job))
    return r;
  // One block for both rows: t rows with a fixed slot at each end, gathered
  // inputs, lumas.
  const int w = outWidth;
  const size_t tSlots = static_cast<size_t>(w) + 2;
  const size_t ints = 2 * tSlots + 2 * static_cast<size_t>(w);
  auto* block =
      static_cast<uint8_t*>(EncodingAlloc(ints * sizeof(int32_t) + 2 * static_cast<size_t>(w)));
  if (block == nullptr) {
    if (logOutOfMemory) log_error_line("ERROR", __FILE__, __LINE__);
    return outOfMemory;
  }
  auto* words = reinterpret_cast<int32_t*>(block);
  std::fill(words, words + 2 * tSlots, kZeroErrorT);
  uint8_t* lumas = block + ints * sizeof(int32_t);
  DiffuseRow rows[2] = {
      {lumas, words + 2 * tSlots, words + 1},
      {lumas + w, words + 2 * tSlots + w, words + tSlots + 1},
  };

  const size_t rowBytes = job.rowBytes;
  const int blocks = (w + kBlock - 1) / kBlock;
  auto blockEnd = [&](int k) { return std::min(w, (k + 1) * kBlock); };
  for (int r = 0; r < outHeight; r += 2) {
    // The row above the upper row is the lower row of the last pair.
    DiffuseRow& upper = rows[0];
    DiffuseRow& lower = rows[1];
    const bool pair = r + 1 < outHeight;
    ImageLuma(job.rect.row(r), w, job.tone, upper.luma);
    GatherRow(upper.luma, lower.t, upper.in, 0, w);
    upper.right = 0;
    if (pair) {
      ImageLuma(job.rect.row(r + 1), w, job.tone, lower.luma);
      lower.right = 0;
    }
    for (int k = 0; k < blocks + (pair ? 2 : 0); ++k) {
      const int j = k - 2;  // the lower row's block
      int a = k < blocks ? k * kBlock : w, aEnd = k < blocks ? blockEnd(k) : w;
      int b = w, bEnd = w;
      if (pair && j >= 0) {
        b = j * kBlock;
        bEnd = blockEnd(j);
        // The upper row is done up to block j + 1, so its errors up to
        // column bEnd, the last one this block reads, are final.
        GatherRow(lower.luma, upper.t, lower.in, b, bEnd);
      }
      if (aEnd - a == kBlock && bEnd - b == kBlock) {
        // The common case, a full block of each row: a fixed count the
        // compiler unrolls.
        DiffuseRow u = upper, l = lower;
        u.Shift(a);
        l.Shift(b);
#pragma GCC unroll 8
        for (int i = 0; i < kBlock; ++i) {
          u.Dot(i);
          l.Dot(i);
        }
        upper.right = u.right;
        lower.right = l.right;
        a = aEnd;
        b = bEnd;
      }
      for (; a < aEnd && b < bEnd; ++a, ++b) {
        upper.Dot(a);
        lower.Dot(b);
      }
      for (; a < aEnd; ++a) upper.Dot(a);
      for (; b < bEnd; ++b) lower.Dot(b);
    }
    PackRow(upper.t, w, out + static_cast<size_t>(r) * rowBytes);
    if (pair) PackRow(lower.t, w, out + static_cast<size_t>(r + 1) * rowBytes);
  }
  std::free(block);
  return 0;
}

}  // namespace

int ImageDiffuseToRaster(const uint8_t* pixels, int width, int height, int x, int y, int outWidth,
                         int outHeight, double brightness, uint8_t* out, int outLength) {
  return DiffuseToRaster(pixels, width, height, x, y, outWidth, outHeight, brightness, out,
                         outLength, 5, true);
}

int TdevImageDiffuseToRaster(const uint8_t* pixels, int width, int height, int x, int y,
                             int outWidth, int outHeight, double brightness, uint8_t* out,
                             int outLength) {
  return DiffuseToRaster(pixels, width, height, x, y, outWidth, outHeight, brightness, out,
                         outLength, 12, false);
}

}  // namespace tilo2::core
