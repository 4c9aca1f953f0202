#include "encoding/printer/prn_text.h"

#include "encoding/builder/cmd_codec.h"
#include "encoding/printer/prn_barcode_bytes.h"
#include "encoding/printer/prn_emit.h"
#include "encoding/printer/prn_image_bytes.h"

namespace tilo2::core {

namespace {

constexpr uint8_t kEsc = 0x1B, kFs = 0x1C, kGs = 0x1D;

uint8_t OnOff(int value) { return value == 1 ? 1 : 0; }

struct LangParams {
  uint8_t table;    // ESC t
  uint8_t charset;  // ESC R
};

LangParams LangFor(int language) {
  switch (language) {
    case 1:
      return {1, 8};
    case 2:
    case 3:
      return {0, 15};
    case 4:
      return {0, 13};
    default:
      return {0, 0};
  }
}

}  // namespace

int PrnGenText(PrnCmdHandle_t* builder, const char* utf8) {
  if (builder == nullptr || utf8 == nullptr) return 1;
  return CmdAppendText(&builder->cmdBuffer, builder->textLang, builder->converter, utf8);
}

int PrnGenTextImpact(PrnCmdHandle_t* builder, const char* utf8) {
  if (builder == nullptr || utf8 == nullptr) return 1;
  if (utf8[0] == '\0') return 0;
  // An image in another color left the ribbon switched: switch it back first.
  if (builder->color != builder->colorSent) PrnGenImpactColor(builder, builder->color);
  return PrnGenText(builder, utf8);
}

int PrnGenLineSpace(PrnCmdHandle_t* builder, int dots) {
  if (!CmdFitsByte(dots)) return 1;
  return PrnEmitBody(builder, {kEsc, 0x33, uint8_t(dots)});
}

int PrnGenTextLang(PrnCmdHandle_t* builder, int language) {
  if (builder == nullptr) return 1;
  // The language is taken even when the command cannot be stored.
  builder->textLang = language;
  const LangParams p = LangFor(language);
  return PrnEmitBody(builder, {kEsc, 0x74, p.table, kEsc, 0x52, p.charset});
}

int PrnGenTextLangKanji(PrnCmdHandle_t* builder, int language) {
  if (builder == nullptr) return 1;
  const LangParams p = LangFor(language);
  const bool kanji = language >= 1 && language <= 4;
  // FS C selects the Kanji code system, FS & / FS . turn Kanji mode on / off.
  // Unlike the plain command, the language is taken only once the command
  // that also switches Kanji mode is stored.
  int rc =
      PrnEmitBody(builder, {kEsc, 0x74, p.table, kEsc, 0x52, p.charset, kFs, 0x43,
                            uint8_t(language == 1 ? 1 : 0), kFs, uint8_t(kanji ? 0x26 : 0x2E)});
  if (rc == 0) builder->textLang = language;
  return rc;
}

int PrnGenFont(PrnCmdHandle_t* builder, int font) {
  int rc = PrnEmitBody(builder, {kEsc, 0x4D, PrnFontParam(font)});
  if (rc == 0) builder->font = font;
  return rc;
}

int PrnGenFontKanji(PrnCmdHandle_t* builder, int font) {
  const uint8_t n = PrnFontParam(font);
  int rc = PrnEmitBody(builder, {kEsc, 0x4D, n, kFs, 0x28, 0x41, 0x02, 0x00, 0x30, n});
  if (rc == 0) builder->font = font;
  return rc;
}

int PrnGenSmooth(PrnCmdHandle_t* builder, int on) {
  return PrnEmitBody(builder, {kGs, 0x62, OnOff(on)});
}

int PrnGenCharSize(PrnCmdHandle_t* builder, int width, int height) {
  // Each magnification minus one takes a nibble of n.
  if (width < 1 || width > 16 || height < 1 || height > 16) return 1;
  const uint8_t n = uint8_t(((width - 1) << 4) | (height - 1));
  int rc = PrnEmitBody(builder, {kGs, 0x21, n});
  if (rc == 0) {
    builder->widthScale = width;
    builder->heightScale = height;
  }
  return rc;
}

int PrnGenDoubleWidth(PrnCmdHandle_t* builder, int on) {
  if (builder == nullptr) return 1;
  return PrnGenCharSize(builder, on == 1 ? 2 : 1, builder->heightScale);
}

int PrnGenDoubleHeight(PrnCmdHandle_t* builder, int on) {
  if (builder == nullptr) return 1;
  return PrnGenCharSize(builder, builder->widthScale, on == 1 ? 2 : 1);
}

int PrnGenWidthScale(PrnCmdHandle_t* builder, int width) {
  if (builder == nullptr) return 1;
  return PrnGenCharSize(builder, width, builder->heightScale);
}

int PrnGenHeightScale(PrnCmdHandle_t* builder, int height) {
  if (builder == nullptr) return 1;
  return PrnGenCharSize(builder, builder->widthScale, height);
}

int PrnGenReverse(PrnCmdHandle_t* builder, int on) {
  return PrnEmitBody(builder, {kGs, 0x42, OnOff(on)});
}

int PrnGenUnderline(PrnCmdHandle_t* builder, int value) {
  int rc = PrnEmitBody(builder, {kEsc, 0x2D, OnOff(value)});
  if (rc == 0) builder->underline = value;
  return rc;
}

int PrnGenUnderlineKanji(PrnCmdHandle_t* builder, int value) {
  const uint8_t n = OnOff(value);
  int rc = PrnEmitBody(builder, {kEsc, 0x2D, n, kFs, 0x2D, n});
  if (rc == 0) builder->underline = value;
  return rc;
}

int PrnGenEmphasis(PrnCmdHandle_t* builder, int value) {
  int rc = PrnEmitBody(builder, {kEsc, 0x45, OnOff(value)});
  if (rc == 0) builder->emphasis = value;
  return rc;
}

int PrnGenColor(PrnCmdHandle_t* builder, int color) {
  const uint8_t n = (color == 0 || (color >= 2 && color <= 4)) ? uint8_t('0' + color) : '1';
  int rc = PrnEmitBody(builder, {kGs, 0x28, 0x4E, 0x02, 0x00, 0x30, n});
  if (rc == 0) builder->color = color;
  return rc;
}

int PrnGenImpactColor(PrnCmdHandle_t* builder, int color) {
  int rc =
      PrnEmitAlways(builder, [&](std::vector<uint8_t>& out) { PrnImpactColorBytes(out, color); });
  if (rc == 0) {
    builder->color = color;
    builder->colorSent = color;
  }
  return rc;
}

int PrnGenPrintMode(PrnCmdHandle_t* builder, int withKanji, int width, int height) {
  if (builder == nullptr) return 1;
  const auto oneOrTwo = [](int v) { return v == 1 || v == 2; };
  if (!oneOrTwo(height)) {
    if (!oneOrTwo(width)) return 0;
    height = builder->heightScale;
  }
  const int w = oneOrTwo(width) ? width : builder->widthScale;
  const bool underline = builder->underline == 1;
  const uint8_t g =
      uint8_t((builder->font == 1 ? 0x01 : 0) | (builder->emphasis == 1 ? 0x08 : 0) |
              (height == 2 ? 0x10 : 0) | (w == 2 ? 0x20 : 0) | (underline ? 0x80 : 0));
  const uint8_t h =
      uint8_t((height == 2 ? 0x08 : 0) | (w == 2 ? 0x04 : 0) | (underline ? 0x80 : 0));
  int rc = withKanji == 1 ? PrnEmitBody(builder, {kEsc, 0x21, g, kFs, 0x21, h})
                          : PrnEmitBody(builder, {kEsc, 0x21, g});
  if (rc == 0) {
    builder->widthScale = w;
    builder->heightScale = height;
  }
  return rc;
}

namespace {

int DoubleWidthImpact(PrnCmdHandle_t* b, int kanji, int on) {
  if (b == nullptr) return 1;
  return PrnGenPrintMode(b, kanji, on == 1 ? 2 : 1, b->heightScale);
}

int DoubleHeightImpact(PrnCmdHandle_t* b, int kanji, int on) {
  if (b == nullptr) return 1;
  return PrnGenPrintMode(b, kanji, b->widthScale, on == 1 ? 2 : 1);
}

int WidthScaleImpact(PrnCmdHandle_t* b, int kanji, int width) {
  if (b == nullptr) return 1;
  return PrnGenPrintMode(b, kanji, width, b->heightScale);
}

int HeightScaleImpact(PrnCmdHandle_t* b, int kanji, int height) {
  if (b == nullptr) return 1;
  return PrnGenPrintMode(b, kanji, b->widthScale, height);
}

}  // namespace

int PrnGenDoubleWidthImpact(PrnCmdHandle_t* b, int on) { return DoubleWidthImpact(b, 0, on); }
int PrnGenDoubleWidthImpactKanji(PrnCmdHandle_t* b, int on) { return DoubleWidthImpact(b, 1, on); }
int PrnGenDoubleHeightImpact(PrnCmdHandle_t* b, int on) { return DoubleHeightImpact(b, 0, on); }
int PrnGenDoubleHeightImpactKanji(PrnCmdHandle_t* b, int on) {
  return DoubleHeightImpact(b, 1, on);
}
int PrnGenWidthScaleImpact(PrnCmdHandle_t* b, int width) { return WidthScaleImpact(b, 0, width); }
int PrnGenWidthScaleImpactKanji(PrnCmdHandle_t* b, int width) {
  return WidthScaleImpact(b, 1, width);
}
int PrnGenHeightScaleImpact(PrnCmdHandle_t* b, int height) {
  return HeightScaleImpact(b, 0, height);
}
int PrnGenHeightScaleImpactKanji(PrnCmdHandle_t* b, int height) {
  return HeightScaleImpact(b, 1, height);
}

}  // namespace tilo2::core
