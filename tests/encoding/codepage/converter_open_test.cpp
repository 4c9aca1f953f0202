// Opening converters: handle table, names, settings and model file checks.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "converter_test_util.h"
#include "encoding/codepage/ovuc_convert.h"
#include "encoding/codepage/ovuc_model.h"
#include "encoding/codepage/ovuc_settings.h"

using namespace tilo2::core;

namespace {

using convtest::Bytes;
using convtest::ConvertText;
using convtest::ExpectOpen;
using convtest::FileTableOverride;
using convtest::Open;

const std::string kSettings =
    "[Settings]\nEncodeTypeDefault=3\nMissingCharacterCode=63\nDeviceInfoPath=/usr/local/ORVIK/"
    "OrvUCCvt/\n"
    "MaximumHandle=100\nOutputBufferBlockSize=65536\nOutputBufferBlockMax=5\n";

std::string Replace(std::string text, const std::string& from, const std::string& to) {
  const size_t at = text.find(from);
  EXPECT_NE(at, std::string::npos) << from;
  if (at != std::string::npos) text.replace(at, from.size(), to);
  return text;
}

std::string Common(int tables, int sets) {
  return "[Common]\nMappingTableNumber=" + std::to_string(tables) +
         "\nInternalCharacterSetNumber=" + std::to_string(sets) +
         "\nICSCommandDefault=0\nDecompositionClassNumber=1160\nGeneralCategorySize=2\n"
         "CanonicalCombiningClassSize=1\nBidiClassSize=3\nDecompositionMappingSize=4\n";
}

std::string Table(int n, int param, const std::string& file) {
  return "[Table" + std::to_string(n) +
         "]\nCodePage=437\nTableCommandParam=" + std::to_string(param) + "\nTableFileName=" + file +
         "\n";
}

std::string Ics(int n, int param, const std::string& file) {
  return "[ICS" + std::to_string(n) + "]\nICSCommandParam=" + std::to_string(param) +
         "\nICSFileName=" + file + "\n";
}

const std::string kGoodModel = Common(2, 1) + Table(1, 0, "cp437.txt") + Table(2, 2, "cp850.txt") +
                               Ics(1, 13, "ICS_Korea.txt");

TEST(ConverterOpen, SameModelTwiceGivesTwoHandlesAndTheTableRunsOut) {
  std::vector<OvucHandle> handles;
  for (int i = 0; i < 100; ++i) {
    const OvucHandle h = Open("RP-S12E_ank.txt");
    ASSERT_GT(h, 0) << i;
    for (OvucHandle other : handles) ASSERT_NE(h, other);
    handles.push_back(h);
  }
  EXPECT_EQ(Open("RP-S12E_ank.txt"), OVUC_ERR_NO_SLOT);
  // Freeing one slot makes room again.
  ASSERT_EQ(OvucCloseHandle(handles.back()), OVUC_OK);
  const OvucHandle again = Open("RP-S12F_ank.txt");
  EXPECT_GT(again, 0);
  handles.back() = again;
  for (OvucHandle h : handles) EXPECT_EQ(OvucCloseHandle(h), OVUC_OK);
  // Numbers rotate: a closed slot is not given out again before the ones after it.
  const OvucHandle first = Open("RP-S12E_ank.txt");
  ASSERT_GT(first, 0);
  ASSERT_EQ(OvucCloseHandle(first), OVUC_OK);
  const OvucHandle second = Open("RP-S12E_ank.txt");
  EXPECT_EQ(second, first % 100 + 1);
  EXPECT_EQ(OvucCloseHandle(second), OVUC_OK);
}

TEST(ConverterOpen, BadHandlesAnswerMinus10EverywhereBeforeAnythingElse) {
  const OvucHandle closed = Open("RP-S12E_ank.txt");
  ASSERT_GT(closed, 0);
  ASSERT_EQ(OvucCloseHandle(closed), OVUC_OK);
  for (OvucHandle h : {OvucHandle{0}, OvucHandle{-1}, OvucHandle{101}, OvucHandle{255}, closed}) {
    size_t size = 0;
    EXPECT_EQ(OvucCloseHandle(h), OVUC_ERR_HANDLE) << h;
    EXPECT_EQ(OvucSetEncodeType(h), OVUC_ERR_HANDLE) << h;
    EXPECT_EQ(OvucSetData(h, "A", 1), OVUC_ERR_HANDLE) << h;
    EXPECT_EQ(OvucSetData(h, nullptr, 0), OVUC_ERR_HANDLE) << h;
    EXPECT_EQ(OvucGetOutputData(h, nullptr, &size), OVUC_ERR_HANDLE) << h;
    EXPECT_EQ(OvucGetOutputData(h, nullptr, nullptr), OVUC_ERR_HANDLE) << h;
  }
}

TEST(ConverterOpen, Names) {
  struct Case {
    std::string name;
    int expected;  // > 0: any handle
  };
  const std::string longName = std::string(128 - 8, 'x') + "_ank.txt";  // 128 characters
  const Case cases[] = {
      {"RP-S12E_ank.txt", 1},
      {"\tRP-S12E_ank.txt\r\n", 1},  // control characters are dropped
      {"RP-S12E_\xC3\xA4"
       "ank.txt",
       1},                                  // so are bytes 0x80 and above
      {"/some/folder/RP-S12E_ank.txt", 1},  // the last path component names the file
      {"RP-S99_ank.txt", OVUC_ERR_MODEL_MISSING},
      {"XRP-S12E_ank.txt", OVUC_ERR_MODEL_MISSING},
      {"cp437.txt", OVUC_ERR_MODEL_INVALID},  // found, but not a model file
      {"\x01\x02", OVUC_ERR_ARGUMENT},
      {longName, OVUC_ERR_ARGUMENT},
      {std::string(127 - 15, '/') + "RP-S12E_ank.txt", 1},  // 127 characters fit
  };
  for (const Case& c : cases) ExpectOpen(c.name, c.expected, c.name);
  EXPECT_EQ(ConverterOpen(nullptr, 3), OVUC_ERR_ARGUMENT);
  EXPECT_EQ(ConverterOpen("RP-S12E_ank.txt", 0), OVUC_ERR_ARGUMENT);
  EXPECT_EQ(OvucOpenHandle("RP-S12E_ank.txt", 15, nullptr), OVUC_ERR_ARGUMENT);
  // A NUL inside the given length would shorten the name to another file's.
  EXPECT_EQ(OvucOpenHandle("RP-S12E_ank.txt\0.bak", 19, "rpi"), OVUC_ERR_ARGUMENT);
  EXPECT_EQ(OvucOpenHandle("RP-S12E_ank.txt\0", 16, "rpi"), OVUC_ERR_ARGUMENT);
}

TEST(ConverterOpen, InvalidSettings) {
  const std::string cases[] = {
      Replace(kSettings, "MaximumHandle=100", "MaximumHandle=255"),
      Replace(kSettings, "MaximumHandle=100", "MaximumHandle=0"),
      Replace(kSettings, "OutputBufferBlockMax=5\n", ""),
      Replace(kSettings, "MissingCharacterCode=63", "MissingCharacterCode=31"),
      Replace(kSettings, "EncodeTypeDefault=3", "EncodeTypeDefault=4"),
      Replace(kSettings, "EncodeTypeDefault=3", "EncodeTypeDefault=3x"),
      Replace(kSettings, "OutputBufferBlockSize=65536", "OutputBufferBlockSize=4"),
      Replace(kSettings, "OutputBufferBlockSize=65536",
              "OutputBufferBlockSize=99999999999999999999999"),
      Replace(kSettings, "DeviceInfoPath=/usr/local/ORVIK/OrvUCCvt/",
              "DeviceInfoPath=/" + std::string(200, 'd')),
      Replace(kSettings, "MaximumHandle=100\n", "MaximumHandle=100\nSomething else\n"),
      kSettings + "[LOG]\nLogFilePath=/tmp/\n",  // a log section needs both keys
      kSettings + "[LOG]\nLogMaxSize=11\nLogFilePath=/tmp/\n",
      "",
  };
  for (const std::string& settings : cases) {
    FileTableOverride files({{"OrvUCSet.txt", settings}});
    EXPECT_EQ(Open("RP-S12E_ank.txt"), OVUC_ERR_SETTINGS_INVALID) << settings;
  }
  {
    FileTableOverride files({}, {"OrvUCSet.txt"});
    EXPECT_EQ(Open("RP-S12E_ank.txt"), OVUC_ERR_SETTINGS_MISSING);
  }
  // Accepted variations: comments, blank lines, a complete log section,
  // another section after ours, a module file without ModulePath.
  const std::string accepted[] = {
      "; comment\n\n" + kSettings + "[LOG]\nLogFilePath=/tmp\nLogMaxSize=10\n",
      kSettings + "[Other]\nwhatever\n",
  };
  for (const std::string& settings : accepted) {
    FileTableOverride files({{"OrvUCSet.txt", settings}, {"rpi.txt", "CommonPath=x/\n"}});
    ExpectOpen("RP-S12E_ank.txt", 1, settings);
  }
}

TEST(ConverterOpen, InvalidModelFiles) {
  struct Case {
    std::string model;
    int expected;
  };
  const Case cases[] = {
      // Three tables announced, two given; or given out of order; or bare.
      {Common(3, 1) + Table(1, 0, "cp437.txt") + Table(2, 2, "cp850.txt") +
           Ics(1, 13, "ICS_Korea.txt"),
       OVUC_ERR_MODEL_INVALID},
      {Common(3, 1) + Table(1, 0, "cp437.txt") + Table(3, 3, "cp860.txt") +
           Table(2, 2, "cp850.txt") + Ics(1, 13, "ICS_Korea.txt"),
       OVUC_ERR_MODEL_INVALID},
      {Common(1, 1) + "[Table]\nCodePage=437\nTableCommandParam=0\nTableFileName=cp437.txt\n" +
           Ics(1, 13, "ICS_Korea.txt"),
       OVUC_ERR_MODEL_INVALID},
      {Common(1, 1) + Table(1, 0, "cp437.txt") +
           "[ICS]\nICSCommandParam=13\nICSFileName=ICS_Korea.txt\n",
       OVUC_ERR_MODEL_INVALID},
      // A table section without its file name; a value out of range; a stray line.
      {Common(1, 1) + "[Table1]\nCodePage=437\nTableCommandParam=0\n" + Ics(1, 13, "ICS_Korea.txt"),
       OVUC_ERR_MODEL_INVALID},
      {Common(1, 1) + Table(1, 256, "cp437.txt") + Ics(1, 13, "ICS_Korea.txt"),
       OVUC_ERR_MODEL_INVALID},
      {Common(1, 1) + Table(1, 0, "cp437.txt") + "junk\n" + Ics(1, 13, "ICS_Korea.txt"),
       OVUC_ERR_MODEL_INVALID},
      {Replace(kGoodModel, "BidiClassSize=3\n", ""), OVUC_ERR_MODEL_INVALID},
      {Replace(kGoodModel, "MappingTableNumber=2", "MappingTableNumber=257"),
       OVUC_ERR_MODEL_INVALID},
      {Replace(kGoodModel, "DecompositionClassNumber=1160", "DecompositionClassNumber=1114113"),
       OVUC_ERR_MODEL_INVALID},
      // Missing files of each kind.
      {Replace(kGoodModel, "cp850.txt", "cp999.txt"), OVUC_ERR_TABLE_MISSING},
      {Replace(kGoodModel, "ICS_Korea.txt", "ICS_Mars.txt"), OVUC_ERR_ICS_MISSING},
      // Sections beyond the announced counts are not read.
      {kGoodModel + Table(3, 3, "nowhere.txt") + Ics(2, 5, "nowhere.txt"), 1},
      {kGoodModel, 1},
  };
  for (const Case& c : cases) {
    FileTableOverride files({{"Test_ank.txt", c.model}});
    ExpectOpen("Test_ank.txt", c.expected, c.model);
  }
  FileTableOverride noUnicode({{"Test_ank.txt", kGoodModel}}, {"UnicodeData.txt"});
  EXPECT_EQ(Open("Test_ank.txt"), OVUC_ERR_UNICODE_MISSING);
}

// A file that is listed but whose reader cannot be made answers -30, not
// "missing", whichever file it is.
TEST(ConverterOpen, UnreadableFilesAnswerMinus30) {
  for (const char* name :
       {"OrvUCSet.txt", "RP-S12E_ank.txt", "cp857.txt", "ICS_Arabia.txt", "UnicodeData.txt"}) {
    std::vector<EmbeddedFileRow> rows;
    for (const EmbeddedFileRow* r = EmbeddedFileTable; r->name != nullptr; ++r) {
      rows.push_back(std::string_view(r->name) == name ? EmbeddedFileRow{r->name, nullptr, 0} : *r);
    }
    rows.push_back({nullptr, nullptr, 0});
    EmbeddedFileSetTableForTest(rows.data());
    EXPECT_EQ(Open("RP-S12E_ank.txt"), OVUC_ERR_READER) << name;
    EmbeddedFileSetTableForTest(nullptr);
  }
}

TEST(ConverterOpen, CodeTableAndCharacterSetLines) {
  const std::string model = Common(1, 1) + Table(1, 0, "t.txt") + Ics(1, 13, "s.txt");
  struct Case {
    std::string table;
    std::string set;
    int expected;
  };
  const std::string goodSet = "0x5C\t0x20A9\t#\n";
  const Case cases[] = {
      {"0x41\t0x0041\t#\n", goodSet, 1},
      {"# comment\n\n0x41\t0x0041\t# A\n", goodSet, 1},
      {"0x41 0x0041 #\n", goodSet, OVUC_ERR_TABLE_LINE},  // blanks instead of tabs
      {"41\t0x0041\t#\n", goodSet, OVUC_ERR_TABLE_LINE},
      {"0x141\t0x0041\t#\n", goodSet, OVUC_ERR_TABLE_LINE},   // byte above 0xFF
      {"0x41\t0x110000\t#\n", goodSet, OVUC_ERR_TABLE_LINE},  // beyond Unicode
      {"0x41\t0x00G1\t#\n", goodSet, OVUC_ERR_TABLE_LINE},
      {"0x41\t0x0041\n", goodSet, OVUC_ERR_TABLE_LINE},
      {"0x41\t0x0041\tA\n", goodSet, OVUC_ERR_TABLE_LINE},
      {"0x\t0x0041\t#\n", goodSet, OVUC_ERR_TABLE_LINE},
      {"0x41\t0x0041\t#\n", "0x5C 0x20A9 #\n", OVUC_ERR_ICS_LINE},
  };
  for (const Case& c : cases) {
    FileTableOverride files({{"Test_ank.txt", model}, {"t.txt", c.table}, {"s.txt", c.set}});
    ExpectOpen("Test_ank.txt", c.expected, c.table + c.set);
  }
}

// A byte line with six blanks is a byte without character: it never matches.
TEST(ConverterOpen, ByteWithoutCharacterNeverMatches) {
  const std::string model =
      Common(2, 1) + Table(1, 0, "t.txt") + Table(2, 7, "u.txt") + Ics(1, 13, "ICS_None.txt");
  FileTableOverride files({{"Test_ank.txt", model},
                           {"t.txt", "0x41\t      \t#\n0x42\t0x0042\t#\n"},
                           {"u.txt", "0x20\t      \t#\n"}});
  const OvucHandle h = Open("Test_ank.txt");
  ASSERT_GT(h, 0);
  EXPECT_EQ(ConvertText(h, "AB").bytes, (Bytes{0x1B, 't', 0, '?', 'B'}));
  EXPECT_EQ(ConvertText(h, " ").bytes, (Bytes{0x1B, 't', 0, '?'}));
  OvucCloseHandle(h);
}

TEST(ConverterOpen, ModelRecordsOfTheFortyTwoTableFile) {
  OvucSettings settings;
  ASSERT_EQ(OvucReadSettings("./OrvUCSet.txt", settings), 0);
  EXPECT_EQ(settings.deviceInfoPath, "/usr/local/ORVIK/OrvUCCvt//");
  EXPECT_EQ(settings.maximumHandle, 100);
  std::shared_ptr<const OvucModel> model;
  ASSERT_EQ(OvucLoadModel(settings, "RP-S12E_ank.txt", model), 0);
  EXPECT_EQ(model->TableCount(), 42u);
  EXPECT_EQ(model->SetCount(), 2u);
  EXPECT_EQ(model->file.icsCommandDefault, 11);
  // U+20A9 is only in the Korean set; "A" is in every table.
  const OvucCharRecord* won = model->Find(0x20A9);
  ASSERT_NE(won, nullptr);
  EXPECT_TRUE(won->inCharacterSet);
  EXPECT_EQ(won->setParam, 13);
  EXPECT_EQ(won->entryCount, 0);
  const OvucCharRecord* a = model->Find('A');
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->entryCount, 42);
  // Handles of one model share its records.
  std::shared_ptr<const OvucModel> again;
  ASSERT_EQ(OvucLoadModel(settings, "RP-S12E_ank.txt", again), 0);
  EXPECT_EQ(model.get(), again.get());

