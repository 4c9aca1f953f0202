// Building the raster commands of a full receipt-width photograph, with and
// without deflate compression. Reports nanoseconds per image pixel.
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "encoding/builder/cmd_data.h"
#include "encoding/printer/prn_cmd.h"
#include "encoding/printer/prn_image_bytes.h"

using namespace tilo2::core;

namespace {

constexpr int kWidth = 576;
constexpr int kHeight = 1024;
constexpr PrnImageLimits_t kLimits{0, 0, 512, 256, 4096};

// Luma of a smooth diagonal gradient with a soft ripple and pixel noise.
std::vector<uint8_t> Photo() {
  std::vector<uint8_t> luma(static_cast<size_t>(kWidth) * kHeight);
  uint32_t seed = 12345;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      seed = seed * 1664525u + 1013904223u;
      const double base = 255.0 * (x + y) / (kWidth + kHeight);
      const double ripple = 20.0 * std::sin(x / 23.0) * std::cos(y / 31.0);
      const double noise = static_cast<double>(seed >> 24) / 16.0 - 8.0;
      const double v = base + ripple + noise;
      luma[static_cast<size_t>(y) * kWidth + x] = static_cast<uint8_t>(v < 0     ? 0
                                                                       : v > 255 ? 255
                                                                                 : v);
    }
  }
  return luma;
}

// Packed monochrome, 4x4 ordered dither: the kind of bitmap the rasteriser hands over.
std::vector<uint8_t> Mono(const std::vector<uint8_t>& luma) {
  static constexpr int kBayer[4][4] = {
      {0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
  const int rowBytes = (kWidth + 7) / 8;
  std::vector<uint8_t> mono(static_cast<size_t>(rowBytes) * kHeight);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const int level = luma[static_cast<size_t>(y) * kWidth + x] / 16;
      if (level <= kBayer[y % 4][x % 4])
        mono[static_cast<size_t>(y) * rowBytes + x / 8] |= 0x80 >> (x % 8);
    }
  }
  return mono;
}

// 16 gray levels, two pixels per byte, 15 black.
std::vector<uint8_t> Gray(const std::vector<uint8_t>& luma) {
  const int stride = (kWidth + 1) / 2;
  std::vector<uint8_t> gray(static_cast<size_t>(stride) * kHeight);
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      const auto level = static_cast<uint8_t>(15 - luma[static_cast<size_t>(y) * kWidth + x] / 16);
      gray[static_cast<size_t>(y) * stride + x / 2] |=
          x % 2 ? level : static_cast<uint8_t>(level << 4);
    }
  }
  return gray;
}

void Report(benchmark::State& state, size_t outBytes) {
  state.counters["ns_per_pixel"] = benchmark::Counter(
      static_cast<double>(kWidth) * kHeight * 1e-9,
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.counters["out_bytes"] = static_cast<double>(outBytes);
}

void BM_MonoRasterCommand(benchmark::State& state) {
  const auto mono = Mono(Photo());
  const int compress = static_cast<int>(state.range(0));
  std::vector<uint8_t> out;
  for (auto _ : state) {
    out.clear();
    if (PrnRasterImageBytes(out, kLimits, kWidth, kHeight, mono.data(), mono.size(), 1, compress,
                            PrnDefaultDeflate()) != 0) {
      state.SkipWithError("raster command failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  Report(state, out.size());
}
BENCHMARK(BM_MonoRasterCommand)->ArgName("compress")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_GrayRasterCommand(benchmark::State& state) {
  const auto gray = Gray(Photo());
  const int compress = static_cast<int>(state.range(0));
  std::vector<uint8_t> out;
  for (auto _ : state) {
    out.clear();
    if (PrnGrayImageBytes(out, kLimits, kWidth, kHeight, gray.data(), gray.size(), compress,
                          PrnDefaultDeflate()) != 0) {
      state.SkipWithError("gray command failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  Report(state, out.size());
}
BENCHMARK(BM_GrayRasterCommand)->ArgName("compress")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// The whole path of a print job's image: entry point, generator, chunk,
// and the built job's single block.
void BM_MonoImageJob(benchmark::State& state) {
  const auto mono = Mono(Photo());
  const int compress = static_cast<int>(state.range(0));
  PrnCmdHandle_t* builder = nullptr;
  if (PrnCmdOpen("RP-S12F", 0, &builder) != 0) {
    state.SkipWithError("no builder");
    return;
  }
  uint32_t length = 0;
  for (auto _ : state) {
    CmdData_t* job = nullptr;
    if (PrnCmdAddImage(builder, kWidth, kHeight, mono.data(), static_cast<int>(mono.size()), 1,
                       compress) != 0 ||
        PrnCmdBuild(builder, &job) != 0) {
      state.SkipWithError("image job failed");
      break;
    }
    CmdDataGetLength(job, &length);
    CmdDataFree(job);
    PrnCmdClear(builder);
  }
  PrnCmdClose(builder);
  Report(state, length);
}
BENCHMARK(BM_MonoImageJob)->ArgName("compress")->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
