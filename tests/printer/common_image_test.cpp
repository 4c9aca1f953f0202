// AddImageAsync and the bitmaps it reads: argument tests, the brightness
// steps, flattening onto white, failing and slow frames, and a printer
// released while its image waits for pixels.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "common_test_support.h"
#include "orvik/tilo2/error_status.h"
#include "orvik/tilo2/imaging.h"

using namespace common_test;
using ::Orvik::Tilo::Tilo2::AsyncStatus;
using ::Orvik::Tilo::Tilo2::ErrorStatus;
using ::Orvik::Tilo::Tilo2::IAsyncAction;
using ::Orvik::Tilo::Tilo2::IAsyncOperation;
using ::Orvik::Tilo::Tilo2::kEInvalidArg;
using ::Orvik::Tilo::Tilo2::RuntimeException;
using ::Orvik::Tilo::Tilo2::String;
using ::Orvik::Tilo::Tilo2::Imaging::AlphaMode;
using ::Orvik::Tilo::Tilo2::Imaging::IBitmapFrame;
using ::Orvik::Tilo::Tilo2::Imaging::MemoryBitmap;

namespace {

constexpr int32_t kAccessDenied = static_cast<int32_t>(0x80070005u);
constexpr auto kDeadline = std::chrono::seconds(10);

using Pixels = std::vector<uint8_t>;

// A frame that fails where told to, or holds its pixel data until released.
class StubFrame final : public IBitmapFrame {
 public:
  StubFrame(uint32_t width, uint32_t height, Pixels pixels)
      : width_(width), height_(height), pixels_(std::move(pixels)) {}

  int32_t failWidth = 0;   // PixelWidth throws this HRESULT
  int32_t failPixels = 0;  // the pixel operation fails with it
  bool hold = false;       // the pixel operation waits for Release()

  uint32_t PixelWidth() const override {
    if (failWidth != 0) throw RuntimeException(failWidth);
    return width_;
  }
  uint32_t PixelHeight() const override { return height_; }
  IAsyncOperation<Pixels> GetPixelDataAsync() override {
    auto state = std::make_shared<::Orvik::Tilo::Tilo2::detail::AsyncState<Pixels>>();
    state->TryStart();
    if (failPixels != 0) {
      state->SetError(std::make_exception_ptr(RuntimeException(failPixels)));
    } else if (hold) {
      std::lock_guard lock(mutex_);
      held_ = state;
      requested_.notify_all();
    } else {
      state->SetValue(pixels_);
    }
    return IAsyncOperation<Pixels>(state);
  }
  String GetRuntimeClassName() const override { return String("Tests.StubFrame"); }

  bool WaitRequested() {
    std::unique_lock lock(mutex_);
    return requested_.wait_for(lock, kDeadline, [&] { return held_ != nullptr; });
  }
  void Release() {
    std::shared_ptr<::Orvik::Tilo::Tilo2::detail::AsyncState<Pixels>> held;
    {
      std::lock_guard lock(mutex_);
      held = std::move(held_);
    }
    if (held) held->SetValue(pixels_);
  }

