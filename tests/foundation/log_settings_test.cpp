#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "foundation/log_rotate.h"
#include "log_test_fixture.h"

using namespace tilo2::core;

namespace {

struct Settings {
  int output, port, size_mb, level;
  std::string ip;
};

Settings current() {
  const LogSettings_t s = log_settings_snapshot();
  return {s.output, s.port, s.size_mb, s.level, s.ip};
}

bool operator==(const Settings& a, const Settings& b) {
  return a.output == b.output && a.port == b.port && a.size_mb == b.size_mb && a.level == b.level &&
         a.ip == b.ip;
}

}  // namespace

TEST_F(LogTest, PermanentSettingsWriteTheNineLineFile) {
  ASSERT_EQ(log_set_settings(base_.c_str(), 1, 2, "127.0.0.5", 8080, 10, 255), 0);
  EXPECT_EQ(read_file(base_ + "/Tilo2LogSettings.ini"),
            "[ENABLE]\nENABLE=2\n[NETWORK]\nIPADDRESS=127.0.0.5\nPORT=8080\n[MAXSIZE]\nSIZE=10\n"
            "[LEVEL]\nLEVEL=255\n");
  EXPECT_EQ(log_settings_file_flag(), 1);
  // A temporary call writes no file and stops the file from being read.
  ASSERT_EQ(log_set_settings(base_.c_str(), 0, 1, nullptr, 0, 5, 0), 0);
  EXPECT_EQ(log_settings_file_flag(), 0);
  EXPECT_TRUE(read_file(base_ + "/Tilo2LogSettings.ini").find("ENABLE=2") != std::string::npos);
  EXPECT_TRUE(current() ==
              (Settings{1, 0, 5, 0, "127.0.0.5"}));  // the address stays when none is given
  // A missing folder is made for the file.
  EXPECT_EQ(log_set_settings((base_ + "/missing/app").c_str(), 1, 1, nullptr, 0, 6, 0), 0);
  EXPECT_TRUE(read_file(base_ + "/missing/app/Tilo2LogSettings.ini").find("SIZE=6") !=
              std::string::npos);
  // A folder where the file cannot be written: applied all the same, 255.
  write_file(base_ + "/file", "not a folder");
  EXPECT_EQ(log_set_settings((base_ + "/file/app").c_str(), 1, 1, nullptr, 0, 7, 0), 255);
  EXPECT_EQ(current().size_mb, 7);
}

