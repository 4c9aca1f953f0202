// Display builders of the three display models: windows, reset clock, text
// in each language, marquee and the job framing.
#include "encoding/display/dsp_cmd.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "encoding/builder/cmd_data.h"
#include "encoding/dbcs/mb_encode.h"
#include "encoding/display/dsp_bytes.h"
#include "encoding/test_hooks.h"

using namespace tilo2::core;

namespace {

using Bytes = std::vector<uint8_t>;

class Display : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(0, DspCmdOpen("CD-A1", 0, &d_)); }
  void TearDown() override {
    DspCmdClose(d_);
    DspSetLocalClock(nullptr);
  }

  // Body of the built job between the ESC = 2 and ESC = 1 frames.
  Bytes Body() {
    const Bytes job = Build();
    const Bytes head = {0x1B, 0x3D, 0x02};
    const Bytes tail = {0x1B, 0x3D, 0x01, 0x1D, 0x28, 0x48, 0x06,
                        0x00, 0x30, 0x30, 'F',  'F',  'F',  'F'};
    if (job.empty()) return job;
    EXPECT_GE(job.size(), head.size() + tail.size());
    EXPECT_EQ(head, Bytes(job.begin(), job.begin() + 3));
    EXPECT_EQ(tail, Bytes(job.end() - 14, job.end()));
    return Bytes(job.begin() + 3, job.end() - 14);
  }

  Bytes Build(int expectRc = 0) {
    CmdData_t* data = nullptr;
    EXPECT_EQ(expectRc, DspCmdBuild(d_, &data));
    if (expectRc != 0) return {};
    const uint8_t* p = nullptr;
    uint32_t n = 0;
    CmdDataGetData(data, &p);
    CmdDataGetLength(data, &n);
    Bytes bytes = n ? Bytes(p, p + n) : Bytes{};
    CmdDataFree(data);
    DspCmdClear(d_);
    return bytes;
  }

  DspCmdHandle_t* d_ = nullptr;
};

TEST_F(Display, WindowsAreRecordedAndSelected) {
  ASSERT_EQ(0, DspCmdCreateWindow(d_, 2, 5, 1, 10, 2, 1));
  ASSERT_EQ(0, d_->ops->selectWindow(d_, 2));
  ASSERT_EQ(0, d_->ops->selectWindow(d_, 0));
  EXPECT_EQ(Bytes({0x1B, 0x57, 0x02, 0x01, 0x05, 0x01, 0x0E, 0x02, 0x1F, 0x24, 0x05,
                   0x01, 0x1F, 0x02, 0x1F, 0x24, 0x05, 0x01, 0x1F, 0x24, 0x01, 0x01}),
            Body());
  for (int bad : {-1, 5}) EXPECT_EQ(1, d_->ops->selectWindow(d_, bad)) << bad;
  for (int bad : {-1, 0, 5}) {
    EXPECT_EQ(1, d_->ops->createWindow(d_, bad, 1, 1, 1, 1, 0)) << bad;
    EXPECT_EQ(1, d_->ops->destroyWindow(d_, bad)) << bad;
  }
}

TEST_F(Display, SelectingADestroyedWindowFailsTheBuild) {
  ASSERT_EQ(0, DspCmdCreateWindow(d_, 3, 1, 1, 20, 2, 0));
  ASSERT_EQ(0, d_->ops->destroyWindow(d_, 3));
  const uint32_t before = static_cast<uint32_t>(d_->cmdBuffer.bodyBytes);
  EXPECT_EQ(0, d_->ops->selectWindow(d_, 3));
  EXPECT_EQ(before, static_cast<uint32_t>(d_->cmdBuffer.bodyBytes));
  Build(4);
  DspCmdClear(d_);
  ASSERT_EQ(0, d_->ops->clear(d_));
  EXPECT_EQ(Bytes{0x0C}, Body());
}

TEST_F(Display, ResetSetsTheClockAndForgetsWindows) {
  DspSetLocalClock([](int* h, int* m) {
    *h = 9;
    *m = 41;
    return 0;
  });
  ASSERT_EQ(0, DspCmdCreateWindow(d_, 1, 1, 1, 20, 1, 0));
  DspCmdClear(d_);
  ASSERT_EQ(0, d_->ops->reset(d_));
  EXPECT_EQ(Bytes({0x1B, 0x40, 0x1F, 0x54, 0x09, 0x29, 0x1B, 0x52, 0x00, 0x1F, 0x28, 0x47, 0x02,
                   0x00, 0x60, 0x00, 0x0C}),
            Body());
  for (const auto& w : d_->windows) EXPECT_EQ(0, w.active);
  DspSetLocalClock([](int*, int*) { return 1; });
  EXPECT_EQ(3, d_->ops->reset(d_));
  EXPECT_EQ(0, d_->cmdBuffer.bodyBytes);
}

