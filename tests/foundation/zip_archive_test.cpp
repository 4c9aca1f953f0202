#include <gtest/gtest.h>

#include <ctime>
#include <random>
#include <string>

#include "foundation/log_rotate.h"
#include "foundation/zip_writer.h"
#include "log_archive_fixture.h"

using namespace tilo2::core;

namespace {

TEST(ZipDosStamp, FieldsAndClamping) {
  struct Case {
    int y, mo, d, h, mi, s;
    uint16_t date, time;
  } cases[] = {
      {2026, 12, 10, 12, 38, 27, static_cast<uint16_t>((46 << 9) | (12 << 5) | 10),
       static_cast<uint16_t>((12 << 11) | (38 << 5) | 13)},
      {1980, 1, 1, 0, 0, 0, 0x0021, 0x0000},
      {2107, 12, 31, 23, 59, 59, 0xFF9F, 0xBF7D},
      {1970, 1, 1, 0, 0, 1, 0x0021, 0x0000},  // before the field's epoch: its first day
      {2200, 6, 1, 23, 59, 60, 0xFF9F,
       0xBF7D},  // after its end: its last day; leap second kept in range
  };
  for (const auto& c : cases) {
    EXPECT_EQ(zip_dos_date(c.y, c.mo, c.d), c.date) << c.y;
    EXPECT_EQ(zip_dos_time(c.h, c.mi, c.s), c.time) << c.y;
  }
}

TEST(ZipRecords, GoldenBytes) {
  std::FILE* f = std::tmpfile();
  ASSERT_NE(f, nullptr);
  const ZipLocalHeader_t local{0x6135, 0x5D8A, 0xCBF43926, 0x11, 0x09};
  const ZipCentralHeader_t central{0x6135, 0x5D8A, 0xCBF43926, 0x11, 0x09, 0};
  const ZipEndRecord_t end{58, 59};
  ASSERT_EQ(zip_write_local_header(f, local), 0);
  ASSERT_EQ(zip_write_central_header(f, central), 0);
  ASSERT_EQ(zip_write_end_record(f, end), 0);
  std::string bytes(static_cast<size_t>(std::ftell(f)), '\0');
  std::rewind(f);
  ASSERT_EQ(std::fread(bytes.data(), 1, bytes.size(), f), bytes.size());
  std::fclose(f);
  const std::string golden =
      std::string(
          "\x50\x4B\x03\x04\x14\x00\x00\x00\x08\x00\x35\x61\x8A\x5D\x26\x39\xF4\xCB"
          "\x11\x00\x00\x00\x09\x00\x00\x00\x0C\x00\x00\x00Tilo2Log.txt",
          42) +
      std::string(
          "\x50\x4B\x01\x02\x14\x00\x14\x00\x00\x00\x08\x00\x35\x61\x8A\x5D\x26\x39"
          "\xF4\xCB\x11\x00\x00\x00\x09\x00\x00\x00\x0C\x00\x00\x00\x00\x00\x00\x00"
          "\x00\x00\x00\x00\x00\x00\x00\x00\x00\x00Tilo2Log.txt",
          58) +
      std::string(
          "\x50\x4B\x05\x06\x00\x00\x00\x00\x01\x00\x01\x00\x3A\x00\x00\x00\x3B\x00"
          "\x00\x00\x00\x00",
          22);
  EXPECT_EQ(bytes, golden);
}

TEST(ZipRecords, UnwritableFileAnswers255) {
  std::FILE* f = std::fopen("/dev/null", "rb");  // opened for reading only
  ASSERT_NE(f, nullptr);
  EXPECT_EQ(zip_write_local_header(f, ZipLocalHeader_t{}), 255);
  EXPECT_EQ(zip_write_central_header(f, ZipCentralHeader_t{}), 255);
  EXPECT_EQ(zip_write_end_record(f, ZipEndRecord_t{}), 255);
  std::fclose(f);
  EXPECT_EQ(zip_write_end_record(nullptr, ZipEndRecord_t{}), 255);
}

uint32_t dos_stamp_now() {
  const std::time_t t = std::time(nullptr);
  std::tm lt{};
  localtime_r(&t, &lt);
  return static_cast<uint32_t>(zip_dos_date(lt.tm_year + 1900, lt.tm_mon + 1, lt.tm_mday)) << 16 |
         zip_dos_time(lt.tm_hour, lt.tm_min, lt.tm_sec);
}

std::string random_bytes(size_t n) {
  std::mt19937 gen(7);
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(gen() & 0xFF);
  return s;
}

using LogZipFile = LogArchiveTest;

TEST_F(LogZipFile, ArchivesContentTimeAndDeletesSource) {
  struct Case {
    const char* what;
    std::string content;
    int n;
  } cases[] = {
      {"empty", "", 1},
      {"text", "2026/12/10,12:38:27.000,00001234:00005678,TPRI_,->,0000000000001234,,,Open\n", 2},
      {"random, many output chunks", random_bytes(200000), 0},
      {"compressible", std::string(300000, 'x'), 10},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string src = log_ + ".src";
    const std::string keep = dir_ + "/expected";
    write_file(src, c.content);
    write_file(keep, c.content);
    const uint32_t before = dos_stamp_now();
    ASSERT_EQ(log_zip_file(src.c_str(), c.n), 0);
    const uint32_t after = dos_stamp_now();
    EXPECT_FALSE(exists(src));
    const std::string zip_name = c.n == 0 ? src + ".zip" : src + "." + std::to_string(c.n) + ".zip";
    const std::string zip = read_file(zip_name);
    uint32_t stamp = 0;
    EXPECT_EQ(zip_unpack(zip, stamp), c.content);
    EXPECT_GE(stamp, before);
    EXPECT_LE(stamp, after);
    if (c.content.empty()) {
      EXPECT_EQ(le32(zip, 14), 0u);  // CRC of nothing
      EXPECT_EQ(le32(zip, 22), 0u);
      EXPECT_GT(le32(zip, 18), 0u);  // still a (final, empty) deflate block
    }
    if (have_python()) {
      const ZipView v = python_view(zip_name, keep);
      ASSERT_TRUE(v.ok);
      EXPECT_EQ(v.names, "Tilo2Log.txt");
      EXPECT_TRUE(v.crc_ok);
      EXPECT_TRUE(v.content_equal);
      EXPECT_EQ(v.file_size, c.content.size());
      EXPECT_EQ(v.dos_stamp, stamp);
    }
    std::filesystem::remove(zip_name);
  }
}

TEST_F(LogZipFile, CrcFieldsHoldTheStandardCrc32) {
  const std::string allBytes = [] {
    std::string bytes;
    for (int i = 0; i < 256; ++i) bytes.push_back(static_cast<char>(i));
    return bytes;
  }();
  const struct {
    std::string content;
    uint32_t crc;
  } cases[] = {
      {"123456789", 0xCBF43926u},  // the check value of CRC-32
      {"a", 0xE8B7BE43u},
      {"", 0u},
      {allBytes, 0x29058C73u},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.content.size());
    write_file(log_, c.content);
    ASSERT_EQ(log_zip_file(log_.c_str(), 1), 0);
    const std::string zip = read_file(archive(1));
    ASSERT_GE(zip.size(), 42u + 58u + 22u);
    const uint32_t directory = le32(zip, zip.size() - 22 + 16);
    EXPECT_EQ(le32(zip, 14), c.crc);              // local header
    EXPECT_EQ(le32(zip, directory + 16), c.crc);  // central directory
    std::filesystem::remove(archive(1));
  }
}

