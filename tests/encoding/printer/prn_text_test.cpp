// Text table generators: text through the converter or the double-byte
// encoders, and the language, font, size and style commands.
#include "encoding/printer/prn_text.h"

#include <climits>
#include <string>

#include "../prn_fake_converter.h"
#include "../prn_test_util.h"
#include "encoding/builder/cmd_codec.h"
#include "encoding/test_hooks.h"

using namespace tilo2::core;

namespace {

struct TextFixture : ::testing::Test {
  FakeConverter converter;  // installed before the builder opens its converter
};

TEST_F(TextFixture, ConverterFileNameFollowsModelAndLanguage) {
  for (auto [lang, file] :
       {std::pair{0, "RP-S6_ank.txt"}, std::pair{1, "RP-S6_jpn.txt"}, std::pair{2, "RP-S6_sc.txt"},
        std::pair{3, "RP-S6_tc.txt"}, std::pair{6, "RP-S6_sa.txt"}}) {
    FakeConverter::opened.clear();
    Builder b("RP-S6", lang);
    ASSERT_EQ(b.rc, 0);
    ASSERT_EQ(FakeConverter::opened.size(), 1u);
    EXPECT_EQ(FakeConverter::opened[0], file);
    EXPECT_EQ(b->converter, 7);
  }
  EXPECT_EQ(FakeConverter::closed, 5);  // each builder closes its converter
  FakeConverter::opened.clear();
  Builder ko("RP-k4", 4);
  Builder thai("RP-D4", 5);
  EXPECT_EQ(FakeConverter::opened, (std::vector<std::string>{"RP-k4_ko.txt", "RP-D4_ank.txt"}));
}

TEST_F(TextFixture, SingleByteTextGoesThroughTheConverter) {
  Builder b("RP-S3", 0);
  ASSERT_EQ(b.rc, 0);
  b->positionX = 50;
  ASSERT_EQ(PrnCmdAddText(b.get(), "abc"), 0);
  EXPECT_EQ(BodyBytes(b.get()), B({0x1B, 0x74, 0x00, 'a', 'b', 'c'}));
  EXPECT_EQ(b->positionX, 0);
  EXPECT_EQ(PrnCmdAddText(b.get(), ""), 0);  // empty text adds nothing
  EXPECT_EQ(ChunkCount(b->cmdBuffer.body), 1);
  EXPECT_EQ(FakeConverter::setDataCalls, 1);
}

TEST_F(TextFixture, RefusedTextLeavesNothingForTheNextText) {
  Builder b("RP-S3", 0);
  ASSERT_EQ(b.rc, 0);
  b->positionX = 50;
  EXPECT_EQ(PrnCmdAddText(b.get(), "x\xFFy"), -1);
  EXPECT_EQ(b->cmdBuffer.bodyBytes, 0);
  EXPECT_EQ(b->positionX, 50);
  ASSERT_EQ(PrnCmdAddText(b.get(), "ok"), 0);
  EXPECT_EQ(BodyBytes(b.get()), B({0x1B, 0x74, 0x00, 'o', 'k'}));
}

TEST_F(TextFixture, NoConverterAnswersMinusOneForSingleByteLanguages) {
  FakeConverter::openFails = true;
  Builder b("RP-S9", 6);
  ASSERT_EQ(b.rc, 0);
  EXPECT_LT(b->converter, 0);
  EXPECT_EQ(PrnCmdAddText(b.get(), "abc"), -1);
  EXPECT_EQ(b->cmdBuffer.bodyBytes, 0);
  EXPECT_EQ(FakeConverter::closed, 0);
}

struct DbcsCase {
  int textLang;
  const char* text;
  Bytes bytes;
};

TEST_F(TextFixture, DoubleByteLanguagesNeverTouchTheConverter) {
  const DbcsCase cases[] = {
      {1,
       "\xE3\x81\x82"
       "A",
       B({0x82, 0xA0, 'A'})},                // U+3042 in Shift_JIS
      {2, "\xE4\xB8\xAD", B({0xD6, 0xD0})},  // U+4E2D in GB18030
      {3, "\xE4\xB8\xAD", B({0xA4, 0xA4})},  // U+4E2D in Big5
      {4, "\xED\x95\x9C", B({0xC7, 0xD1})},  // U+D55C in Unified Hangul Code
  };
  for (const DbcsCase& c : cases) {
    SCOPED_TRACE(c.textLang);
    Builder b("RP-k4", 4);
    ASSERT_EQ(b.rc, 0);
    b->textLang = c.textLang;
    ASSERT_EQ(PrnGenText(b.get(), c.text), 0);
    EXPECT_EQ(BodyBytes(b.get()), c.bytes);
    EXPECT_EQ(ChunkCount(b->cmdBuffer.body), 1);
  }
  EXPECT_EQ(FakeConverter::setDataCalls, 0);
}

TEST(PrnTextDbcs, EncoderThatCannotCountTheTextIsARefusal) {
  // A double-byte encoder answers a negative count for a text it cannot take;
  // the text must be refused, not dropped with success.
  static constexpr auto kRefuse = [](const char*, size_t, char*, size_t) { return -1; };
  static const CmdDbcsOps kRefusing{
      [](int, const char* t, size_t n, char* o, size_t c) { return kRefuse(t, n, o, c); }, kRefuse};
  CmdSetDbcsOps(&kRefusing);
  struct Restore {
    ~Restore() { CmdSetDbcsOps(nullptr); }
  } restore;
  for (int lang : {1, 2, 3, 4}) {
    SCOPED_TRACE(lang);
    Builder b("RP-k4", 4);
    ASSERT_EQ(b.rc, 0);
    b->textLang = lang;
    EXPECT_EQ(PrnGenText(b.get(), "abc"), -1);
    EXPECT_EQ(b->cmdBuffer.bodyBytes, 0);
  }
}

TEST_F(TextFixture, LanguageSwitchToThaiRoutesLaterTextToTheConverter) {
  Builder b("RP-S12E", 1);
  ASSERT_EQ(b.rc, 0);
  ASSERT_EQ(PrnGenTextLang(b.get(), 5), 0);
  EXPECT_EQ(BodyBytes(b.get()), B({0x1B, 0x74, 0x00, 0x1B, 0x52, 0x00}));
  EXPECT_EQ(b->textLang, 5);
  ASSERT_EQ(PrnGenText(b.get(), "t"), 0);
  EXPECT_EQ(FakeConverter::setDataCalls, 1);
}

TEST(PrnTextCommands, GoldenBytes) {
  const OneArgCase cases[] = {
      {"line space 30", PrnGenLineSpace, 30, B({0x1B, 0x33, 0x1E})},
      {"lang 0", PrnGenTextLang, 0, B({0x1B, 0x74, 0x00, 0x1B, 0x52, 0x00})},
      {"lang 1", PrnGenTextLang, 1, B({0x1B, 0x74, 0x01, 0x1B, 0x52, 0x08})},
      {"lang 2", PrnGenTextLang, 2, B({0x1B, 0x74, 0x00, 0x1B, 0x52, 0x0F})},
      {"lang 3", PrnGenTextLang, 3, B({0x1B, 0x74, 0x00, 0x1B, 0x52, 0x0F})},
      {"lang 4", PrnGenTextLang, 4, B({0x1B, 0x74, 0x00, 0x1B, 0x52, 0x0D})},
      {"lang 6", PrnGenTextLang, 6, B({0x1B, 0x74, 0x00, 0x1B, 0x52, 0x00})},
      {"kanji lang 1", PrnGenTextLangKanji, 1,
       B({0x1B, 0x74, 0x01, 0x1B, 0x52, 0x08, 0x1C, 0x43, 0x01, 0x1C, 0x26})},
      {"kanji lang 3", PrnGenTextLangKanji, 3,
       B({0x1B, 0x74, 0x00, 0x1B, 0x52, 0x0F, 0x1C, 0x43, 0x00, 0x1C, 0x26})},
      {"kanji lang 4", PrnGenTextLangKanji, 4,
       B({0x1B, 0x74, 0x00, 0x1B, 0x52, 0x0D, 0x1C, 0x43, 0x00, 0x1C, 0x26})},
      {"kanji lang 0", PrnGenTextLangKanji, 0,
       B({0x1B, 0x74, 0x00, 0x1B, 0x52, 0x00, 0x1C, 0x43, 0x00, 0x1C, 0x2E})},
      {"kanji lang 5", PrnGenTextLangKanji, 5,
       B({0x1B, 0x74, 0x00, 0x1B, 0x52, 0x00, 0x1C, 0x43, 0x00, 0x1C, 0x2E})},
      {"font 0", PrnGenFont, 0, B({0x1B, 0x4D, 0x00})},
      {"font 4", PrnGenFont, 4, B({0x1B, 0x4D, 0x04})},
      {"font 5", PrnGenFont, 5, B({0x1B, 0x4D, 0x61})},
      {"font 6", PrnGenFont, 6, B({0x1B, 0x4D, 0x62})},
      {"font 7", PrnGenFont, 7, B({0x1B, 0x4D, 0x00})},
      {"kanji font 2", PrnGenFontKanji, 2,
       B({0x1B, 0x4D, 0x02, 0x1C, 0x28, 0x41, 0x02, 0x00, 0x30, 0x02})},
      {"kanji font 5", PrnGenFontKanji, 5,
       B({0x1B, 0x4D, 0x61, 0x1C, 0x28, 0x41, 0x02, 0x00, 0x30, 0x61})},
      {"smooth on", PrnGenSmooth, 1, B({0x1D, 0x62, 0x01})},
      {"smooth 2", PrnGenSmooth, 2, B({0x1D, 0x62, 0x00})},
      {"double width", PrnGenDoubleWidth, 1, B({0x1D, 0x21, 0x10})},
      {"double width off", PrnGenDoubleWidth, 0, B({0x1D, 0x21, 0x00})},
      {"double height", PrnGenDoubleHeight, 1, B({0x1D, 0x21, 0x01})},
      {"width 8", PrnGenWidthScale, 8, B({0x1D, 0x21, 0x70})},
      {"height 8", PrnGenHeightScale, 8, B({0x1D, 0x21, 0x07})},
      {"reverse on", PrnGenReverse, 1, B({0x1D, 0x42, 0x01})},
      {"reverse off", PrnGenReverse, 0, B({0x1D, 0x42, 0x00})},
      {"underline on", PrnGenUnderline, 1, B({0x1B, 0x2D, 0x01})},
      {"underline 2", PrnGenUnderline, 2, B({0x1B, 0x2D, 0x00})},
      {"kanji underline", PrnGenUnderlineKanji, 1, B({0x1B, 0x2D, 0x01, 0x1C, 0x2D, 0x01})},
      {"emphasis on", PrnGenEmphasis, 1, B({0x1B, 0x45, 0x01})},
      {"emphasis off", PrnGenEmphasis, 0, B({0x1B, 0x45, 0x00})},
      {"color 0", PrnGenColor, 0, B({0x1D, 0x28, 0x4E, 0x02, 0x00, 0x30, 0x30})},
      {"color 1", PrnGenColor, 1, B({0x1D, 0x28, 0x4E, 0x02, 0x00, 0x30, 0x31})},
      {"color 3", PrnGenColor, 3, B({0x1D, 0x28, 0x4E, 0x02, 0x00, 0x30, 0x33})},
      {"color 4", PrnGenColor, 4, B({0x1D, 0x28, 0x4E, 0x02, 0x00, 0x30, 0x34})},
      {"color 9", PrnGenColor, 9, B({0x1D, 0x28, 0x4E, 0x02, 0x00, 0x30, 0x31})},
      {"impact color 2", PrnGenImpactColor, 2, B({0x1B, 0x4A, 0x00, 0x1B, 0x72, 0x01})},
      {"impact color 1", PrnGenImpactColor, 1, B({0x1B, 0x4A, 0x00, 0x1B, 0x72, 0x00})},
  };
  ExpectOneArgGoldens("RP-S3", 0, cases);
}

TEST(PrnTextCommands, StateStoredByTheGenerators) {
  Builder b("RP-S3", 0);
  ASSERT_EQ(b.rc, 0);
  ASSERT_EQ(PrnGenHeightScale(b.get(), 2), 0);
  ASSERT_EQ(PrnGenWidthScale(b.get(), 3), 0);
  EXPECT_EQ(ListBytes(b->cmdBuffer.body->next), B({0x1D, 0x21, 0x21}));
  EXPECT_EQ(b->widthScale, 3);
  EXPECT_EQ(b->heightScale, 2);
  ASSERT_EQ(PrnGenDoubleHeight(b.get(), 0), 0);
  EXPECT_EQ(b->heightScale, 1);
  EXPECT_EQ(b->widthScale, 3);
  ASSERT_EQ(PrnGenFontKanji(b.get(), 6), 0);
  ASSERT_EQ(PrnGenUnderlineKanji(b.get(), 1), 0);
  ASSERT_EQ(PrnGenEmphasis(b.get(), 1), 0);
  ASSERT_EQ(PrnGenColor(b.get(), 3), 0);
  EXPECT_EQ(b->font, 6);
  EXPECT_EQ(b->underline, 1);
  EXPECT_EQ(b->emphasis, 1);
  EXPECT_EQ(b->color, 3);
  EXPECT_EQ(b->colorSent, 1);  // only the impact color marks the ribbon as switched
  ASSERT_EQ(PrnGenImpactColor(b.get(), 2), 0);
  EXPECT_EQ(b->colorSent, 2);
  ASSERT_EQ(PrnGenTextLangKanji(b.get(), 3), 0);
  EXPECT_EQ(b->textLang, 3);
}

// The scale slots take any int from the layer above. The extremes once
// overflowed while the size byte was computed (the sanitizer build stops on
// that); they are refused now, and nothing reaches the job.
TEST(PrnTextCommands, CharacterSizeOfExtremeScalesIsRefusedWithoutOverflow) {
  Builder b("RP-S3", 0);
  ASSERT_EQ(b.rc, 0);
  EXPECT_EQ(PrnGenWidthScale(b.get(), INT_MIN), 1);
  EXPECT_EQ(PrnGenHeightScale(b.get(), INT_MIN), 1);
  EXPECT_EQ(PrnGenCharSize(b.get(), INT_MAX, 1), 1);
  EXPECT_EQ(PrnGenCharSize(b.get(), 0, 0), 1);
  EXPECT_TRUE(BodyBytes(b.get()).empty());
}

TEST(PrnTextImpact, PrintModeWithFontEmphasisAndUnderline) {
  Builder b("RP-D4", 0);
  ASSERT_EQ(b.rc, 0);
  b->font = 1;
  b->underline = 1;
  ASSERT_EQ(PrnGenDoubleHeightImpact(b.get(), 1), 0);
  EXPECT_EQ(BodyBytes(b.get()), B({0x1B, 0x21, 0x91}));

  Builder k("RP-D4", 1);
  ASSERT_EQ(k.rc, 0);
  k->font = 1;
  k->underline = 1;
  ASSERT_EQ(k->ops.text->doubleHeight(k.get(), 1), 0);
  EXPECT_EQ(BodyBytes(k.get()), B({0x1B, 0x21, 0x91, 0x1C, 0x21, 0x88}));
  EXPECT_EQ(ChunkCount(k->cmdBuffer.body), 1);
  EXPECT_EQ(k->heightScale, 2);

  const OneArgCase cases[] = {
      {"double width", PrnGenDoubleWidthImpact, 1, B({0x1B, 0x21, 0x20})},
      {"double width kanji", PrnGenDoubleWidthImpactKanji, 1,
       B({0x1B, 0x21, 0x20, 0x1C, 0x21, 0x04})},
      {"width 2", PrnGenWidthScaleImpact, 2, B({0x1B, 0x21, 0x20})},
      {"height 2 kanji", PrnGenHeightScaleImpactKanji, 2, B({0x1B, 0x21, 0x10, 0x1C, 0x21, 0x08})},
      {"width 3 keeps the width", PrnGenWidthScaleImpact, 3, B({0x1B, 0x21, 0x00})},
      {"height 3 keeps both", PrnGenHeightScaleImpactKanji, 3,
       B({0x1B, 0x21, 0x00, 0x1C, 0x21, 0x00})},
  };
  ExpectOneArgGoldens("RP-D4", 0, cases);
}

TEST(PrnTextImpact, EmphasisAndSizesFromEarlierCommands) {
  Builder d("RP-D4", 0);
  ASSERT_EQ(d.rc, 0);
  d->emphasis = 1;
  d->widthScale = 2;
  d->heightScale = 2;
  ASSERT_EQ(PrnGenPrintMode(d.get(), 0, 7, 9), 0);  // neither size given: nothing
  EXPECT_EQ(d->cmdBuffer.bodyBytes, 0);
  ASSERT_EQ(PrnGenPrintMode(d.get(), 0, 5, 0), 0);
  EXPECT_EQ(d->cmdBuffer.bodyBytes, 0);
  ASSERT_EQ(PrnGenPrintMode(d.get(), 0, 1, 0), 0);  // height from heightScale
  EXPECT_EQ(BodyBytes(d.get()), B({0x1B, 0x21, 0x18}));
  EXPECT_EQ(d->widthScale, 1);
  EXPECT_EQ(d->heightScale, 2);
}

TEST_F(TextFixture, ImpactTextSwitchesTheRibbonBackAfterAnImage) {
  Builder d("RP-D4", 0);
  ASSERT_EQ(d.rc, 0);
  d->colorSent = 2;  // an image was printed in the second color
  ASSERT_EQ(PrnCmdAddText(d.get(), ""), 0);
  EXPECT_EQ(d->cmdBuffer.bodyBytes, 0);
  ASSERT_EQ(PrnCmdAddText(d.get(), "A"), 0);
  EXPECT_EQ(BodyBytes(d.get()), B({0x1B, 0x4A, 0x00, 0x1B, 0x72, 0x00, 0x1B, 0x74, 0x00, 'A'}));
  EXPECT_EQ(d->colorSent, 1);
  ASSERT_EQ(PrnCmdAddText(d.get(), "B"), 0);  // no second switch
  EXPECT_EQ(d->cmdBuffer.bodyBytes, 14);
}

}  // namespace

namespace {

TEST(PrnTextConverter, CompiledInConverterSwitchesCodeTables) {
  Builder b("RP-S3", 0);
  ASSERT_EQ(b.rc, 0);
  ASSERT_GT(b->converter, 0);
  ASSERT_EQ(PrnCmdAddText(b.get(), "ab"), 0);
  // The first byte always carries the table switch.
  EXPECT_EQ(BodyBytes(b.get()), B({0x1B, 0x74, 0x00, 'a', 'b'}));
  const int16_t converter = b->converter;
  PrnCmdHandle_t* copy = PrnCmdDuplicate(b.get());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(PrnCmdAddText(copy, "x"), -1);  // a copy never converts text
  PrnCmdClose(copy);
  EXPECT_EQ(PrnCmdAddText(b.get(), "c"), 0);  // the source keeps its converter
  EXPECT_EQ(b->converter, converter);
}

}  // namespace
