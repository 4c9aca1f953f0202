// Luma of a run of blue-green-red pixels. The weighted sum is exact integer
// arithmetic, so the vector path gives the same lumas as the scalar one; it
// only runs on processors that have AVX2.

#include <atomic>
#include <cstring>

#include "encoding/imaging/image_frame.h"
#include "encoding/imaging/image_tables.h"
#include "encoding/test_hooks.h"

#ifdef TILO2_IMAGE_AVX2
#include <immintrin.h>
#endif

namespace tilo2::core {

namespace {

inline uint8_t LumaOf(const uint8_t* p) {
  return static_cast<uint8_t>((p[2] * kLumaR + p[1] * kLumaG + p[0] * kLumaB + kLumaRound) >>
                              kLumaShift);
}

#ifdef TILO2_IMAGE_AVX2
// Eight pixels per step: each 128-bit half takes four pixels (12 bytes) and
// spreads blue, green and red into 32-bit lanes for the multiplies. Answers
// how many pixels it did; loads never pass the run's last byte.
__attribute__((target("avx2"))) int LumaAvx2(const uint8_t* bgr, int n, uint8_t* luma) {
  const __m256i pickB =
      _mm256_setr_epi8(0, -1, -1, -1, 3, -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1, 0, -1, -1, -1, 3,
                       -1, -1, -1, 6, -1, -1, -1, 9, -1, -1, -1);
  const __m256i pickG =
      _mm256_setr_epi8(1, -1, -1, -1, 4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1, 1, -1, -1, -1,
                       4, -1, -1, -1, 7, -1, -1, -1, 10, -1, -1, -1);
  const __m256i pickR =
      _mm256_setr_epi8(2, -1, -1, -1, 5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1, 2, -1, -1, -1,
                       5, -1, -1, -1, 8, -1, -1, -1, 11, -1, -1, -1);
  const __m256i narrow =
      _mm256_setr_epi8(0, 4, 8, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0, 4, 8, 12, -1,
                       -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1);
  const __m256i wB = _mm256_set1_epi32(static_cast<int>(kLumaB));
  const __m256i wG = _mm256_set1_epi32(static_cast<int>(kLumaG));
  const __m256i wR = _mm256_set1_epi32(static_cast<int>(kLumaR));
  const __m256i round = _mm256_set1_epi32(static_cast<int>(kLumaRound));
  int i = 0;
  // The upper load covers bytes 3i + 12 .. 3i + 27.
  for (; i + 10 <= n; i += 8) {
    const uint8_t* p = bgr + 3 * static_cast<size_t>(i);
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 12));
    const __m256i v = _mm256_inserti128_si256(_mm256_castsi128_si256(lo), hi, 1);
    const __m256i b = _mm256_mullo_epi32(_mm256_shuffle_epi8(v, pickB), wB);
    const __m256i g = _mm256_mullo_epi32(_mm256_shuffle_epi8(v, pickG), wG);
    const __m256i r = _mm256_mullo_epi32(_mm256_shuffle_epi8(v, pickR), wR);
    const __m256i sum = _mm256_add_epi32(_mm256_add_epi32(b, g), _mm256_add_epi32(r, round));
    const __m256i bytes = _mm256_shuffle_epi8(_mm256_srli_epi32(sum, kLumaShift), narrow);
    const uint32_t first = static_cast<uint32_t>(_mm256_cvtsi256_si32(bytes));
    const uint32_t second = static_cast<uint32_t>(_mm256_extract_epi32(bytes, 4));
    std::memcpy(luma + i, &first, 4);
    std::memcpy(luma + i + 4, &second, 4);
  }
  return i;
}
#endif

}  // namespace

namespace {
std::atomic<bool> vectorPaths{true};
}

void ImageSetVectorPaths(bool enabled) { vectorPaths.store(enabled, std::memory_order_relaxed); }

#ifdef TILO2_IMAGE_AVX2
bool ImageHasAvx2() {
  static const bool supported = __builtin_cpu_supports("avx2");
  return supported && vectorPaths.load(std::memory_order_relaxed);
}
#endif

void ImageLuma(const uint8_t* bgr, int n, const ImageTone& tone, uint8_t* luma) {
  int i = 0;
#ifdef TILO2_IMAGE_AVX2
  if (ImageHasAvx2()) i = LumaAvx2(bgr, n, luma);
#endif
  for (; i < n; ++i) luma[i] = LumaOf(bgr + 3 * static_cast<size_t>(i));
  if (!tone.identity)
    for (int k = 0; k < n; ++k) luma[k] = tone.map[luma[k]];
}

}  // namespace tilo2::core