TEST_F(LogZipFile, PythonReadsArchive) {
  if (!have_python()) GTEST_SKIP() << "python3 with zipfile not available";
  const std::string content = "first line\r\nsecond line\n\x00\xFF binary tail";
  write_file(log_, content);
  write_file(dir_ + "/expected", content);
  const uint32_t before = dos_stamp_now();
  ASSERT_EQ(log_zip_file(log_.c_str(), 1), 0);
  const uint32_t after = dos_stamp_now();
  const ZipView v = python_view(archive(1), dir_ + "/expected");
  ASSERT_TRUE(v.ok);
  EXPECT_EQ(v.names, "Tilo2Log.txt");
  EXPECT_TRUE(v.crc_ok);
  EXPECT_TRUE(v.content_equal);
  EXPECT_GE(v.dos_stamp, before);
  EXPECT_LE(v.dos_stamp, after);
}

TEST_F(LogZipFile, FailuresKeepSourceAndLeaveNoArchive) {
  // Missing source: nothing is created.
  EXPECT_EQ(log_zip_file(log_.c_str(), 1), 255);
  EXPECT_FALSE(exists(archive(1)));
  // No path.
  EXPECT_EQ(log_zip_file(nullptr, 1), 1);
  EXPECT_EQ(log_zip_file("", 1), 1);

  // An existing archive is never overwritten.
  write_file(log_, "current lines\n");
  write_file(archive(1), "older archive");
  EXPECT_EQ(log_zip_file(log_.c_str(), 1), 255);
  EXPECT_EQ(read_file(archive(1)), "older archive");
  EXPECT_EQ(read_file(log_), "current lines\n");

  // An archive name of 512 characters or more.
  const std::string long_path = deep_path(506);  // 506 + ".1.zip" = 512 characters
  write_file(long_path, "x");
  const std::string fits = deep_path(505);
  write_file(fits, "x");
  EXPECT_EQ(log_zip_file(fits.c_str(), 1), 0);
  EXPECT_EQ(log_zip_file(long_path.c_str(), 1), 255);
  EXPECT_TRUE(exists(long_path));

  // A directory is no file to archive.
  const std::string folder = dir_ + "/folder";
  ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
  EXPECT_EQ(log_zip_file(folder.c_str(), 0), 255);
  EXPECT_FALSE(exists(folder + ".zip"));

  // Larger than the 32-bit sizes of the archive can express (sparse, nothing written).
  const std::string huge = dir_ + "/huge";
  make_sparse(huge, 0x100000000ull + 10);
  EXPECT_EQ(log_zip_file(huge.c_str(), 1), 255);
  EXPECT_TRUE(exists(huge));
  EXPECT_FALSE(exists(huge + ".1.zip"));

  // A negative number names no archive.
  EXPECT_EQ(log_zip_file(log_.c_str(), -1), 255);
  EXPECT_TRUE(exists(log_));
}