 private:
  uint32_t width_;
  uint32_t height_;
  Pixels pixels_;
  std::mutex mutex_;
  std::condition_variable requested_;
  std::shared_ptr<::Orvik::Tilo::Tilo2::detail::AsyncState<Pixels>> held_;
};

// width x height pixels of one premultiplied BGRA colour.
Pixels Fill(uint32_t width, uint32_t height, std::array<uint8_t, 4> bgra) {
  Pixels p;
  for (uint32_t i = 0; i < width * height; ++i) p.insert(p.end(), bgra.begin(), bgra.end());
  return p;
}

std::shared_ptr<MemoryBitmap> Opaque(uint32_t width, uint32_t height) {
  return MemoryBitmap::FromBgra8(width, height, Fill(width, height, {10, 20, 30, 255}),
                                 AlphaMode::Premultiplied);
}

class CommonImage : public CommonPrinterTest {
 protected:
  int32_t AddImage(CommonPrinter& p, std::shared_ptr<IBitmapFrame> image, int32_t x, int32_t y,
                   int32_t width, int32_t height, P::Color color = P::Color::Color1,
                   double brightness = 1.0) {
    return Outcome(p.AddImageAsync(std::move(image), x, y, width, height, color, P::Mode::Mono,
                                   P::Halftone::Dither, brightness, P::Compression::Default));
  }
  // The last command's image block, or null.
  static const TdcImageArgs_t* LastImage(TdcPrinter_t* record) {
    const auto stored = ReadCommands(record);
    if (stored.empty() || stored.back().kind != TDC_CMD_IMAGE) return nullptr;
    return stored.back().image;
  }
};

TEST_F(CommonImage, BrightnessStepsAndRefusals) {
  struct Row {
    double given;
    bool accepted;
    double passed;
  };
  const Row rows[] = {
      {-1.0, false, 0}, {-1.5, false, 0},  {-2.0, true, -2.0}, {-2.5, true, -2.0},
      {1.0, true, 1.0}, {0.15, true, 0.1}, {10.0, true, 10.0}, {10.1, false, 0},
      {0.05, false, 0}, {-0.25, false, 0}, {0.1, true, 0.1},   {std::nan(""), false, 0},
  };
  auto printer = NewPrinter();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.given);
    printer->ClearCommandBuffer();
    const int32_t result =
        AddImage(*printer, Opaque(4, 2), 0, 0, 4, 2, P::Color::Color1, row.given);
    if (!row.accepted) {
      EXPECT_EQ(result, ErrorStatus::ErrParameter);
      EXPECT_TRUE(ReadCommands(printer->Record()).empty());
      continue;
    }
    ASSERT_EQ(result, 0);
    const TdcImageArgs_t* image = LastImage(printer->Record());
    ASSERT_NE(image, nullptr);
    EXPECT_DOUBLE_EQ(image->brightness, row.passed);
  }
}

TEST_F(CommonImage, AreaTestsAgainstTheArgumentsAndTheBitmap) {
  struct Row {
    const char* name;
    int32_t x, y, width, height;
    P::Color color;
    int32_t result;
  };
  const Row rows[] = {
      {"whole bitmap", 0, 0, 8, 4, P::Color::Color1, 0},
      {"right part", 5, 1, 3, 3, P::Color::Color2, 0},
      {"x + width one past", 1, 0, 8, 4, P::Color::Color1, ErrorStatus::ErrParameter},
      {"y + height one past", 0, 1, 8, 4, P::Color::Color1, ErrorStatus::ErrParameter},
      {"x 65535", 65535, 0, 1, 1, P::Color::Color1, ErrorStatus::ErrParameter},
      {"x -1", -1, 0, 1, 1, P::Color::Color1, ErrorStatus::ErrParameter},
      {"width 0", 0, 0, 0, 1, P::Color::Color1, ErrorStatus::ErrParameter},
      {"height 65536", 0, 0, 1, 65536, P::Color::Color1, ErrorStatus::ErrParameter},
      {"color Unspecified", 0, 0, 1, 1, P::Color::Unspecified, ErrorStatus::ErrParameter},
      {"color 7", 0, 0, 1, 1, static_cast<P::Color>(7), ErrorStatus::ErrParameter},
  };
  auto printer = NewPrinter();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    printer->ClearCommandBuffer();
    EXPECT_EQ(AddImage(*printer, Opaque(8, 4), row.x, row.y, row.width, row.height, row.color),
              row.result);
    EXPECT_EQ(ReadCommands(printer->Record()).size(), row.result == 0 ? 1u : 0u);
  }
  // Width and height take 65535; the bitmap is what limits them.
  printer->ClearCommandBuffer();
  EXPECT_EQ(AddImage(*printer, Opaque(65535, 1), 0, 0, 65535, 1, P::Color::Default), 0);
  const TdcImageArgs_t* image = LastImage(printer->Record());
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->color, -2);
  EXPECT_EQ(image->imageWidth, 65535);
}