TEST_F(Display, SettingsCommands) {
  ASSERT_EQ(0, d_->ops->blink(d_, 120));
  ASSERT_EQ(0, d_->ops->blink(d_, 20000));
  ASSERT_EQ(0, d_->ops->brightness(d_, 2));
  ASSERT_EQ(0, d_->ops->cursorType(d_, 1));
  ASSERT_EQ(0, DspCmdSetCursorPosition(d_, 20, 2));
  ASSERT_EQ(0, d_->ops->moveCursor(d_, 1));
  ASSERT_EQ(0, d_->ops->reverse(d_, 1));
  ASSERT_EQ(0, d_->ops->showClock(d_));
  EXPECT_EQ(Bytes({0x1F, 0x45, 0x03, 0x1F, 0x45, 0xFE, 0x1F, 0x58, 0x03, 0x1F, 0x43, 0x01,
                   0x1F, 0x24, 0x14, 0x02, 0x0B, 0x1F, 0x0D, 0x1F, 0x72, 0x01, 0x1F, 0x55}),
            Body());
}

Bytes Korean(const std::string& text) {
  std::string out(
      static_cast<size_t>(MbEncodeUtf8(MbKindKorean, text.data(), text.size(), nullptr, 0)), '\0');
  MbEncodeUtf8(MbKindKorean, text.data(), text.size(), out.data(), out.size());
  return Bytes(out.begin(), out.end());
}

TEST_F(Display, KoreanTextFollowsItsLanguageBlockOnce) {
  const std::string text = "\xED\x95\x9C\xEA\xB5\xAD";
  ASSERT_EQ(0, d_->ops->clear(d_));
  ASSERT_EQ(0, DspCmdSetLanguage(d_, 4));
  ASSERT_EQ(0, d_->ops->text(d_, text.c_str()));
  EXPECT_EQ(4, d_->textLang);
  Bytes expect = {0x0C, 0x1B, 0x74, 0x00, 0x1B, 0x52, 0x0D, 0x1F, 0x28, 0x47, 0x02,
                  0x00, 0x61, 0x00, 0x1F, 0x28, 0x47, 0x02, 0x00, 0x60, 0x01};
  const Bytes encoded = Korean(text);
  ASSERT_FALSE(encoded.empty());
  expect.insert(expect.end(), encoded.begin(), encoded.end());
  EXPECT_EQ(expect, Body());
  EXPECT_EQ(0, d_->ops->text(d_, ""));
  EXPECT_EQ(1, d_->ops->text(d_, nullptr));
  EXPECT_TRUE(Build().empty());
}

TEST_F(Display, AnkTextGoesThroughTheModelConverter) {
  ASSERT_GE(d_->converter, 0);
  ASSERT_EQ(0, d_->ops->text(d_, "Total 12"));
  const Bytes body = Body();
  const std::string expect = "Total 12";
  EXPECT_NE(body.end(), std::search(body.begin(), body.end(), expect.begin(), expect.end()));
}

TEST_F(Display, MarqueeInBothFormats) {
  const std::string text = "\xED\x95\x9C";
  const Bytes encoded = Korean(text);
  const Bytes block = {0x1B, 0x74, 0x00, 0x1B, 0x52, 0x0D, 0x1F, 0x28, 0x47, 0x02,
                       0x00, 0x61, 0x00, 0x1F, 0x28, 0x47, 0x02, 0x00, 0x60, 0x01};
  for (int format : {0, 1}) {
    ASSERT_EQ(0, DspCmdAddMarquee(d_, text.c_str(), format, 100, 75, 3, 4));
    Bytes expect = {0x1F, 0x03, 0x1F, 0x3A, 0x0C};
    if (format == 0) expect.insert(expect.end(), {0x1F, 0x0D});
    expect.insert(expect.end(), block.begin(), block.end());
    expect.insert(expect.end(), encoded.begin(), encoded.end());
    expect.insert(expect.end(), {0x1F, 0x3A, 0x1F, 0x5E, 0x05, 0x02});
    EXPECT_EQ(expect, Body()) << format;
    EXPECT_EQ(0, d_->textLang);  // the marquee's language is its own
  }
}

TEST(DisplayModels, LanguagesAndSlots) {
  DspCmdHandle_t* d = nullptr;
  for (const char* model : {"CD-A1", "CD-A2", "CD-A4"}) {
    ASSERT_EQ(0, DspCmdOpen(model, 0, &d)) << model;
    EXPECT_EQ(std::string(model) != "CD-A4", d->ops->cursorType != nullptr) << model;
    EXPECT_NE(nullptr, d->ops->marquee);
    DspCmdClose(d);
  }
  EXPECT_EQ(2, DspCmdOpen("cd-a1", 0, &d));
  EXPECT_EQ(0, DspModelCreate_CD_A1(6, &d));
  DspCmdClose(d);
  EXPECT_EQ(2, DspModelCreate_CD_A1(4, &d));
  EXPECT_EQ(2, DspModelCreate_CD_A2(1, &d));
  EXPECT_EQ(2, DspModelCreate_CD_A4(3, &d));
}

}  // namespace
