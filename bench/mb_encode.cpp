// Japanese receipt text through the double-byte encoders.
#include "encoding/dbcs/mb_encode.h"

#include <benchmark/benchmark.h>

#include <string>
#include <vector>

using namespace tilo2::core;

namespace {

// About 4 KB of receipt lines: kanji, kana, full-width signs and ASCII figures.
std::string JapaneseText() {
  const std::string lines[] = {
      "東京都千代田区丸の内一丁目 株式会社サンプル商店\n",
      "領収書 2026年12月10日(木) 12:34 レジ番号 0003\n",
      "おにぎり 鮭 ×2 ¥260\n",
      "緑茶 ペットボトル 500ml ¥150\n",
      "ＳＡＬＥ 割引 －¥30 〜本日限り\n",
      "小計 ¥380 消費税(8%) ¥30 合計 ¥410\n",
      "お預かり ¥1,000 お釣り ¥590 ありがとうございました。\n",
  };
  std::string text;
  for (size_t i = 0; text.size() < 4096; ++i) {
    const std::string& line = lines[i % std::size(lines)];
    if (text.size() + line.size() > 4096) {
      break;
    }
    text += line;
  }
  return text;
}

// Encodes the text once per iteration; counts input bytes for MB/s.
template <typename Fn>
void EncodeLoop(benchmark::State& state, Fn encode) {
  const std::string text = JapaneseText();
  std::vector<char> out(text.size() * 2);
  for (auto _ : state) {
    benchmark::DoNotOptimize(encode(text, out));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(text.size()));
}

void BM_MbEncodeUtf8Japanese(benchmark::State& state) {
  EncodeLoop(state, [](const std::string& text, std::vector<char>& out) {
    return MbEncodeUtf8(MbKindJapanese, text.data(), text.size(), out.data(), out.size());
  });
}
BENCHMARK(BM_MbEncodeUtf8Japanese);

void BM_MbEncodeUtf8JapaneseSizeQueryThenEncode(benchmark::State& state) {
  EncodeLoop(state, [](const std::string& text, std::vector<char>& out) {
    const int need = MbEncodeUtf8(MbKindJapanese, text.data(), text.size(), nullptr, 0);
    return MbEncodeUtf8(MbKindJapanese, text.data(), text.size(), out.data(),
                        static_cast<size_t>(need));
  });
}
BENCHMARK(BM_MbEncodeUtf8JapaneseSizeQueryThenEncode);

void BM_Utf8ToKanjiBytes(benchmark::State& state) {
  EncodeLoop(state, [](const std::string& text, std::vector<char>& out) {
    return Utf8ToKanjiBytes(text.data(), text.size(), out.data(), out.size());
  });
}
BENCHMARK(BM_Utf8ToKanjiBytes);

}  // namespace
