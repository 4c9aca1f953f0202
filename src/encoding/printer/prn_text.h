#pragma once
// Text table generators: the text itself, encoded for the builder's text
// language, and the commands for spacing, language, font, size and style.
// Every generator answers 0, 1 for a null builder, 3 for memory or the
// append's failure; text answers -1 when the converter refuses it.

#include "encoding/printer/prn_cmd.h"

namespace tilo2::core {

int PrnGenText(PrnCmdHandle_t* builder, const char* utf8);
int PrnGenTextImpact(PrnCmdHandle_t* builder, const char* utf8);  // "RP-D4"
int PrnGenLineSpace(PrnCmdHandle_t* builder, int dots);
int PrnGenTextLang(PrnCmdHandle_t* builder, int language);
int PrnGenTextLangKanji(PrnCmdHandle_t* builder, int language);
int PrnGenFont(PrnCmdHandle_t* builder, int font);
int PrnGenFontKanji(PrnCmdHandle_t* builder, int font);
int PrnGenSmooth(PrnCmdHandle_t* builder, int on);
int PrnGenDoubleWidth(PrnCmdHandle_t* builder, int on);
int PrnGenDoubleHeight(PrnCmdHandle_t* builder, int on);
int PrnGenWidthScale(PrnCmdHandle_t* builder, int width);
int PrnGenHeightScale(PrnCmdHandle_t* builder, int height);
int PrnGenReverse(PrnCmdHandle_t* builder, int on);
int PrnGenUnderline(PrnCmdHandle_t* builder, int value);
int PrnGenUnderlineKanji(PrnCmdHandle_t* builder, int value);
int PrnGenEmphasis(PrnCmdHandle_t* builder, int value);
int PrnGenColor(PrnCmdHandle_t* builder, int color);
// Switches the ribbon of the dot-matrix models (PrnImpactColorBytes).
int PrnGenImpactColor(PrnCmdHandle_t* builder, int color);

// GS ! with both magnifications (1..8).
int PrnGenCharSize(PrnCmdHandle_t* builder, int width, int height);

// ESC ! (and FS ! with withKanji 1) of the dot-matrix models.
int PrnGenPrintMode(PrnCmdHandle_t* builder, int withKanji, int width, int height);
int PrnGenDoubleWidthImpact(PrnCmdHandle_t* builder, int on);
int PrnGenDoubleWidthImpactKanji(PrnCmdHandle_t* builder, int on);
int PrnGenDoubleHeightImpact(PrnCmdHandle_t* builder, int on);
int PrnGenDoubleHeightImpactKanji(PrnCmdHandle_t* builder, int on);
int PrnGenWidthScaleImpact(PrnCmdHandle_t* builder, int width);
int PrnGenWidthScaleImpactKanji(PrnCmdHandle_t* builder, int width);
int PrnGenHeightScaleImpact(PrnCmdHandle_t* builder, int height);
int PrnGenHeightScaleImpactKanji(PrnCmdHandle_t* builder, int height);

}  // namespace tilo2::core