TEST_F(CommonImage, CommandCarriesTheValuesTheRecordAndThePageMode) {
  auto printer = NewPrinter();
  TdcPrinter_t* record = printer->Record();
  printer->AddPageBegin();
  ASSERT_EQ(
      Outcome(printer->AddImageAsync(Opaque(8, 4), 1, 2, 3, 2, P::Color::Color3, P::Mode::Gray16,
                                     P::Halftone::Threshold, -2.0, P::Compression::Deflate)),
      0);
  const TdcImageArgs_t* image = LastImage(record);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->imageWidth, 8);
  EXPECT_EQ(image->imageHeight, 4);
  EXPECT_EQ(std::vector<int32_t>({image->x, image->y, image->width, image->height}),
            std::vector<int32_t>({1, 2, 3, 2}));
  EXPECT_EQ(std::vector<int32_t>({image->color, image->mode, image->halftone, image->compress}),
            std::vector<int32_t>({3, 1, 2, 0}));
  EXPECT_EQ(image->settings, record->settings);
  EXPECT_EQ(image->handleSlot, &record->handle);
  EXPECT_EQ(image->pageMode, 1);
}

TEST_F(CommonImage, PixelsAreFlattenedOntoWhite) {
  struct Row {
    const char* name;
    std::array<uint8_t, 4> bgra;
    AlphaMode alpha;
    std::array<uint8_t, 3> bgr;
  };
  const Row rows[] = {
      {"transparent", {0, 0, 0, 0}, AlphaMode::Premultiplied, {255, 255, 255}},
      {"half-transparent black", {0, 0, 0, 128}, AlphaMode::Premultiplied, {127, 127, 127}},
      {"opaque", {10, 20, 30, 255}, AlphaMode::Premultiplied, {10, 20, 30}},
      // Straight input is premultiplied by the bitmap: 200 * 128 / 255 = 100, ...
      {"straight", {200, 100, 50, 128}, AlphaMode::Straight, {227, 177, 152}},
      {"straight transparent", {200, 100, 50, 0}, AlphaMode::Straight, {255, 255, 255}},
      {"ignored alpha", {10, 20, 30, 0}, AlphaMode::Ignore, {10, 20, 30}},
      // Colours above alpha (not premultiplied after all) cap at white, never wrap.
      {"colour above alpha", {255, 200, 0, 100}, AlphaMode::Premultiplied, {255, 255, 155}},
  };
  auto printer = NewPrinter();
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    printer->ClearCommandBuffer();
    auto bitmap = MemoryBitmap::FromBgra8(2, 1, Fill(2, 1, row.bgra), row.alpha);
    ASSERT_EQ(AddImage(*printer, bitmap, 0, 0, 2, 1), 0);
    const TdcImageArgs_t* image = LastImage(printer->Record());
    ASSERT_NE(image, nullptr);
    const std::vector<uint8_t> expected = {row.bgr[0], row.bgr[1], row.bgr[2],
                                           row.bgr[0], row.bgr[1], row.bgr[2]};
    EXPECT_EQ(std::vector<uint8_t>(image->rgb, image->rgb + 6), expected);
  }
}

TEST_F(CommonImage, FailingFramesAndANullImage) {
  auto printer = NewPrinter();
  // A null image.
  EXPECT_EQ(AddImage(*printer, nullptr, 0, 0, 1, 1), ErrorStatus::ErrParameter);
  // The frame's own failure reaches the app unchanged.
  auto widthFails = std::make_shared<StubFrame>(2, 2, Fill(2, 2, {0, 0, 0, 255}));
  widthFails->failWidth = kAccessDenied;
  EXPECT_EQ(AddImage(*printer, widthFails, 0, 0, 1, 1), kAccessDenied);
  // A failed pixel request becomes ErrFailure.
  auto pixelsFail = std::make_shared<StubFrame>(2, 2, Fill(2, 2, {0, 0, 0, 255}));
  pixelsFail->failPixels = kAccessDenied;
  EXPECT_EQ(AddImage(*printer, pixelsFail, 0, 0, 1, 1), ErrorStatus::ErrFailure);
  // Pixel data that does not match the frame's size is never read past.
  auto tooFew = std::make_shared<StubFrame>(4, 4, Fill(2, 2, {0, 0, 0, 255}));
  EXPECT_EQ(AddImage(*printer, tooFew, 0, 0, 1, 1), ErrorStatus::ErrFailure);
  EXPECT_TRUE(ReadCommands(printer->Record()).empty());

  const auto bodies = ApiBodies();
  ASSERT_GE(bodies.size(), 8u);
  EXPECT_EQ(bodies[1], Line("<-", printer->Record(), "a0048200", "AddImageAsync",
                            "(null, 0, 0, 1, 1, Color1, Mono, Dither, 1, Default)"));
  EXPECT_EQ(bodies[3], Line("<-", printer->Record(), "80070005", "AddImageAsync",
                            "(Tests.StubFrame, 0, 0, 1, 1, Color1, Mono, Dither, 1, Default)"));
  EXPECT_EQ(bodies[5], Line("<-", printer->Record(), "a004820f", "AddImageAsync",
                            "(Tests.StubFrame, 0, 0, 1, 1, Color1, Mono, Dither, 1, Default)"));
}

