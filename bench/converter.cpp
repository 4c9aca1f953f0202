// Code-page converter: conversion speed and the cost of opening a converter.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <string>
#include <vector>

#include "encoding/codepage/embedded_file.h"
#include "encoding/codepage/ovuc.h"

using namespace tilo2::core;

namespace {

constexpr const char* kModel = "RP-S12E_ank.txt";

// Repeats `line` up to `bytes` bytes, cut at a character boundary.
std::string Fill(const std::string& line, size_t bytes) {
  std::string text;
  while (text.size() + line.size() <= bytes) text += line;
  return text;
}

std::string LatinReceipt() {
  return Fill(
      "Caf\xC3\xA9 du March\xC3\xA9       2 x Cr\xC3\xA8me br\xC3\xBBl\xC3\xA9"
      "e      9,80 \xE2\x82\xAC\n"
      "1 x Espresso                        2,40 \xE2\x82\xAC\n"
      "TOTAL                              12,20 EUR\n"
      "Thank you for your visit! Please come again.\n",
      4096);
}

std::string JapaneseText() {
  // Full-width Japanese: the single-byte tables hold none of it (each
  // character becomes "?"; full-width text goes through the double-byte encoders).
  return Fill(
      "\xE3\x81\x94\xE6\x9D\xA5\xE5\xBA\x97\xE3\x81\x82\xE3\x82\x8A\xE3\x81\x8C\xE3\x81\xA8"
      "\xE3\x81\x86\xE3\x81\x94\xE3\x81\x96\xE3\x81\x84\xE3\x81\xBE\xE3\x81\x99\xE3\x80\x82"
      "\xE5\x90\x88\xE8\xA8\x88 1,200\xE5\x86\x86\n",
      4096);
}

std::string HalfWidthKatakana() {
  // U+FF76 U+FF9E ... : half-width katakana, bytes of table 1.
  return Fill(
      "\xEF\xBD\xB6\xEF\xBE\x9E\xEF\xBD\xB2\xEF\xBD\xB9\xEF\xBE\x9E\xEF\xBD\xB2 "
      "\xEF\xBD\xBA\xEF\xBD\xB0\xEF\xBE\x8B\xEF\xBD\xB0 300\n",
      4096);
}

void Convert(benchmark::State& state, const std::string& text) {
  const OvucHandle h = ConverterOpen(kModel, std::string_view(kModel).size());
  if (h <= 0) {
    state.SkipWithError("open failed");
    return;
  }
  std::vector<uint8_t> out(4 * text.size() + 64);
  for (auto _ : state) {
    OvucSetEncodeType(h);
    const int rc = OvucSetData(h, text.data(), text.size());
    size_t size = out.size();
    const int g = OvucGetOutputData(h, out.data(), &size);
    benchmark::DoNotOptimize(out.data());
    if (rc != 0 || g != 0) state.SkipWithError("conversion failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
  OvucCloseHandle(h);
}

void BM_ConvertLatinReceipt4K(benchmark::State& state) { Convert(state, LatinReceipt()); }
void BM_ConvertJapaneseFullWidth4K(benchmark::State& state) { Convert(state, JapaneseText()); }
void BM_ConvertHalfWidthKatakana4K(benchmark::State& state) { Convert(state, HalfWidthKatakana()); }

// Opening once the model's records are built (every builder after the first).
void BM_OpenCloseConverter(benchmark::State& state) {
  const OvucHandle warm = ConverterOpen(kModel, std::string_view(kModel).size());
  for (auto _ : state) {
    const OvucHandle h = ConverterOpen(kModel, std::string_view(kModel).size());
    benchmark::DoNotOptimize(h);
    OvucCloseHandle(h);
  }
  // Heap taken by one more open handle.
  const size_t before = mallinfo2().uordblks;
  const OvucHandle h = ConverterOpen(kModel, std::string_view(kModel).size());
  state.counters["heap_bytes_per_handle"] = static_cast<double>(mallinfo2().uordblks - before);
  OvucCloseHandle(h);
  OvucCloseHandle(warm);
}

// The first open of a model: reads and sorts its tables and the Unicode data.
void BM_OpenConverterColdModel(benchmark::State& state) {
  for (auto _ : state) {
    EmbeddedFileSetTableForTest(nullptr);  // a new generation drops the built records
    const OvucHandle h = ConverterOpen(kModel, std::string_view(kModel).size());
    benchmark::DoNotOptimize(h);
    OvucCloseHandle(h);
  }
}

BENCHMARK(BM_ConvertLatinReceipt4K);
BENCHMARK(BM_ConvertJapaneseFullWidth4K);
BENCHMARK(BM_ConvertHalfWidthKatakana4K);
BENCHMARK(BM_OpenCloseConverter);
BENCHMARK(BM_OpenConverterColdModel)->Unit(benchmark::kMillisecond);

}  // namespace
