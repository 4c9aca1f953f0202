// Key=value helpers of the converter files, and Unicode data edge cases.
#include <gtest/gtest.h>

#include <string>

#include "converter_test_util.h"
#include "encoding/codepage/ovuc_ini.h"
#include "encoding/codepage/ovuc_settings.h"

using namespace tilo2::core;

namespace {

using convtest::Bytes;
using convtest::ConvertText;
using convtest::FileTableOverride;
using convtest::Open;

TEST(ConverterIni, ValueAndDigits) {
  EXPECT_STREQ(IniValueOf("=63\r\n"), "63\r\n");
  EXPECT_STREQ(IniValueOf(" = a=b\r\n"), " a=b\r\n");
  EXPECT_EQ(IniValueOf("63\r\n"), nullptr);
  EXPECT_EQ(IniValueOf(nullptr), nullptr);
  EXPECT_EQ(IniIsDigits("0123\r\n"), 0);
  EXPECT_EQ(IniIsDigits("12"), 0);
  EXPECT_EQ(IniIsDigits("1 2\r\n"), -1);
  EXPECT_EQ(IniIsDigits("-1\r\n"), -1);
  EXPECT_EQ(IniIsDigits("\r\n"), -1);
  EXPECT_EQ(IniIsDigits(nullptr), -1);
  EXPECT_EQ(IniNumber("=254\r\n", 1, 254), std::optional<uint64_t>(254));
  EXPECT_EQ(IniNumber("=255\r\n", 1, 254), std::nullopt);
  EXPECT_EQ(IniNumber("=0\r\n", 1, 254), std::nullopt);
  EXPECT_EQ(IniNumber("=184467440737095516160\r\n", 0, UINT64_MAX / 10), std::nullopt);
}

TEST(ConverterIni, SplitFieldsNeverWritesPast127Characters) {
  char fields[3][128];
  ASSERT_EQ(SplitFields(" <compat>\t0020  0301\r\n", fields, 3), 0);
  EXPECT_STREQ(fields[0], "<compat>");
  EXPECT_STREQ(fields[1], "0020");
  EXPECT_STREQ(fields[2], "0301");
  ASSERT_EQ(SplitFields("0041", fields, 3), 0);
  EXPECT_STREQ(fields[0], "0041");
  EXPECT_STREQ(fields[1], "");
  EXPECT_EQ(SplitFields("a b c d", fields, 3), -1);  // one field too many
  const std::string f127(127, 'x');
  ASSERT_EQ(SplitFields(f127.c_str(), fields, 3), 0);
  EXPECT_EQ(std::string(fields[0]), f127);
  const std::string f128(128, 'y');
  EXPECT_EQ(SplitFields(("a " + f128).c_str(), fields, 3), -1);
  EXPECT_EQ(SplitFields(nullptr, fields, 3), -1);
}

TEST(ConverterIni, ModulePath) {
  std::string folder;
  ASSERT_EQ(OvucReadModulePath("rpi", folder), 0);
  EXPECT_EQ(folder, ".//");
  EXPECT_EQ(OvucReadModulePath("nosuchmodule", folder), -1);
  {
    FileTableOverride files(
        {{"rpi.txt",
          std::string("; comment\n\nCommonPath=x/\nModulePath=/opt/a\nModulePath=/b\n")}});
    ASSERT_EQ(OvucReadModulePath("rpi", folder), 0);
    EXPECT_EQ(folder, "/opt/a/");
  }
  {
    FileTableOverride files({{"rpi.txt", std::string("UninstallerPath=./\n")}});
    EXPECT_EQ(OvucReadModulePath("rpi", folder), -1);
    // Without ModulePath the settings are looked up by their bare name.
    const OvucHandle h = Open("RP-S12E_ank.txt");
    EXPECT_GT(h, 0);
    OvucCloseHandle(h);
  }
}

// Decompositions with more components than DecompositionMappingSize are
// ignored (they would not fit the record); the others still compose.
TEST(ConverterIni, OversizedDecompositionsAreIgnored) {
  const std::string model =
      "[Common]\nMappingTableNumber=1\nInternalCharacterSetNumber=1\nICSCommandDefault=0\n"
      "DecompositionClassNumber=1160\nGeneralCategorySize=2\nCanonicalCombiningClassSize=1\n"
      "BidiClassSize=3\nDecompositionMappingSize=4\n"
      "[Table1]\nCodePage=1\nTableCommandParam=0\nTableFileName=t.txt\n"
      "[ICS1]\nICSCommandParam=0\nICSFileName=ICS_None.txt\n";
  const std::string table =
      "0x3F\t0x003F\t#\n0x41\t0x0041\t#\n0x42\t0x0042\t#\n0x43\t0x0043\t#\n0xC1\t0x00C1\t#"
      "\n0xC9\t0x00C9\t#\n"
      "0xD0\t0x00D0\t#\n";
  const std::string unicode =
      "0041;A;Lu;0;L;;;;;N;;;;;\n"
      "0042;B;Lu;0;L;;;;;N;;;;;\n"
      "0043;C;Lu;0;L;;;;;N;;;;;\n"
      "003F;Q;Po;0;ON;;;;;N;;;;;\n"
      "00C1;A5;Lu;0;L;0041 0301 0301 0301 0301;;;;N;;;;;\n"
      "00C9;B1;Lu;0;L;0042 0301;;;;N;;;;;\n"
      "00D0;C1;Lu;0;L;<x> 0043 " +
      std::string(140, '0') +
      "301;;;;N;;;;;\n"
      "0301;ACUTE;Mn;230;NSM;;;;;N;;;;;\n"
      "not a line\n";
  FileTableOverride files(
      {{"Test_ank.txt", model}, {"t.txt", table}, {"UnicodeData.txt", unicode}});
  const OvucHandle h = Open("Test_ank.txt");
  ASSERT_GT(h, 0);
  EXPECT_EQ(ConvertText(h, "A\u0301\u0301\u0301\u0301").bytes,
            (Bytes{0x1B, 't', 0, 'A', '?', '?', '?', '?'}));
  EXPECT_EQ(ConvertText(h, "B\u0301").bytes, (Bytes{0x1B, 't', 0, 0xC9}));
  EXPECT_EQ(ConvertText(h, "C\u0301").bytes, (Bytes{0x1B, 't', 0, 'C', '?'}));
  OvucCloseHandle(h);
}

}  // namespace
