// The printer model table and each model's profile.
#include "encoding/printer/prn_model.h"

#include <array>
#include <cstdint>
#include <cstring>
#include <utility>

#include "encoding/builder/cmd_codec.h"
#include "encoding/printer/prn_control.h"
#include "encoding/printer/prn_text.h"

namespace tilo2::core {

namespace {

// Installed tables, one bit per table number.
constexpr uint16_t Tables(std::initializer_list<int> numbers) {
  uint16_t mask = 0;
  for (int n : numbers) mask = uint16_t(mask | (1u << n));
  return mask;
}

constexpr uint16_t kStandardTables = Tables({0, 1, 2, 3, 4, 5, 7, 9, 10, 11});
constexpr uint16_t kLabelTables = Tables({0, 1, 2, 3, 4, 5, 7, 8, 9, 10, 11});

// Per-language profile: 0 refuses the language; otherwise a density and
// whether the Kanji slot set applies.
enum : uint8_t {
  kNo = 0,
  kD180 = 1,
  kD203 = 2,
  kNarrow203 = 3,
  kD72 = 4,
  kPlain = 5,  // accepted, no density (generic model)
  kKanji = 0x10,
};

enum class Kind { Standard, Generic, M5, D4, D6 };

struct Slot {
  int8_t table;
  int8_t slot;
};

struct Profile {
  const char* name;
  std::array<uint8_t, 7> lang;  // by model language 0..6
  uint16_t tables;
  std::array<Slot, 8> removed;  // {-1, -1} ends the list
  PrnPrintableWidthFn width;
  Kind kind;
};

constexpr Slot kEnd{-1, -1};

// Densities with the Kanji slot set.
constexpr uint8_t k180K = kD180 | kKanji, k203K = kD203 | kKanji, kN203K = kNarrow203 | kKanji;

// The rows, in the order of the model table. Names match exactly.
// The table keeps its hand layout.
// clang-format off
constexpr Profile kProfiles[] = {
    {"", {kPlain, kPlain, kPlain, kPlain, kPlain, kPlain, kPlain}, Tables({11}),
     {{{11, 1}, kEnd}}, nullptr, Kind::Generic},
    {"RP-X5E", {kD180, k180K, k180K, k180K, kNo, kNo, kNo}, kStandardTables,
     {{{0, 12}, {9, 1}, {9, 2}, {9, 3}, kEnd}}, nullptr, Kind::Standard},
    {"RP-S12E", {kD180, k180K, k180K, k180K, k180K, kNo, kD180}, kStandardTables,
     {{{0, 12}, {7, 6}, {7, 7}, {9, 3}, kEnd}}, PrnWidth_RP_S12E, Kind::Standard},
    {"RP-S12F", {kD180, k180K, k180K, k180K, k180K, kNo, kD180}, kStandardTables,
     {{{0, 12}, {9, 3}, kEnd}}, PrnWidth_RP_S12E, Kind::Standard},
    {"RP-S6", {kD180, k203K, k203K, k203K, kNo, kNo, kD203}, kStandardTables,
     {{{0, 12}, {1, 2}, {7, 6}, {7, 7}, {9, 1}, {9, 2}, {9, 3}, kEnd}}, PrnWidth_RP_S6,
     Kind::Standard},
    {"RP-M5", {kD203, k203K, kNo, k203K, kNo, kNo, kNo}, Tables({0, 1, 2, 4, 5, 7, 10, 11}),
     {{{0, 12}, {1, 2}, kEnd}}, PrnWidth_RP_M5, Kind::M5},
    {"RP-D4", {kD72, kD72 | kKanji, kD72 | kKanji, kD72 | kKanji, kD72 | kKanji, kD72, kD72},
     Tables({0, 1, 4, 5, 9, 10, 11}), {{kEnd}}, nullptr, Kind::D4},
    {"RP-D6", {kNo, kNo, k180K, kNo, kNo, kNo, kNo}, Tables({0, 1, 2, 3, 4, 5, 8, 9, 10, 11}),
     {{kEnd}}, nullptr, Kind::D6},
    {"RP-M5B", {kD203, k203K, kNo, k203K, kNo, kNo, kNo}, kLabelTables,
     {{{0, 12}, {1, 2}, {9, 0}, {9, 1}, {9, 2}, kEnd}}, PrnWidth_RP_M5, Kind::Standard},
    {"RP-S3", {kD203, k203K, kNo, kNo, kNo, kNo, kNo}, kStandardTables,
     {{{0, 12}, {1, 2}, {7, 6}, {7, 7}, {9, 1}, {9, 2}, {9, 3}, kEnd}}, PrnWidth_RP_S3,
     Kind::Standard},
    {"RP-S5", {kNo, kNo, k203K, kNo, kNo, kNo, kNo}, kStandardTables,
     {{{0, 12}, {1, 2}, {7, 6}, {7, 7}, {9, 1}, {9, 2}, {9, 3}, kEnd}}, PrnWidth_RP_S3,
     Kind::Standard},
    {"RP-S9", {kNo, kNo, k203K, kNo, kNo, kNo, kD203}, kStandardTables,
     {{{0, 12}, {1, 2}, {7, 6}, {7, 7}, {9, 3}, kEnd}}, PrnWidth_RP_S3, Kind::Standard},
    {"RP-S8B", {kNo, kNo, k203K, kNo, kNo, kNo, kD203}, kStandardTables,
     {{{0, 12}, {1, 2}, {7, 6}, {7, 7}, {9, 1}, {9, 2}, {9, 3}, kEnd}}, PrnWidth_RP_S3,
     Kind::Standard},
    {"RP-S9B", {kD203, kNo, k203K, k203K, kNo, kNo, kD203}, kStandardTables,
     {{{0, 12}, {1, 2}, {7, 6}, {7, 7}, {9, 3}, kEnd}}, PrnWidth_RP_S3, Kind::Standard},
    {"RP-S11B", {kNo, kNo, kNo, kNo, k180K, kNo, kNo}, kStandardTables,
     {{{0, 12}, {1, 2}, {7, 6}, {7, 7}, {9, 3}, kEnd}}, PrnWidth_RP_S12E, Kind::Standard},
    {"RP-S3B", {kD203, k203K, kNo, kNo, kNo, kNo, kNo}, kStandardTables,
     {{{0, 12}, {1, 2}, {7, 6}, {7, 7}, {9, 3}, kEnd}}, PrnWidth_RP_S3, Kind::Standard},
    {"RP-S6B", {kD180, k203K, k203K, k203K, kNo, kNo, kD203}, kStandardTables,
     {{{0, 12}, {7, 6}, {7, 7}, {9, 3}, kEnd}}, PrnWidth_RP_S6, Kind::Standard},
    {"RP-S14B", {kNo, k203K, kNo, kNo, kNo, kNo, kNo}, kStandardTables,
     {{{0, 12}, {7, 6}, {7, 7}, {9, 1}, {9, 2}, {9, 3}, kEnd}}, PrnWidth_RP_k4, Kind::Standard},
    {"RP-M3", {kD203, k203K, k203K, k203K, kNo, kNo, kD203}, kLabelTables,
     {{{0, 12}, {1, 2}, {9, 0}, {9, 1}, {9, 2}, kEnd}}, PrnWidth_RP_M3, Kind::Standard},
    {"RP-M7", {kD203, k203K, kNo, k203K, kNo, kNo, kNo}, kLabelTables,
     {{{0, 12}, {1, 2}, {9, 0}, {9, 1}, {9, 2}, kEnd}}, PrnWidth_RP_M7, Kind::Standard},
    {"RP-k2", {kNarrow203, kN203K, kN203K, kN203K, kNo, kNo, kNarrow203}, kStandardTables,
     {{{0, 12}, {9, 3}, kEnd}}, PrnWidth_RP_k2, Kind::Standard},
    {"RP-k4", {kNarrow203, kN203K, kN203K, kN203K, kN203K, kNo, kNarrow203}, kStandardTables,
     {{{0, 12}, {9, 3}, kEnd}}, PrnWidth_RP_k4, Kind::Standard},
};
// clang-format on

constexpr size_t kProfileCount = sizeof kProfiles / sizeof kProfiles[0];

void RemoveSlot(PrnModelOps_t& ops, Slot s) {
  switch (s.table * 100 + s.slot) {
    case 12:
      if (ops.text) ops.text->color = nullptr;
      break;
    case 102:
      if (ops.image) ops.image->grayImage = nullptr;
      break;
    case 706:
      if (ops.page) ops.page->line = nullptr;
      break;
    case 707:
      if (ops.page) ops.page->rectangle = nullptr;
      break;
    case 900:
      if (ops.sound) ops.sound->pulse = nullptr;
      break;
    case 901:
      if (ops.sound) ops.sound->buzzer = nullptr;
      break;
    case 902:
      if (ops.sound) ops.sound->buzzerRealtime = nullptr;
      break;
    case 903:
      if (ops.sound) ops.sound->sound = nullptr;
      break;
    case 1101:
      if (ops.reply) ops.reply->isJobEnd = nullptr;
      break;
    default:
      break;
  }
}

int InstallTables(PrnCmdHandle_t* b, uint16_t tables) {
  using Installer = int (*)(PrnCmdHandle_t*);
  // Table 6 (lines) has no installer: no model supports it.
  static constexpr Installer kInstallers[12] = {PrnInstallTextOps,
                                                PrnInstallImageOps,
                                                PrnInstallBarcodeOps,
                                                PrnInstallSymbolOps,
                                                PrnInstallAlignOps,
                                                PrnInstallFeedOps,
                                                nullptr,
                                                PrnInstallPageOps,
                                                PrnInstallLayoutOps,
                                                PrnInstallSoundOps,
                                                PrnInstallControlOps,
                                                PrnInstallReplyOps};
  for (int t = 0; t < 12; ++t) {
    if ((tables & (1u << t)) == 0 || kInstallers[t] == nullptr) continue;
    if (int rc = kInstallers[t](b); rc != 0) return rc;
  }
  return 0;
}

// Dot-matrix slot layouts that differ from the standard tables.
void ApplyImpactCommon(PrnModelOps_t& ops) {
  *ops.control = PrnControlOps{PrnGenHeaderImpact, nullptr, PrnGenTrailerImpact};
  *ops.reply = PrnReplyOps{kPrnReplySlots.split, kPrnReplySlots.isJobEndImpact};
}

void ApplyD4(PrnModelOps_t& ops) {
  *ops.text = PrnTextOps{PrnGenTextImpact,
                         PrnGenLineSpace,
                         PrnGenTextLang,
                         PrnGenFont,
                         nullptr,
                         PrnGenDoubleWidthImpact,
                         PrnGenDoubleHeightImpact,
                         PrnGenWidthScaleImpact,
                         PrnGenHeightScaleImpact,
                         nullptr,
                         PrnGenUnderline,
                         PrnGenEmphasis,
                         PrnGenImpactColor,
                         nullptr};
  const PrnMediaSlots& m = kPrnMediaSlots;
  *ops.image = PrnImageOps{m.bitImageSingle, m.nvLogoImpact, nullptr, m.bitImageDouble};
  *ops.sound = PrnSoundOps{m.sound.pulse, nullptr, nullptr, nullptr};
  ApplyImpactCommon(ops);
}

void ApplyD4Kanji(PrnTextOps& t) {
  t.textLang = PrnGenTextLangKanji;
  t.doubleWidth = PrnGenDoubleWidthImpactKanji;
  t.doubleHeight = PrnGenDoubleHeightImpactKanji;
  t.widthScale = PrnGenWidthScaleImpactKanji;
  t.heightScale = PrnGenHeightScaleImpactKanji;
  t.underline = PrnGenUnderlineKanji;
}

void ApplyD6(PrnModelOps_t& ops) {
  const PrnMediaSlots& m = kPrnMediaSlots;
  *ops.text = PrnTextOps{PrnGenText,      PrnGenLineSpace, PrnGenTextLang, PrnGenFont,      nullptr,
                         nullptr,         nullptr,         nullptr,        nullptr,         nullptr,
                         PrnGenUnderline, PrnGenEmphasis,  nullptr,        m.page.positionX};
  *ops.image = PrnImageOps{m.bitImage24, nullptr, nullptr, m.bitImage24};
  ops.layout->layout = nullptr;
  *ops.sound = PrnSoundOps{m.sound.pulse, nullptr, nullptr, m.soundImpact};
  ApplyImpactCommon(ops);
}

void ApplyKanjiSlots(PrnTextOps* t) {
  if (t == nullptr) return;
  if (t->textLang) t->textLang = PrnGenTextLangKanji;
  if (t->font) t->font = PrnGenFontKanji;
  if (t->underline) t->underline = PrnGenUnderlineKanji;
}

void ApplyDensity(PrnCmdHandle_t* b, uint8_t code) {
  switch (code & 0x0F) {
    case kD180:
      b->dotDensityX = b->dotDensityY = 180;
      break;
    case kD203:
      b->dotDensityX = b->dotDensityY = 203;
      break;
    case kNarrow203:
      b->dotDensityX = b->dotDensityY = 203;
      b->rasterBandLimit = 128;
      b->grayBandLimit = 128;
      b->rasterByteLimit = 6927;
      break;
    case kD72:
      b->dotDensityX = b->dotDensityY = 72;
      break;
    default:
      break;
  }
}

int Build(const Profile& p, int lang, PrnCmdHandle_t* b) {
  uint16_t tables = p.tables;
  if (p.kind == Kind::M5 && lang == 0) tables = uint16_t(tables | Tables({3, 8}));
  if (int rc = InstallTables(b, tables); rc != 0) return rc;
  PrnModelOps_t& ops = b->ops;
  for (Slot s : p.removed) {
    if (s.table < 0) break;
    RemoveSlot(ops, s);
  }
  const uint8_t code = p.lang[size_t(lang)];
  const bool kanji = (code & kKanji) != 0;
  switch (p.kind) {
    case Kind::M5:
      ops.control->header = PrnGenHeaderNoMotion;
      if (lang != 0) {
        RemoveSlot(ops, {7, 6});
        RemoveSlot(ops, {7, 7});
      }
      break;
    case Kind::D4:
      ApplyD4(ops);
      break;
    case Kind::D6:
      ApplyD6(ops);
      break;
    default:
      break;
  }
  b->getPrintableWidth = p.width;
  ApplyDensity(b, code);
  if (kanji) {
    if (p.kind == Kind::D4) {
      ApplyD4Kanji(*ops.text);
    } else {
      ApplyKanjiSlots(ops.text);
    }
  }
  return 0;
}

int Create(const Profile& p, int lang, PrnCmdHandle_t** out) {
  if (out == nullptr) return 1;
  if (lang < 0 || lang > 6 || p.lang[size_t(lang)] == kNo) return 2;
  PrnCmdHandle_t* b = nullptr;
  if (int rc = PrnCmdAlloc(p.name, lang, &b); rc != 0) return rc;
  if (int rc = Build(p, lang, b); rc != 0) {
    PrnCmdClose(b);
    return rc;
  }
  *out = b;
  return 0;
}

template <size_t I>
int CreateRow(int lang, PrnCmdHandle_t** out) {
  return Create(kProfiles[I], lang, out);
}

template <size_t... I>
constexpr std::array<PrnModelRow, sizeof...(I) + 1> MakeTable(std::index_sequence<I...>) {
  return {{{kProfiles[I].name, &CreateRow<I>}..., {nullptr, nullptr}}};
}

constexpr auto kModelTable = MakeTable(std::make_index_sequence<kProfileCount>{});

}  // namespace

constinit const PrnModelRow* const PrnModelTable = kModelTable.data();

int PrnModelFind(const char* modelName, int modelLang, PrnCmdHandle_t** out) {
  if (modelName == nullptr || out == nullptr) return 1;
  for (const PrnModelRow* row = kModelTable.data(); row->name != nullptr; ++row) {
    if (std::strcmp(row->name, modelName) == 0) return row->create(modelLang, out);
  }
  return 2;
}

}  // namespace tilo2::core