TEST_F(CommonImage, ImageLandsWhenItsPixelsArrive) {
  auto printer = NewPrinter();
  auto slow = std::make_shared<StubFrame>(2, 1, Fill(2, 1, {0, 0, 0, 255}));
  slow->hold = true;
  auto action = printer->AddImageAsync(slow, 0, 0, 2, 1, P::Color::Color1, P::Mode::Mono,
                                       P::Halftone::Dither, 1.0, P::Compression::None);
  ASSERT_TRUE(slow->WaitRequested());
  // Commands added meanwhile go before the image.
  printer->AddText(String("first"));
  EXPECT_EQ(action.Status(), AsyncStatus::Started);
  slow->Release();
  EXPECT_EQ(Outcome(action), 0);
  const auto stored = ReadCommands(printer->Record());
  ASSERT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored[0].kind, TDC_CMD_TEXT);
  EXPECT_EQ(stored[1].kind, TDC_CMD_IMAGE);
}

// An owner as the printer classes are: it holds the CommonPrinter and
// destroys the record when it goes.
class Owner final : public ::Orvik::Tilo::Tilo2::Object {
 public:
  Owner(TdcPrinter_t* record, std::atomic<bool>* destroyed)
      : common_(CommonPrinter::Create()), record_(record), destroyed_(destroyed) {
    common_->SetRecord(record);
  }
  ~Owner() override {
    TdcClearPrinterCommands(&record_->commands.commandList);
    TdcDestroyPrinter(record_);
    common_->SetRecord(nullptr);
    destroyed_->store(true);
  }
  CommonPrinter& Common() { return *common_; }
  String GetRuntimeClassName() const override { return String("Tests.Owner"); }

 private:
  std::shared_ptr<CommonPrinter> common_;
  TdcPrinter_t* record_;
  std::atomic<bool>* destroyed_;
};

TEST_F(CommonImage, ReleasedOwnerLivesUntilItsImageEnds) {
  TdcPrinter_t* record = nullptr;
  ASSERT_EQ(TdcCreatePrinter(&record, kSeriesS3, 0), 0);
  std::atomic<bool> destroyed{false};
  auto owner = std::make_shared<Owner>(record, &destroyed);
  owner->Common().SetOwner(owner);
  auto slow = std::make_shared<StubFrame>(2, 1, Fill(2, 1, {0, 0, 0, 255}));
  slow->hold = true;
  auto action = owner->Common().AddImageAsync(slow, 0, 0, 2, 1, P::Color::Color1, P::Mode::Mono,
                                              P::Halftone::Dither, 1.0, P::Compression::None);
  ASSERT_TRUE(slow->WaitRequested());
  owner.reset();  // the app lets go while the pixels are held
  EXPECT_FALSE(destroyed.load());
  slow->Release();
  EXPECT_EQ(Outcome(action), 0);
  const auto end = std::chrono::steady_clock::now() + kDeadline;
  while (!destroyed.load() && std::chrono::steady_clock::now() < end) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  EXPECT_TRUE(destroyed.load());
}

TEST_F(CommonImage, AnExpiredOwnerFailsTheOperation) {
  auto printer = NewPrinter();
  {
    auto gone = std::make_shared<StubFrame>(1, 1, Pixels(4, 0));
    printer->SetOwner(gone);
  }
  EXPECT_EQ(AddImage(*printer, Opaque(1, 1), 0, 0, 1, 1), ErrorStatus::ErrFailure);
  EXPECT_EQ(Outcome(printer->BeginTransactionAsync()), ErrorStatus::ErrFailure);
  EXPECT_TRUE(ReadCommands(printer->Record()).empty());
}

