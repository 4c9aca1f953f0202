#pragma once
// The receipt the print-receipt example prints, built through the public API
// only: a logo drawn in memory, a shop name in bold double size, item lines,
// an underlined total, an EAN-13 barcode, a QR code and a cut. The end-to-end
// test prints the same receipt and checks the bytes the printer received.

#include <orvik/tilo2/imaging.h>
#include <orvik/tilo2/printer/printer.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace receipt {

namespace tilo = Orvik::Tilo::Tilo2;
namespace prn = Orvik::Tilo::Tilo2::Printer;

inline constexpr uint32_t kLogoWidth = 96;
inline constexpr uint32_t kLogoHeight = 48;
inline constexpr const char* kBarcode = "4006381333931";
inline constexpr const char* kQrText = "https://example.com/r/12345";
inline constexpr const char* kItems[] = {
    "Espresso                                    2.40\n",
    "Croissant                                   1.90\n",
    "Crème brûlée                                4.50\n",
};
inline constexpr const char* kTotal = "TOTAL                                   €8.80\n";

// The logo as opaque BGRA8, black on white: a frame two dots wide round a
// filled disc. Only black and white pixels, so every image mode and
// threshold prints it the same way.
inline std::vector<uint8_t> DrawLogo() {
  std::vector<uint8_t> pixels(size_t{kLogoWidth} * kLogoHeight * 4);
  const int cx = kLogoWidth / 2, cy = kLogoHeight / 2, r = kLogoHeight / 3;
  for (uint32_t y = 0; y < kLogoHeight; ++y) {
    for (uint32_t x = 0; x < kLogoWidth; ++x) {
      const bool frame = x < 2 || y < 2 || x >= kLogoWidth - 2 || y >= kLogoHeight - 2;
      const int dx = static_cast<int>(x) - cx, dy = static_cast<int>(y) - cy;
      const bool disc = dx * dx + dy * dy <= r * r;
      const uint8_t v = frame || disc ? 0 : 255;
      uint8_t* p = &pixels[(size_t{y} * kLogoWidth + x) * 4];
      p[0] = p[1] = p[2] = v;
      p[3] = 255;
    }
  }
  return pixels;
}

// Appends the receipt to the printer's command list; throws RuntimeException
// as the Add methods do.
inline void Build(prn::Printer& printer) {
  using prn::Emphasis;
  using prn::Reverse;
  using prn::Underline;
  const auto logo = tilo::Imaging::MemoryBitmap::FromBgra8(kLogoWidth, kLogoHeight, DrawLogo(),
                                                           tilo::Imaging::AlphaMode::Premultiplied);
  printer.AddTextAlign(prn::Alignment::Center);
  // Awaited before the next Add, so the image keeps its place in the job.
  printer
      .AddImageAsync(logo, 0, 0, kLogoWidth, kLogoHeight, prn::Color::Color1, prn::Mode::Mono,
                     prn::Halftone::Threshold, 1.0, prn::Compression::None)
      .get();
  printer.AddTextStyle(Reverse::Unspecified, Underline::Unspecified, Emphasis::True,
                       prn::Color::Unspecified);
  printer.AddTextSize(2, 2);
  printer.AddText("CAFE ORVIK\n");
  printer.AddTextSize(1, 1);
  printer.AddTextStyle(Reverse::Unspecified, Underline::Unspecified, Emphasis::False,
                       prn::Color::Unspecified);
  printer.AddText("12 Market Street, Springfield\n");
  printer.AddTextAlign(prn::Alignment::Left);
  for (const char* item : kItems) printer.AddText(item);
  printer.AddTextStyle(Reverse::Unspecified, Underline::True, Emphasis::Unspecified,
                       prn::Color::Unspecified);
  printer.AddText(kTotal);
  printer.AddTextStyle(Reverse::Unspecified, Underline::False, Emphasis::Unspecified,
                       prn::Color::Unspecified);
  printer.AddTextAlign(prn::Alignment::Center);
  printer.AddBarcode(kBarcode, prn::BarcodeType::EAN13, prn::Hri::Below, prn::Font::FontA, 2, 60);
  // Level M; the level in percent (0 here) counts for Aztec codes only.
  printer.AddSymbol(kQrText, prn::SymbolType::QRCodeModel2, prn::Level::LevelM, 0, 6, 6, 0);
  printer.AddCut(prn::Cut::Feed);
}

}  // namespace receipt