TEST_F(LogZipFile, FileQueries) {
  EXPECT_FALSE(log_file_exists(log_.c_str()));
  EXPECT_EQ(log_file_size(log_.c_str()), 0u);
  make_sparse(log_, 4900000);
  EXPECT_TRUE(log_file_exists(log_.c_str()));
  EXPECT_EQ(log_file_size(log_.c_str()), 4900000u);
  EXPECT_FALSE(log_file_exists(dir_.c_str()));
  EXPECT_EQ(log_file_size(dir_.c_str()), 0u);
  EXPECT_FALSE(log_file_exists(nullptr));
  EXPECT_EQ(log_file_size(nullptr), 0u);

  EXPECT_EQ(log_archive_size(log_.c_str(), 1), 0u);
  write_file(archive(1), "a");
  write_file(archive(2), "b");
  write_file(archive(4), "d");  // after a gap: not counted
  EXPECT_EQ(log_archive_size(log_.c_str(), 1), 0x500000u);
  EXPECT_EQ(log_archive_size(log_.c_str(), 3), 0u);
  EXPECT_EQ(log_archive_size(log_.c_str(), 4), 0x500000u);
  EXPECT_EQ(log_archives_size_of(log_.c_str()), 2u * 0x500000u);
  ASSERT_EQ(::mkdir(archive(3).c_str(), 0700), 0);  // a directory is no archive
  EXPECT_EQ(log_archives_size_of(log_.c_str()), 2u * 0x500000u);
}

}  // namespace
