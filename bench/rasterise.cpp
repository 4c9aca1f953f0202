// Rasterising a receipt-wide photograph (576 x 1024) with each conversion.
// The "per_px" counter is the time per pixel (shown with an SI prefix, so
// "1.2n" is 1.2 ns per pixel).

#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "encoding/imaging/image_raster.h"

using namespace tilo2::core;

namespace {

constexpr int kWidth = 576;
constexpr int kHeight = 1024;

// A smooth diagonal gradient with a soft vignette and pixel noise, so every
// tone occurs and neither branch of a dot decision is predictable.
const std::vector<uint8_t>& photo() {
  static const std::vector<uint8_t> px = [] {
    std::vector<uint8_t> p(size_t(kWidth) * kHeight * 3);
    uint32_t seed = 12345;
    auto noise = [&seed] {
      seed = seed * 1664525u + 1013904223u;
      return int(seed >> 27) - 16;  // -16..15
    };
    auto clamp = [](int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); };
    for (int y = 0; y < kHeight; ++y)
      for (int x = 0; x < kWidth; ++x) {
        const int base = (x * 255 / kWidth + y * 255 / kHeight) / 2;
        const int dx = x - kWidth / 2, dy = y - kHeight / 2;
        const int vignette = (dx * dx + dy * dy) / 4096;
        uint8_t* q = &p[(size_t(y) * kWidth + x) * 3];
        q[0] = clamp(base - vignette + noise() + 20);  // blue
        q[1] = clamp(base - vignette + noise());       // green
        q[2] = clamp(base - vignette + noise() - 10);  // red
      }
    return p;
  }();
  return px;
}

using Convert = int (*)(const uint8_t*, int, int, int, int, int, int, double, uint8_t*, int);

void rasterise(benchmark::State& state, Convert fn, int dotsPerByte, double brightness) {
  const std::vector<uint8_t>& px = photo();
  std::vector<uint8_t> out(size_t((kWidth + dotsPerByte - 1) / dotsPerByte) * kHeight);
  for (auto _ : state) {
    int r = fn(px.data(), kWidth, kHeight, 0, 0, kWidth, kHeight, brightness, out.data(),
               int(out.size()));
    benchmark::DoNotOptimize(r);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.counters["per_px"] =
      benchmark::Counter(double(kWidth) * kHeight, benchmark::Counter::kIsIterationInvariantRate |
                                                       benchmark::Counter::kInvert);
}

}  // namespace

BENCHMARK_CAPTURE(rasterise, dither, ImageDitherToRaster, 8, 1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rasterise, diffuse, ImageDiffuseToRaster, 8, 1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rasterise, threshold, ImageThresholdToRaster, 8, 1.0)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rasterise, gray16, ImageToGray16, 2, 1.0)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(rasterise, diffuse_brightness_1_5, ImageDiffuseToRaster, 8, 1.5)
    ->Unit(benchmark::kMicrosecond);