  struct Family {
    const char* file;
    size_t tables;
    size_t sets;
  };
  const Family families[] = {
      {"CD-A2_ank.txt", 10, 1}, {"CD-A1_ank.txt", 39, 1}, {"RP-X5D_jpn.txt", 10, 1},
      {"RP-B2_sa.txt", 13, 1},  {"RP-M3_tc.txt", 53, 2},  {"RP-D4_sa.txt", 6, 1},
      {"RP-D6_ank.txt", 3, 1},  {"RP-D6_sc.txt", 1, 1},
  };
  for (const Family& f : families) {
    std::shared_ptr<const OvucModel> m;
    ASSERT_EQ(OvucLoadModel(settings, f.file, m), 0) << f.file;
    EXPECT_EQ(m->TableCount(), f.tables) << f.file;
    EXPECT_EQ(m->SetCount(), f.sets) << f.file;
  }
}

TEST(ConverterOpen, Utf16InputWhenTheSettingsAskForIt) {
  struct Case {
    int type;
    Bytes input;
    int rc;
    Bytes out;
  };
  const Case cases[] = {
      {0, {0xFF, 0xFE, 'A', 0, 0xAC, 0x20}, 0, {0x1B, 't', 0, 'A', 0x1B, 't', 13, 0xD5}},
      {0, {0xFE, 0xFF, 0, 'A'}, 0, {0x1B, 't', 0, 'A'}},
      {0, {0, 'A'}, 0, {0x1B, 't', 0, 'A'}},
      {1, {0, 'A', 0, 'B', 0}, OVUC_WARN_ODD_LENGTH, {0x1B, 't', 0, 'A', 'B', '?'}},
      {2, {'A', 0, 0x00, 0xD8, 'B', 0}, OVUC_WARN_SURROGATE, {0x1B, 't', 0, 'A', '?', 'B'}},
      {2, {0x00, 0xDC, 'B', 0}, OVUC_WARN_SURROGATE, {0x1B, 't', 0, '?', 'B'}},
      {2, {0x3D, 0xD8, 0x00, 0xDE}, 0, {0x1B, 't', 0, '?'}},  // a pair: one (unmapped) character
  };
  for (const Case& c : cases) {
    FileTableOverride files(
        {{"OrvUCSet.txt", Replace(kSettings, "EncodeTypeDefault=3",
                                  "EncodeTypeDefault=" + std::to_string(c.type))}});
    const OvucHandle h = Open("RP-S12E_ank.txt");
    ASSERT_GT(h, 0);
    // Without OvucSetEncodeType the settings' type holds.
    EXPECT_EQ(OvucSetData(h, reinterpret_cast<const char*>(c.input.data()), c.input.size()), c.rc);
    size_t size = 64;
    Bytes out(size);
    ASSERT_EQ(OvucGetOutputData(h, out.data(), &size), OVUC_OK);
    out.resize(size);
    EXPECT_EQ(out, c.out);
    OvucCloseHandle(h);
  }
}

}  // namespace

namespace {

// Builders open, use and close their converters on their own threads; the
// handle table and the shared model records must stand that.
TEST(ConverterOpen, ConcurrentOpenConvertClose) {
  constexpr int kThreads = 8;
  constexpr int kRounds = 40;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const char* model = (t % 2) != 0 ? "RP-S12E_ank.txt" : "RP-M3_tc.txt";
      for (int i = 0; i < kRounds; ++i) {
        const OvucHandle h = Open(model);
        if (h <= 0) {
          ++failures;
          continue;
        }
        if (ConvertText(h, "A\u20ACe\u0301").bytes !=
            (Bytes{0x1B, 't', 0, 'A', 0x1B, 't', 13, 0xD5, 0x82})) {
          ++failures;
        }
        if (OvucCloseHandle(h) != OVUC_OK) ++failures;
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
}

}  // namespace