TEST(MemoryBitmapTest, FromBgra8TakesExactlyWidthTimesHeightPixels) {
  const Pixels four = Fill(2, 2, {1, 2, 3, 4});
  EXPECT_EQ(HResultOf([&] { MemoryBitmap::FromBgra8(2, 2, four, AlphaMode::Straight); }), 0);
  for (auto [w, h, size] :
       {std::tuple{2u, 2u, 15u}, std::tuple{2u, 2u, 17u}, std::tuple{0u, 2u, 0u},
        std::tuple{2u, 0u, 0u}, std::tuple{0xffffffffu, 0xffffffffu, 16u}}) {
    SCOPED_TRACE(testing::Message() << w << "x" << h << " with " << size << " bytes");
    const Pixels pixels(size, 0);
    EXPECT_EQ(HResultOf([&] { MemoryBitmap::FromBgra8(w, h, pixels, AlphaMode::Straight); }),
              kEInvalidArg);
  }
  EXPECT_EQ(HResultOf([&] { MemoryBitmap::FromBgra8(2, 2, four, static_cast<AlphaMode>(3)); }),
            kEInvalidArg);

  auto bitmap = MemoryBitmap::FromBgra8(2, 2, four, AlphaMode::Premultiplied);
  EXPECT_EQ(bitmap->PixelWidth(), 2u);
  EXPECT_EQ(bitmap->PixelHeight(), 2u);
  EXPECT_EQ(bitmap->GetPixelDataAsync().get(), four);
  EXPECT_EQ(bitmap->GetRuntimeClassName(), String("Orvik.Tilo.Tilo2.Imaging.MemoryBitmap"));
  // The bitmap keeps its own copy.
  Pixels changing = four;
  auto copy = MemoryBitmap::FromBgra8(2, 2, changing, AlphaMode::Premultiplied);
  changing.assign(changing.size(), 0);
  EXPECT_EQ(copy->GetPixelDataAsync().get(), four);
}

TEST(FlattenTest, RefusesSizesThatDoNotFit) {
  Pixels source(2 * 2 * 4, 0);
  std::vector<uint8_t> out(2 * 2 * 3);
  EXPECT_EQ(HResultOf([&] { FlattenBgraOnWhite(source, 2, 2, out); }), 0);
  EXPECT_EQ(out, std::vector<uint8_t>(12, 255));
  EXPECT_EQ(HResultOf([&] { FlattenBgraOnWhite(source, 0, 2, out); }), ErrorStatus::ErrParameter);
  EXPECT_EQ(HResultOf([&] { FlattenBgraOnWhite(source, 3, 2, out); }), ErrorStatus::ErrParameter);
  std::vector<uint8_t> small(11);
  EXPECT_EQ(HResultOf([&] { FlattenBgraOnWhite(source, 2, 2, small); }), ErrorStatus::ErrParameter);
}

}  // namespace

namespace {

// Builders, images and clears from different threads meet only through the
// command list's lock: every command stays whole and nothing is lost or freed twice.
TEST_F(CommonImage, AppendsImagesAndClearsFromSeveralThreads) {
  auto printer = NewPrinter();
  auto bitmap = Opaque(16, 8);
  std::atomic<bool> stop{false};
  std::thread clearer([&] {
    while (!stop.load()) {
      printer->ClearCommandBuffer();
      std::this_thread::yield();
    }
  });
  std::thread texts([&] {
    for (int i = 0; i < 300; ++i) printer->AddText(String("line"));
  });
  for (int i = 0; i < 40; ++i) {
    EXPECT_EQ(AddImage(*printer, bitmap, 0, 0, 16, 8), 0);
  }
  texts.join();
  stop.store(true);
  clearer.join();
  for (const Stored& s : ReadCommands(printer->Record())) {
    if (s.kind == TDC_CMD_TEXT) {
      EXPECT_EQ(s.text, "line");
    }
    if (s.kind == TDC_CMD_IMAGE) {
      ASSERT_NE(s.image, nullptr);
      EXPECT_EQ(s.image->rgb[0], 10);
    }
  }
}

}  // namespace
