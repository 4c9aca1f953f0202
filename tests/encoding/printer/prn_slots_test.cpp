// The image, barcode, symbol, page, layout and sound generators reached
// through the builders of real models, built into jobs.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "../prn_test_util.h"

namespace {

// Builds the job and clears the builder for the next one.
Bytes Job(Builder& b) {
  int rc = -1;
  Bytes bytes = BuildJob(b.get(), &rc);
  EXPECT_EQ(0, rc);
  PrnCmdClear(b.get());
  return bytes;
}

Bytes Join(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

TEST(PrnImageSlots, MonochromeImageOnAThermalModel) {
  Builder b("RP-S12F", 0);
  Bytes data(72 * 100, 0x10);
  ASSERT_EQ(0, PrnCmdAddTextPosition(b.get(), 13));
  ASSERT_EQ(0, PrnCmdAddImage(b.get(), 576, 100, data.data(), static_cast<int>(data.size()), 1, 0));
  const Bytes job = Job(b);
  ASSERT_EQ(4u + 7264u, job.size());
  EXPECT_EQ(Bytes({0x1B, 0x24, 0x0D, 0x00, 0x1D, 0x5C, 0xD4, 0xFF, 0x1B, 0x24, 0x08, 0x00}),
            Bytes(job.begin(), job.begin() + 12));
  EXPECT_EQ(0x20, job[4 + 25]);  // DLE replaced
  // Data shorter than the image: refused, nothing appended.
  EXPECT_EQ(1, PrnCmdAddImage(b.get(), 576, 100, data.data(), 7199, 1, 0));
  EXPECT_TRUE(Job(b).empty());
}

TEST(PrnImageSlots, OutOfMemoryAppendsNothingAndKeepsTheColor) {
  const Bytes data(72 * 100, 0x55);
  for (int n : {0, 1}) {  // the image's block, then its chunk record
    Builder b("RP-S12F", 0);
    {
      FailingAlloc fail(n);
      EXPECT_EQ(3, PrnCmdAddImage(b.get(), 576, 100, data.data(), 7200, 1, 0)) << n;
    }
    EXPECT_EQ(0, b->cmdBuffer.bodyBytes);
    EXPECT_EQ(nullptr, b->cmdBuffer.body);
  }
  Builder impact("RP-D4", 0);
  {
    FailingAlloc fail(0);
    EXPECT_EQ(3, PrnCmdAddImage(impact.get(), 1, 8, data.data(), 8, 2, 0));
  }
  EXPECT_EQ(1, impact->colorSent);  // red was never sent
}

TEST(PrnImageSlots, NarrowModelBandsAndGrayImage) {
  Builder b("RP-k4", 4);
  Bytes data(72 * 100, 0x00);
  ASSERT_EQ(0, PrnCmdAddImage(b.get(), 576, 100, data.data(), static_cast<int>(data.size()), 1, 0));
  const Bytes job = Job(b);
  // 95 rows in the first band: offset -5, then the store of 95 rows.
  EXPECT_EQ(Bytes({0x1D, 0x5C, 0xFB, 0xFF}), Bytes(job.begin(), job.begin() + 4));
  EXPECT_EQ(95, job[4 + 4 + 15]);

  const Bytes gray = {0x9F};
  ASSERT_EQ(0, PrnCmdAddGrayImage(b.get(), 2, 1, gray.data(), 1, 0));
  const Bytes grayJob = Job(b);
  EXPECT_EQ(95u, grayJob.size());
  EXPECT_EQ(0x34, grayJob[4 + 9]);
}

TEST(PrnImageSlots, LogosOfThermalAndDotMatrixModels) {
  Builder thermal("RP-S12F", 0);
  ASSERT_EQ(0, thermal->ops.image->nvLogo(thermal.get(), 0x20, 0x7E));
  EXPECT_EQ(1, thermal->ops.image->nvLogo(thermal.get(), 0x1F, 0x30));
  EXPECT_EQ(Bytes({0x1D, 0x28, 0x4C, 0x06, 0x00, 0x30, 0x45, 0x20, 0x7E, 0x01, 0x01}),
            Job(thermal));

  Builder impact("RP-D4", 0);
  impact->color = 2;  // asked for red; black was last sent
  ASSERT_EQ(0, impact->ops.image->nvLogo(impact.get(), 7, 0));
  ASSERT_EQ(0, impact->ops.image->nvLogo(impact.get(), 8, 0));
  EXPECT_EQ(
      Bytes({0x1B, 0x4A, 0x00, 0x1B, 0x72, 0x01, 0x1C, 0x70, 0x07, 0x00, 0x1C, 0x70, 0x08, 0x00}),
      Job(impact));
  EXPECT_EQ(1, impact->ops.image->nvLogo(impact.get(), 0, 0));
}

TEST(PrnImageSlots, DotMatrixBitImagesSwitchTheRibbonOnce) {
  Builder b("RP-D4", 0);
  const Bytes data(9, 0x80);  // 1 dot wide, 9 rows
  ASSERT_EQ(0, PrnCmdAddImage(b.get(), 1, 9, data.data(), 9, 2, 0));
  ASSERT_EQ(0, PrnCmdAddHighDensityImage(b.get(), 1, 9, data.data(), 9, 2, 0));
  EXPECT_EQ(0, PrnCmdAddImage(b.get(), 1, 9, data.data(), 9, 1, 1));  // no compressed form
  const Bytes stripes0 = {0x1B, 0x2A, 0x00, 0x01, 0x00, 0xFF, 0x1B, 0x4A, 0x10,
                          0x1B, 0x2A, 0x00, 0x01, 0x00, 0x80, 0x1B, 0x4A, 0x10};
  const Bytes stripes1 = {0x1B, 0x2A, 0x01, 0x01, 0x00, 0xFF, 0x1B, 0x4A, 0x10,
                          0x1B, 0x2A, 0x01, 0x01, 0x00, 0x80, 0x1B, 0x4A, 0x10};
  EXPECT_EQ(2, b->colorSent);
  EXPECT_EQ(Join({{0x1B, 0x4A, 0x00, 0x1B, 0x72, 0x01}, stripes0, stripes1}), Job(b));

  Builder d6("RP-D6", 2);
  ASSERT_EQ(0, PrnCmdAddImage(d6.get(), 1, 9, data.data(), 9, 1, 0));
  EXPECT_EQ(Bytes({0x1D, 0x28, 0x4B, 0x02, 0x00, 0x30, 0x03, 0x1B, 0x55, 0x01, 0x1B,
                   0x2A, 0x21, 0x01, 0x00, 0xFF, 0x80, 0x00, 0x1B, 0x4A, 0x18, 0x1D,
                   0x28, 0x4B, 0x02, 0x00, 0x30, 0x00, 0x1B, 0x55, 0x00}),
            Job(d6));
}

TEST(PrnBarcodeSlots, BarcodeAndSymbolThroughTheEntryPoints) {
  Builder b("RP-S12F", 0);
  const std::string digits = "4901234567894";
  ASSERT_EQ(0, PrnCmdAddBarcode(b.get(), 3, reinterpret_cast<const uint8_t*>(digits.data()), 13));
  const Bytes data = {1, 2, 3, 4, 5};
  ASSERT_EQ(0, PrnCmdAddSymbol(b.get(), 3, data.data(), 5));
  ASSERT_EQ(0, PrnCmdSetSymbolSize(b.get(), 10, 300));
  EXPECT_EQ(0, PrnCmdSetSymbolHeight(b.get(), 14, 3));
  EXPECT_EQ(1, PrnCmdSetSymbolLevel(b.get(), 3, 13));
  EXPECT_EQ(0, PrnCmdSetSymbolLevel(b.get(), 5, 13));
  EXPECT_EQ(1, PrnCmdSetSymbolSize(b.get(), 0, 256));
  const Bytes big(256, '1');
  EXPECT_EQ(1, PrnCmdAddBarcode(b.get(), 10, big.data(), 256));
  EXPECT_EQ(Join({{0x1B, 0x55, 0x01, 0x1D, 0x6B, 0x43, 0x0D},
                  Bytes(digits.begin(), digits.end()),
                  {0x1B, 0x55, 0x00},
                  {0x1B, 0x55, 0x01, 0x1D, 0x28, 0x6B, 0x04, 0x00, 0x31, 0x41,
                   0x32, 0x00, 0x1D, 0x28, 0x6B, 0x08, 0x00, 0x31, 0x50, 0x30},
                  data,
                  {0x1D, 0x28, 0x6B, 0x03, 0x00, 0x31, 0x51, 0x30, 0x1B, 0x55, 0x00},
                  {0x1D, 0x28, 0x6B, 0x04, 0x00, 0x33, 0x47, 0x2C, 0x01}}),
            Job(b));
  ASSERT_EQ(0, b->ops.barcode->hriFont(b.get(), 5));
  ASSERT_EQ(0, b->ops.barcode->hriPosition(b.get(), 2));
  EXPECT_EQ(Bytes({0x1D, 0x66, 0x61, 0x1D, 0x48, 0x02}), Job(b));
}

TEST(PrnPageSlots, PageModeLayoutAndSound) {
  Builder b("RP-S12F", 0);
  ASSERT_EQ(0, b->ops.page->begin(b.get()));
  ASSERT_EQ(0, PrnCmdAddPageArea(b.get(), 0, 0, 512, 1000));
  ASSERT_EQ(0, b->ops.page->direction(b.get(), 7));
  ASSERT_EQ(0, PrnCmdAddPageHPosition(b.get(), 300));
  ASSERT_EQ(0, b->ops.page->positionY(b.get(), 20));
  ASSERT_EQ(0, PrnCmdAddPageRectangle(b.get(), 10, 20, 300, 400, 4));
  ASSERT_EQ(0, PrnCmdAddPageLine(b.get(), 1, 2, 3, 4, 0));
  ASSERT_EQ(0, b->ops.page->end(b.get()));
  ASSERT_EQ(0, b->ops.sound->pulse(b.get(), 1, 4));
  ASSERT_EQ(0, b->ops.sound->buzzer(b.get(), 6, 2));
  ASSERT_EQ(0, b->ops.sound->buzzerRealtime(b.get()));
  EXPECT_EQ(Join({{0x1B, 0x4C},
                  {0x1B, 0x57, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0xE8, 0x03},
                  {0x1B, 0x54, 0x01},
                  {0x1B, 0x24, 0x2C, 0x01},
                  {0x1D, 0x24, 0x14, 0x00},
                  {0x1D, 0x28, 0x51, 0x0E, 0x00, 0x31, 0x0A, 0x00, 0x14, 0x00, 0x2C, 0x01, 0x90,
                   0x01, 0x01, 0x05, 0x30, 0x30, 0x01},
                  {0x1D, 0x28, 0x51, 0x0C, 0x00, 0x30, 0x01, 0x00, 0x02, 0x00, 0x03, 0x00, 0x04,
                   0x00, 0x01, 0x01, 0x30},
                  {0x1B, 0x54, 0x00, 0x0C},
                  {0x1B, 0x70, 0x01, 0xFA, 0xFA},
                  {0x1B, 0x28, 0x41, 0x03, 0x00, 0x61, 0x07, 0x02},
                  {0x10, 0x14, 0x03, 0x00, 0x00, 0x00, 0x01, 0x00}}),
            Job(b));

  Builder label("RP-M3", 0);
  ASSERT_EQ(0, PrnCmdAddLayout(label.get(), 1, 300, -15, -20, 30, 5, 580));
  ASSERT_EQ(0, label->ops.layout->feedPosition(label.get(), 2));
  ASSERT_EQ(0, label->ops.sound->sound(label.get(), 3, 2, 5));
  const std::string text = "1300;0;0;0;0;580;";
  EXPECT_EQ(Join({{0x1C, 0x28, 0x4C, 0x12, 0x00, 0x21},
                  Bytes(text.begin(), text.end()),
                  {0x1D, 0x57, 0xFF, 0xFF},
                  {0x1C, 0x28, 0x4C, 0x02, 0x00, 0x43, 0x32},
                  {0x1B, 0x28, 0x41, 0x04, 0x00, 0x30, 0x33, 0x02, 0x05}}),
            Job(label));

  Builder d6("RP-D6", 2);
  ASSERT_EQ(0, d6->ops.sound->sound(d6.get(), 8, 30, 5));
  EXPECT_EQ(Bytes({0x1B, 0x28, 0x41, 0x05, 0x00, 0x61, 0x65, 0x14, 0x05, 0x02}), Job(d6));
}

}  // namespace
