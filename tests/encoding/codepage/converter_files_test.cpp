// Compiled-in converter files: lookup by name and path, line reading.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "encoding/codepage/embedded_file.h"

using namespace tilo2::core;

namespace {

struct FileCloser {
  void operator()(EmbeddedFile_t* f) const { EmbeddedFileClose(f); }
};
using FilePtr = std::unique_ptr<EmbeddedFile_t, FileCloser>;

std::vector<std::string> ReadAll(EmbeddedFile_t* f) {
  std::vector<std::string> lines;
  char buf[kEmbeddedFileLineBuffer];
  while (EmbeddedFileReadLine(buf, f) != nullptr) lines.emplace_back(buf);
  return lines;
}

TEST(ConverterFiles, TableHas149NamedRows) {
  int rows = 0;
  for (const EmbeddedFileRow* r = EmbeddedFileTable; r->name != nullptr; ++r) {
    ASSERT_NE(r->data, nullptr) << r->name;
    ++rows;
  }
  EXPECT_EQ(rows, 149);
}

TEST(ConverterFiles, LookupByNameAndPath) {
  struct Case {
    const char* path;
    const char* row;  // expected row name, null for no match
  };
  const Case cases[] = {
      {"cp437.txt", "cp437.txt"},
      {"/usr/local/ORVIK/OrvUCCvt//cp437.txt", "cp437.txt"},
      {"C:\\tables\\cp437.txt", "cp437.txt"},
      {"/a/xcp437.txt", nullptr},
      {"xcp437.txt", nullptr},
      {"437.txt", nullptr},
      {"cp437.txt/", nullptr},
      {"", nullptr},
      {"RP-S12E_ank.txt", "RP-S12E_ank.txt"},
      {"./OrvUCSet.txt", "OrvUCSet.txt"},
      {"ICS_None.txt", "ICS_None.txt"},
  };
  for (const Case& c : cases) {
    FilePtr f(EmbeddedFileOpen(c.path));
    if (c.row == nullptr) {
      EXPECT_EQ(f, nullptr) << c.path;
    } else {
      ASSERT_NE(f, nullptr) << c.path;
      EXPECT_STREQ(f->row->name, c.row) << c.path;
    }
  }
  EXPECT_EQ(EmbeddedFileOpen(nullptr), nullptr);
}

TEST(ConverterFiles, ModuleFileReadsAsCrLfLines) {
  FilePtr f(EmbeddedFileOpen("rpi.txt"));
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(ReadAll(f.get()),
            (std::vector<std::string>{"ModulePath=./\r\n", "UninstallerPath=./\r\n",
                                      "CommonPath=OrvUCCvt/\r\n"}));
  char buf[kEmbeddedFileLineBuffer];
  EXPECT_EQ(EmbeddedFileReadLine(buf, f.get()), nullptr);
  EXPECT_EQ(EmbeddedFileReadLine(nullptr, f.get()), nullptr);
  EXPECT_EQ(EmbeddedFileReadLine(buf, nullptr), nullptr);
}

TEST(ConverterFiles, EmptyFileHasNoLines) {
  FilePtr f(EmbeddedFileOpen("ICS_None.txt"));
  ASSERT_NE(f, nullptr);
  EXPECT_TRUE(ReadAll(f.get()).empty());
}

TEST(ConverterFiles, LongLinesAreCutAt1023Characters) {
  // 1022 characters + LF fit exactly; 1023 + LF and 2100 + no LF are cut.
  const std::string fits(1022, 'a');
  const std::string cut(1023, 'b');
  const std::string tail(2100, 'c');
  static std::string text;
  text = fits + "\n" + cut + "\n" + tail;
  const EmbeddedFileRow rows[] = {{"long.txt", text.data(), text.size()}, {nullptr, nullptr, 0}};
  EmbeddedFileSetTableForTest(rows);
  FilePtr f(EmbeddedFileOpen("long.txt"));
  EmbeddedFileSetTableForTest(nullptr);
  ASSERT_NE(f, nullptr);
  const std::vector<std::string> lines = ReadAll(f.get());
  EXPECT_EQ(lines, (std::vector<std::string>{fits + "\r\n", cut, "\r\n", std::string(1023, 'c'),
                                             std::string(1023, 'c'), std::string(54, 'c')}));
}

TEST(ConverterFiles, CodeTableLinesHaveTheDocumentedForm) {
  FilePtr f(EmbeddedFileOpen("cp857.txt"));
  ASSERT_NE(f, nullptr);
  const std::vector<std::string> lines = ReadAll(f.get());
  ASSERT_EQ(lines.size(), 256u);
  EXPECT_EQ(lines[0x41], "0x41\t0x0041\t#\r\n");
  EXPECT_EQ(lines[0xD5], "0xD5\t0x20AC\t#\r\n");  // the euro variant
  FilePtr greek(EmbeddedFileOpen("8859-7.txt"));
  EXPECT_EQ(ReadAll(greek.get()).size(), 253u);
}

// Rows checked against their sources (Python's codecs, glibc's IBM851 charmap,
// ICU's ibm-1098 and x-iscii-de); an empty code point is a byte without character.
TEST(ConverterFiles, CodeTableRowsFollowTheirSources) {
  struct Row {
    const char* file;
    const char* line;  // without CR LF
  };
  const Row rows[] = {
      {"cp437.txt", "0x80\t0x00C7\t#"},
      {"cp437.txt", "0xFC\t0x207F\t#"},
      {"cp850.txt", "0xEF\t0x00B4\t#"},
      {"cp866.txt", "0xF2\t0x0404\t#"},
      {"cp1252.txt", "0x80\t0x20AC\t#"},
      {"cp1252.txt", "0x81\t      \t#"},
      {"cp1258.txt", "0xEC\t0x0301\t#"},
      {"cp864.txt", "0x25\t0x066A\t#"},
      {"cp1125.txt", "0xF2\t0x0490\t#"},
      {"cp720.txt", "0xA0\t0x0628\t#"},
      {"8859-7.txt", "0xA4\t0x20AC\t#"},
      {"8859-15.txt", "0xA4\t0x20AC\t#"},
      {"kz1048.txt", "0xA4\t0x00A4\t#"},
      {"cp851.txt", "0x9B\t0x03AC\t#"},
      {"cp851.txt", "0xD5\t0x03A9\t#"},
      // ICU rotates the controls of its IBM pages: 7F is U+001A there.
      {"cp1098.txt", "0x7F\t0x001A\t#"},
      {"cp1098.txt", "0x80\t      \t#"},
      {"cp1098.txt", "0x82\t0x060C\t#"},
      {"iscii-de.txt", "0xA4\t0x0905\t#"},
  };
  for (const Row& r : rows) {
    FilePtr f(EmbeddedFileOpen(r.file));
    ASSERT_NE(f, nullptr) << r.file;
    const std::string want = std::string(r.line) + "\r\n";
    const std::vector<std::string> lines = ReadAll(f.get());
    bool found = false;
    for (const std::string& l : lines) found = found || l == want;
    EXPECT_TRUE(found) << r.file << " " << r.line;
  }
  // 8859-7 leaves out its unassigned bytes.
  FilePtr greek(EmbeddedFileOpen("8859-7.txt"));
  ASSERT_NE(greek, nullptr);
  const std::vector<std::string> greekLines = ReadAll(greek.get());
  ASSERT_FALSE(greekLines.empty());
  for (const std::string& l : greekLines) EXPECT_NE(l.substr(0, 5), "0xAE\t");
}

}  // namespace