TEST_F(LogTest, SettingsCallRefusesBadValuesAndAppliesNothing) {
  ASSERT_EQ(log_set_settings(base_.c_str(), 0, 1, nullptr, 0, 3, 0), 0);
  const Settings before = current();
  const std::string v6_long = "1234:5678:9abc:def0:1234:5678:9abc:def0";  // 39 characters
  const struct {
    int period, output;
    const char* ip;
    int port, size_mb, level, result;
  } cases[] = {
      {0, 2, "127.0.0.5", 65536, 10, 0, 1},  // port out of range
      {0, 2, "127.0.0.5", -1, 10, 0, 1},     // negative port
      {0, 1, "127.0.0.5", 70000, 10, 0, 1},  // out of range even without TCP output
      {0, 2, nullptr, 9000, 10, 0, 1},       // TCP needs an address
      {0, 2, "no.such.host", 9000, 10, 0, 1},
      {0, 2, "1234:5678:9abc:def0:1234:5678:9abc:def0:1234", 9000, 10, 0, 1},  // not an address
      {0, 1, "abcdefghijklmnopqrstuvwxyzabcdefghijklmnopqrstuvwxyz", 0, 10, 0,
       1},                           // never cut short
      {2, 1, nullptr, 0, 10, 0, 1},  // period
      {0, 3, nullptr, 0, 10, 0, 1},  // output
      {0, 1, nullptr, 0, 51, 0, 1},
      {0, 1, nullptr, 0, 0, 0, 1},
      {0, 1, nullptr, 0, 10, 7, 1},
      {0, 1, nullptr, 0, 201, 255, 1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(log_set_settings(base_.c_str(), c.period, c.output, c.ip, c.port, c.size_mb, c.level),
              c.result)
        << c.output << " " << (c.ip ? c.ip : "null") << " " << c.port << " " << c.size_mb << " "
        << c.level;
    EXPECT_TRUE(current() == before);
  }
  EXPECT_EQ(log_set_settings(base_.c_str(), 0, 1, "no address", 0, 200, 255),
            0);  // address untested for file
  EXPECT_EQ(log_set_settings(base_.c_str(), 0, 2, v6_long.c_str(), 9100, 50, 0), 0);
  EXPECT_TRUE(current() == (Settings{2, 9100, 50, 0, v6_long}));
  EXPECT_EQ(log_set_settings(std::string(600, 'p').c_str(), 0, 1, nullptr, 0, 1, 0), 1);
}

TEST_F(LogTest, SettingsFileIsReadOrRefusedWhole) {
  const std::string path = base_ + "/Tilo2LogSettings.ini";
  const struct {
    const char* name;
    int size_before;
    const char* text;
    int result;
    Settings after;  // output, port, size, level, ip
  } cases[] = {
      {"enable 3", 10, "[ENABLE]\nENABLE=3\n", 255, {0, 0, 10, 0, ""}},
      {"level only, no size", 0, "[LEVEL]\nLEVEL=255\n", 255, {0, 0, 0, 0, ""}},
      {"level only, size 100", 100, "[LEVEL]\nLEVEL=255\n", 0, {0, 0, 100, 255, ""}},
      {"tcp, CR LF, hex port",
       10,
       "[ENABLE]\r\nENABLE=2\r\n[NETWORK]\r\nIPADDRESS=127.0.0.6\r\nPORT=0x1F90\r\n",
       0,
       {2, 8080, 10, 0, "127.0.0.6"}},
      {"file output skips the network section",
       10,
       "[ENABLE]\nENABLE=1\n[NETWORK]\nIPADDRESS=bad\nPORT=99999\n[MAXSIZE]\nSIZE=020\n",
       0,
       {1, 0, 16, 0, ""}},
      {"long IPv6 kept whole",
       10,
       "[ENABLE]\nENABLE=2\n[NETWORK]\nIPADDRESS=1234:5678:9abc:def0:1234:5678:9abc:def0\nPORT=1\n",
       0,
       {2, 1, 10, 0, "1234:5678:9abc:def0:1234:5678:9abc:def0"}},
      {"bad address",
       10,
       "[ENABLE]\nENABLE=2\n[NETWORK]\nIPADDRESS=127.0.0.256\nPORT=1\n",
       255,
       {0, 0, 10, 0, ""}},
      {"negative port",
       10,
       "[ENABLE]\nENABLE=2\n[NETWORK]\nIPADDRESS=127.0.0.6\nPORT=-1\n",
       255,
       {0, 0, 10, 0, ""}},
      {"port 65536",
       10,
       "[ENABLE]\nENABLE=2\n[NETWORK]\nIPADDRESS=127.0.0.6\nPORT=65536\n",
       255,
       {0, 0, 10, 0, ""}},
      {"missing key line", 10, "[ENABLE]\n", 255, {0, 0, 10, 0, ""}},
      {"wrong key", 10, "[MAXSIZE]\nLEVEL=3\n", 255, {0, 0, 10, 0, ""}},
      {"not a number", 10, "[MAXSIZE]\nSIZE=ten\n", 255, {0, 0, 10, 0, ""}},
      {"level 7 needs 1 to 50 MB", 100, "[LEVEL]\nLEVEL=7\n", 255, {0, 0, 100, 0, ""}},
      {"level 7 with 50 MB", 50, "[LEVEL]\nLEVEL=7\n", 0, {0, 0, 50, 7, ""}},
      {"size 0 at level 7", 10, "[MAXSIZE]\nSIZE=0\n[LEVEL]\nLEVEL=7\n", 255, {0, 0, 10, 0, ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    log_reset_state();
    if (c.size_before != 0) {
      LogSettings_t s{};
      s.size_mb = c.size_before;
      log_settings_apply(s);
    }
    write_file(path, c.text);
    EXPECT_EQ(log_read_settings_file(path.c_str()), c.result);
    const Settings got = current();
    EXPECT_TRUE(got == c.after) << got.output << " " << got.port << " " << got.size_mb << " "
                                << got.level << " " << got.ip;
  }
  EXPECT_EQ(log_read_settings_file(nullptr), 1);
  EXPECT_EQ(log_read_settings_file((base_ + "/none.ini").c_str()), 1);
}

TEST_F(LogTest, PathsAreBuiltFromTheBaseFolderOrRefused) {
  LogPaths_t p{};
  ASSERT_EQ(log_build_paths(&p, "/data/app"), 0);
  EXPECT_STREQ(p.base, "/data/app");
  EXPECT_STREQ(p.folder, "/data/app/Tilo2Log");
  EXPECT_STREQ(p.file, "/data/app/Tilo2Log/Tilo2Log.txt");
  EXPECT_EQ(log_build_paths(&p, std::string(500, 'a').c_str()), 1);  // the file path would not fit
  EXPECT_STREQ(p.base, "/data/app");                                 // unchanged
  // The log file path may be as long as rotation handles, no longer: its
  // archive names must still fit.
  const size_t longestBase = kLogRotatePathMax - std::strlen("/Tilo2Log/Tilo2Log.txt");
  LogPaths_t longest{};
  ASSERT_EQ(log_build_paths(&longest, std::string(longestBase, 'a').c_str()), 0);
  EXPECT_EQ(std::strlen(longest.file), static_cast<size_t>(kLogRotatePathMax));
  EXPECT_EQ(log_build_paths(&longest, std::string(longestBase + 1, 'b').c_str()), 1);
  EXPECT_EQ(longest.base, std::string(longestBase, 'a'));
  EXPECT_EQ(log_set_settings(std::string(longestBase + 1, 'b').c_str(), 0, 1, nullptr, 0, 1, 0), 1);
  EXPECT_EQ(log_initialize(std::string(longestBase + 1, 'b').c_str(), "Linux", "Till-1", "1"), 255);
  // An empty folder names no folder (the log would go to the root).
  EXPECT_EQ(log_build_paths(&p, ""), 1);
  EXPECT_STREQ(p.base, "/data/app");
  EXPECT_EQ(log_set_settings("", 0, 1, nullptr, 0, 1, 0), 1);
  EXPECT_EQ(log_initialize("", "Linux", "Till-1", "1"), 255);
  EXPECT_EQ(log_settings_snapshot().output, 0);
  EXPECT_EQ(log_build_paths(nullptr, "x"), 0);
  EXPECT_EQ(log_build_paths(&p, nullptr), 0);
}

TEST_F(LogTest, HeaderOfANewFileAndArchiveOnChange) {
  ASSERT_EQ(log_set_settings(base_.c_str(), 0, 1, nullptr, 0, 10, 0), 0);
  ASSERT_EQ(log_initialize(base_.c_str(), "Linux", "Till-1", "123456"), 0);
  log_trace("TPRI_", 2, nullptr, 0, "first", LOG_ARG_END);
  const std::string header =
      "SDK NAME: Orvik Tilo SDK\nSDK VERSION: Ver.2.7.0\nDEVICE OS: Linux\n"
      "DEVICE OS VERSION: N/A(10 or later)\nDEVICE NAME: Till-1\nSTORAGE SIZE: 123456\n";
  std::string text = read_file(log_file_);
  ASSERT_EQ(text.compare(0, header.size(), header), 0) << text;
  EXPECT_EQ(log_settings().file_bytes, text.size());

  // Same environment, other free space: the file is continued.
  ASSERT_EQ(log_initialize(base_.c_str(), "Linux", "Till-1", "999"), 0);
  log_trace("TPRI_", 2, nullptr, 0, "second", LOG_ARG_END);
  EXPECT_EQ(bodies().size(), 2u);
  EXPECT_FALSE(std::filesystem::exists(log_file_ + ".1.zip"));

  // Another device: the old file goes into archive 1 and a new one begins.
  ASSERT_EQ(log_initialize(base_.c_str(), "Linux", "Till-2", "999"), 0);
  EXPECT_TRUE(std::filesystem::exists(log_file_ + ".1.zip"));
  EXPECT_FALSE(std::filesystem::exists(log_file_));
  log_trace("TPRI_", 2, nullptr, 0, "third", LOG_ARG_END);
  text = read_file(log_file_);
  EXPECT_NE(text.find("DEVICE NAME: Till-2\nSTORAGE SIZE: 999\n"), std::string::npos);
  EXPECT_EQ(bodies(), std::vector<std::string>{"TPRI_,--,0000000000000000,,,third"});
  EXPECT_EQ(log_settings().total_bytes, 0x500000u + text.size());
}

TEST_F(LogTest, ShortOrForeignHeaderIsArchivedWithoutLosingArchives) {
  // Settings not read yet (no cap known): the file is archived, nothing deleted.
  write_file(log_file_, "SDK NAME: Orvik Tilo SDK\nonly two lines\n");
  write_file(log_file_ + ".1.zip", "older archive");
  EXPECT_EQ(log_initialize(base_.c_str(), "Linux", "Till-1", "1"), 255);  // no settings file
  EXPECT_FALSE(std::filesystem::exists(log_file_));
  EXPECT_TRUE(std::filesystem::exists(log_file_ + ".1.zip"));
  EXPECT_EQ(read_file(log_file_ + ".2.zip"), "older archive");
}

TEST_F(LogTest, InitializeReadsTheSettingsFileUnlessTheLastCallWasTemporary) {
  EXPECT_EQ(log_initialize(nullptr, "a", "b", "c"), 1);
  EXPECT_EQ(log_initialize(base_.c_str(), "a", nullptr, "c"), 1);
  EXPECT_EQ(log_initialize(std::string(600, 'p').c_str(), "a", "b", "c"), 255);
  write_file(base_ + "/Tilo2LogSettings.ini", "[ENABLE]\nENABLE=1\n[MAXSIZE]\nSIZE=4\n");
  ASSERT_EQ(log_initialize(base_.c_str(), "Linux", "Till-1", "1"), 0);
  EXPECT_EQ(current().output, 1);
  EXPECT_EQ(current().size_mb, 4);
  ASSERT_EQ(log_set_settings(nullptr, 0, 0, nullptr, 0, 1, 0), 0);
  ASSERT_EQ(log_initialize(base_.c_str(), "Linux", "Till-1", "1"), 0);
  EXPECT_EQ(current().output, 0);
}

TEST_F(LogTest, RotationThatOnlyDropsArchivesKeepsTheFileWithoutASecondHeader) {
  ASSERT_EQ(log_set_settings(base_.c_str(), 0, 1, nullptr, 0, 1, 0), 0);
  ASSERT_EQ(log_initialize(base_.c_str(), "Linux", "Till-1", "1"), 0);
  log_trace("TPRI_", 2, nullptr, 0, "first", LOG_ARG_END);
  // An old archive pushes the total (5 MB each) over the 1 MB cap.
  write_file(log_file_ + ".1.zip", "old");
  log_reset_state();
  ASSERT_EQ(log_set_settings(base_.c_str(), 0, 1, nullptr, 0, 1, 0), 0);
  ASSERT_EQ(log_initialize(base_.c_str(), "Linux", "Till-1", "1"), 0);
  log_trace("TPRI_", 2, nullptr, 0, "second", LOG_ARG_END);
  EXPECT_FALSE(std::filesystem::exists(log_file_ + ".1.zip"));
  const std::string text = read_file(log_file_);
  EXPECT_EQ(text.find("SDK NAME"), 0u);
  EXPECT_EQ(text.find("SDK NAME", 1), std::string::npos);
  EXPECT_EQ(bodies(), (std::vector<std::string>{"TPRI_,--,0000000000000000,,,first",
                                                "TPRI_,--,0000000000000000,,,second"}));
  EXPECT_EQ(log_settings().file_bytes, text.size());
  EXPECT_EQ(log_settings().total_bytes, text.size());
}

TEST_F(LogTest, AnotherFolderIsCountedAfreshNotWithTheOldFoldersCounters) {
  // Folder A leaves the counters just below both caps (10 MB, and 5 MB per
  // file); folder B holds a small file and one archive. Carried over, A's
  // counters made B's next line delete B's archive and archive its small file.
  const struct {
    const char* what;
    bool byInitialize;  // else by a settings call naming the folder
  } cases[] = {{"settings call", false}, {"initialize", true}};
  const std::string firstInB = "TPRI_,--,0000000000000000,,,in B";
  const std::string secondInB = "TPRI_,--,0000000000000000,,,second in B";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Each case on its own: a failed ASSERT ends only its case.
    [&] {
      TearDown();
      SetUp();
      const std::string a = base_ + "/a";
      const std::string b = base_ + "/b";
      const std::string fileA = a + "/Tilo2Log/Tilo2Log.txt";
      const std::string fileB = b + "/Tilo2Log/Tilo2Log.txt";
      std::filesystem::create_directories(a);
      std::filesystem::create_directories(b);
      ASSERT_EQ(log_set_settings(b.c_str(), 0, 1, nullptr, 0, 10, 0), 0);
      ASSERT_EQ(log_initialize(b.c_str(), "Linux", "Till-1", "1"), 0);
      log_trace("TPRI_", 2, nullptr, 0, "in B", LOG_ARG_END);
      write_file(fileB + ".1.zip", "archive of B");
      const std::string textB = read_file(fileB);
      ASSERT_EQ(split_lines(textB).size(), 7u) << textB;

      log_reset_state();
      write_file(fileA, "old lines of A\n");
      ASSERT_EQ(::truncate(fileA.c_str(), 0x500000 - 100), 0);
      write_file(fileA + ".1.zip", "archive of A");
      ASSERT_EQ(log_set_settings(a.c_str(), 0, 1, nullptr, 0, 10, 0), 0);
      log_trace("TPRI_", 2, nullptr, 0, "in A", LOG_ARG_END);
      ASSERT_GT(log_settings().file_bytes, 0x500000u - 100);  // A is counted, close to the caps

      if (c.byInitialize) {
        ASSERT_EQ(log_initialize(b.c_str(), "Linux", "Till-1", "1"), 0);
      } else {
        ASSERT_EQ(log_set_settings(b.c_str(), 0, 1, nullptr, 0, 10, 0), 0);
      }
      log_trace("TPRI_", 2, nullptr, 0, "second in B", LOG_ARG_END);

      EXPECT_EQ(read_file(fileB + ".1.zip"), "archive of B");
      EXPECT_FALSE(std::filesystem::exists(fileB + ".2.zip"));
      const std::string text = read_file(fileB);
      EXPECT_EQ(text.compare(0, textB.size(), textB), 0) << "B's file was not continued";
      const auto lines = split_lines(text);
      ASSERT_EQ(lines.size(), 8u) << text;
      EXPECT_EQ(lines[6].substr(42), firstInB);
      EXPECT_EQ(lines[7].substr(42), secondInB);
      EXPECT_EQ(log_settings().file_bytes, text.size());
      EXPECT_EQ(log_settings().total_bytes, 0x500000u + text.size());
    }();
  }
}
