#pragma once
// The typical receipt of the printer benchmarks, built through the public
// Printer: "THE CORNER SHOP" centred, bold, double width and height; two
// address lines; 36 item lines of 48 columns, every fifth bold; an
// underlined total; an EAN-13 barcode 60 dots high; a QR code (model 2,
// module size 6, level M); a cut.

#include <cstdio>
#include <string>
#include <vector>

#include "orvik/tilo2/printer/printer.h"

namespace bench {

// Throws RuntimeException as the Add methods do.
inline void AddReceipt(Orvik::Tilo::Tilo2::Printer::Printer& p,
                       const std::vector<std::string>& items) {
  namespace prn = Orvik::Tilo::Tilo2::Printer;
  using prn::Emphasis;
  using prn::Reverse;
  using prn::Underline;
  constexpr auto kU = Reverse::Unspecified;
  constexpr auto kNoColor = prn::Color::Unspecified;
  p.AddTextAlign(prn::Alignment::Center);
  p.AddTextStyle(kU, Underline::Unspecified, Emphasis::True, kNoColor);
  p.AddTextSize(2, 2);
  p.AddText("THE CORNER SHOP\n");
  p.AddTextSize(1, 1);
  p.AddTextStyle(kU, Underline::Unspecified, Emphasis::False, kNoColor);
  p.AddText("12 Market Street, Springfield\n");
  p.AddText("Tel 555-0100  VAT 123456789\n");
  p.AddTextAlign(prn::Alignment::Left);
  for (size_t i = 0; i < items.size(); ++i) {
    const bool bold = i % 5 == 0;
    if (bold) p.AddTextStyle(kU, Underline::Unspecified, Emphasis::True, kNoColor);
    p.AddText(items[i]);
    if (bold) p.AddTextStyle(kU, Underline::Unspecified, Emphasis::False, kNoColor);
  }
  p.AddTextStyle(kU, Underline::True, Emphasis::Unspecified, kNoColor);
  p.AddText("TOTAL                                      412.36\n");
  p.AddTextStyle(kU, Underline::False, Emphasis::Unspecified, kNoColor);
  p.AddTextAlign(prn::Alignment::Center);
  p.AddBarcode("4006381333931", prn::BarcodeType::EAN13, prn::Hri::Below, prn::Font::FontA, 2, 60);
  p.AddSymbol("https://example.com/r/12345", prn::SymbolType::QRCodeModel2, prn::Level::LevelM, 0,
              6, 6, 0);
  p.AddCut(prn::Cut::Feed);
}

}  // namespace bench
