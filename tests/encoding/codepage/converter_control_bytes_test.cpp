// Bytes 00h-1Fh and 7Fh are commands on the wire: no code table may give one
// of them to a printable character, or text would turn into commands (an arrow
// into ESC, a bullet into BEL).
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "../prn_test_util.h"
#include "../utf8_text.h"
#include "converter_test_util.h"
#include "encoding/codepage/embedded_file.h"
#include "encoding/codepage/ovuc_model.h"
#include "encoding/codepage/ovuc_settings.h"

using namespace tilo2::core;

namespace {

using convtest::ConvertText;
using convtest::Open;

bool IsControlByte(uint32_t b) { return b < 0x20 || b == 0x7F; }

// The model files among the compiled-in files, read as the converter reads them.
std::vector<std::pair<std::string, OvucModelFile>> CompiledInModels() {
  std::vector<std::pair<std::string, OvucModelFile>> models;
  for (const EmbeddedFileRow* r = EmbeddedFileTable; r->name != nullptr; ++r) {
    OvucModelFile f;
    if (OvucReadModelFile(r->name, f) == 0) models.emplace_back(r->name, std::move(f));
  }
  return models;
}

// The old PC picture symbols that some sources place at 01h-1Fh and 7Fh.
constexpr uint32_t kPictureSymbols[] = {
    0x263A, 0x263B, 0x2665, 0x2666, 0x2663, 0x2660, 0x2022, 0x25D8, 0x25CB, 0x25D9, 0x2642,
    0x2640, 0x266A, 0x266B, 0x263C, 0x25BA, 0x25C4, 0x2195, 0x203C, 0x00B6, 0x00A7, 0x25AC,
    0x21A8, 0x2191, 0x2193, 0x2192, 0x2190, 0x221F, 0x2194, 0x25B2, 0x25BC, 0x2302,
};

// Bytes of a converter output or a builder body below 20h or at 7Fh, other
// than the ESC t n / ESC R n switches and the bytes listed in `allowed`.
std::vector<uint8_t> StrayControls(const convtest::Bytes& out,
                                   const std::set<uint8_t>& allowed = {}) {
  std::vector<uint8_t> stray;
  for (size_t i = 0; i < out.size(); ++i) {
    if (out[i] == 0x1B && i + 2 < out.size() && (out[i + 1] == 't' || out[i + 1] == 'R')) {
      i += 2;
      continue;
    }
    if (IsControlByte(out[i]) && allowed.count(out[i]) == 0) stray.push_back(out[i]);
  }
  return stray;
}

// Every row of every table and character set of every model file: a byte
// 00h-1Fh or 7Fh maps nothing, or a control code.
TEST(ConverterControlBytes, NoTableGivesAControlByteToAPrintableCharacter) {
  const auto models = CompiledInModels();
  ASSERT_EQ(models.size(), 88u);
  std::set<std::string> filesRead;
  for (const auto& [model, file] : models) {
    std::vector<std::string> names;
    for (const OvucTableSpec& t : file.tables) names.push_back(t.fileName);
    for (const OvucIcsSpec& s : file.sets) names.push_back(s.fileName);
    for (const std::string& name : names) {
      SCOPED_TRACE(model + " " + name);
      int controlRows = 0;
      const int rc = OvucForEachLine(name, -1, [&](const char* line) {
        uint8_t byte = 0;
        uint32_t cp = 0;
        bool hasChar = false;
        if (OvucParseTableLine(line, byte, cp, hasChar) != 0 || !hasChar) return 0;
        if (!IsControlByte(byte)) return 0;
        ++controlRows;
        EXPECT_TRUE(IsControlByte(cp)) << std::hex << "byte " << int{byte} << " maps U+" << cp;
        return 0;
      });
      ASSERT_EQ(rc, 0);
      filesRead.insert(name);
      // Every code table carries the control codes themselves (so a line
      // feed needs no table switch); character sets list only what they change.
      if (name.rfind("ICS_", 0) != 0) {
        EXPECT_EQ(controlRows, 33);
      }
    }
  }
  EXPECT_EQ(filesRead.size(), 54u + 4u);  // every code table and character set is listed somewhere
}

// Through the converter of every model: the picture symbols come out as
// characters of some table or as "?", never as commands.
TEST(ConverterControlBytes, PictureSymbolsNeverBecomeCommands) {
  std::string text;
  for (const uint32_t cp : kPictureSymbols) text += testtext::Utf8(cp);
  for (const auto& [model, file] : CompiledInModels()) {
    SCOPED_TRACE(model);
    const OvucHandle h = Open(model);
    ASSERT_GT(h, 0);
    const convtest::Converted got = ConvertText(h, text);
    EXPECT_EQ(got.rc, 0);
    EXPECT_EQ(StrayControls(got.bytes), std::vector<uint8_t>{});
    OvucCloseHandle(h);
  }
}

// A control after text in table 1 (katakana on printers and displays) stays
// in that table: no switch back to table 0 before it.
TEST(ConverterControlBytes, ControlsAfterKatakanaStayInTableOne) {
  struct Case {
    const char* model;
    const char* text;
    convtest::Bytes bytes;
  };
  const Case cases[] = {
      {"RP-S3_ank.txt", "\uFF71\uFF72\n", {0x1B, 't', 1, 0xB1, 0xB2, '\n'}},
      {"RP-S12E_ank.txt", "\uFF71\r\n\t", {0x1B, 't', 1, 0xB1, '\r', '\n', '\t'}},
      {"CD-A2_ank.txt", "\uFF71\n", {0x1B, 't', 1, 0xB1, '\n'}},
      {"CD-A1_ank.txt", "\uFF9F\x1B", {0x1B, 't', 1, 0xDF, 0x1B}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.model);
    const OvucHandle h = Open(c.model);
    ASSERT_GT(h, 0);
    const convtest::Converted got = ConvertText(h, c.text);
    EXPECT_EQ(got.rc, 0);
    EXPECT_EQ(got.bytes, c.bytes);
    OvucCloseHandle(h);
  }
}

// The receipt line that used to set a 66-dot character spacing: "<-" became
// ESC and "Back" the rest of ESC SP B.
TEST(ConverterControlBytes, ReceiptTextThroughThePrinterBuilder) {
  Builder b("RP-S3", 0);
  ASSERT_EQ(b.rc, 0);
  ASSERT_GT(b->converter, 0);
  ASSERT_EQ(PrnCmdAddText(b.get(),
                          "Q\u2190 Back \u2022 \u00A7"
                          "1\n"),
            0);
  const Bytes body = BodyBytes(b.get());
  EXPECT_EQ(StrayControls(body, {'\n'}), std::vector<uint8_t>{});
  // Q in 437; the arrow in table 20, the bullet and the section sign in 1252;
  // the line feed without a switch of its own.
  EXPECT_EQ(body, B({0x1B, 0x74, 0x00, 'Q',  0x1B, 0x74, 0x14, 0x8C, ' ',  'B', 'a',
                     'c',  'k',  ' ',  0x1B, 0x74, 0x10, 0x95, ' ',  0xA7, '1', '\n'}));
  // Katakana, then a line feed: table 1 holds it, no ESC t 0 before it.
  Builder k("RP-S3", 0);
  ASSERT_EQ(k.rc, 0);
  ASSERT_EQ(PrnCmdAddText(k.get(), "\uFF71\uFF72\n"), 0);
  EXPECT_EQ(BodyBytes(k.get()), B({0x1B, 0x74, 0x01, 0xB1, 0xB2, '\n'}));
}

}  // namespace
