#include "foundation/log_rotate.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "foundation/log_state.h"
#include "log_archive_fixture.h"

using namespace tilo2::core;

namespace {

constexpr uint32_t kMB = 1048576;
constexpr uint32_t k5MB = 0x500000;

class LogRotate : public LogArchiveTest {
 protected:
  // Pre-made archive n: a plain marker file, so a move can be followed.
  void make_archive(int n) { write_file(archive(n), marker(n)); }
  static std::string marker(int n) { return "archive " + std::to_string(n); }
  // The counters as the logger keeps them: the file plus 5 MB per archive.
  LogSettings_t settings(int32_t size_mb) const {
    LogSettings_t s{};
    s.output = 1;
    s.size_mb = size_mb;
    s.file_bytes = log_file_size(log_.c_str());
    s.total_bytes = log_archives_size_of(log_.c_str()) + s.file_bytes;
    return s;
  }
  // Which of archives 1..10 exist, as a string like "1234-" (a dash for a gap).
  std::string run() const {
    std::string r;
    for (int n = 1; n <= 10; ++n) r += exists(archive(n)) ? static_cast<char>('0' + n % 10) : '-';
    while (!r.empty() && r.back() == '-') r.pop_back();
    return r;
  }
  // Archive n is a real archive of a file that began with `head` and had `size` bytes.
  void expect_zip_of(int n, const std::string& head, uint32_t size) {
    const std::string zip = read_file(archive(n));
    ASSERT_GE(zip.size(), 42u) << n;
    EXPECT_EQ(le32(zip, 0), 0x04034B50u);
    EXPECT_EQ(le32(zip, 22), size);
    std::string expected = head;
    expected.resize(size, '\0');
    uint32_t stamp = 0;
    EXPECT_TRUE(zip_unpack(zip, stamp) == expected)
        << "archive " << n << " does not hold the old file";
    if (!have_python()) return;
    write_file(dir_ + "/expected", expected);
    const ZipView v = python_view(archive(n), dir_ + "/expected");
    ASSERT_TRUE(v.ok);
    EXPECT_TRUE(v.crc_ok);
    EXPECT_TRUE(v.content_equal);
  }
};

TEST_F(LogRotate, Scenarios) {
  struct Case {
    const char* what;
    int32_t size_mb;
    std::vector<int> archives;  // pre-made archive numbers
    uint32_t file_size;         // 0: no log file
    uint32_t incoming;
    std::string run_after;                   // archives afterwards
    std::vector<std::pair<int, int>> moved;  // {archive now, marker it holds}
    bool file_archived;                      // archive 1 holds the old log file
    bool file_kept;
    uint32_t total_after;
    // The table keeps its hand layout.
    // clang-format off
  } cases[] = {
      {"line takes the file past 5 MB: all shift up, file becomes 1", 50, {1, 2, 3, 4}, k5MB - 50, 100,
       "12345", {{2, 1}, {3, 2}, {4, 3}, {5, 4}}, true, false, 5 * k5MB},
      {"cap pressure deletes oldest first, then the file is archived", 20, {1, 2, 3, 4}, 5138022,
       2 * kMB / 10, "123", {{2, 1}, {3, 2}}, true, false, 3 * k5MB},
      {"cap pressure alone deletes the oldest until it fits", 20, {1, 2, 3, 4}, 1000, 100, "123",
       {{1, 1}, {2, 2}, {3, 3}}, false, true, 3 * k5MB + 1000},
      {"size 1: archives go, the file stays while the line fits", 1, {1, 2}, 1000, 100, "", {}, false,
       true, 1000},
      {"size 1: archives go, then the file itself is deleted", 1, {1, 2}, 600000, 500000, "", {}, false,
       false, 0},
      {"gap: only archive 1 counts and moves, 3 is left alone", 50, {1, 3}, k5MB, 1, "123",
       {{2, 1}, {3, 3}}, true, false, 3 * k5MB},
      {"gap under cap pressure: only archive 1 is deleted", 6, {1, 3}, 3000000, 100, "--3",
       {{3, 3}}, false, true, 3000000},
      {"forced rotation archives a small file", 50, {1}, 300, kLogForcedRotation, "12", {{2, 1}}, true,
       false, 2 * k5MB},
      {"forced rotation without a log file shifts nothing", 50, {1, 2}, 0, kLogForcedRotation, "12",
       {{1, 1}, {2, 2}}, false, false, 2 * k5MB},
      {"no size known yet: forced rotation archives, deletes nothing", 0, {1, 2}, 300,
       kLogForcedRotation, "123", {{2, 1}, {3, 2}}, true, false, 3 * k5MB},
      {"nothing to do", 50, {1}, 1000, 100, "1", {{1, 1}}, false, true, k5MB + 1000},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TearDown();
    SetUp();
    for (int n : c.archives) make_archive(n);
    const std::string head = "old log file\n";
    if (c.file_size != 0) make_sparse(log_, c.file_size, head);
    LogSettings_t s = settings(c.size_mb);

    ASSERT_EQ(log_rotate_with(log_.c_str(), c.incoming, s), 0);

    EXPECT_EQ(run(), c.run_after);
    for (auto [now, was] : c.moved) EXPECT_EQ(read_file(archive(now)), marker(was)) << now;
    if (c.file_archived) expect_zip_of(1, head, c.file_size);
    EXPECT_EQ(exists(log_), c.file_kept);
    EXPECT_EQ(s.file_bytes, c.file_kept ? c.file_size : 0u);
    EXPECT_EQ(s.total_bytes, c.total_after);
  }
}

TEST_F(LogRotate, LeftoverPlainFiles) {
  // "P.3" is archived as "P.3.zip" and deleted; "P.2", whose archive exists,
  // is left alone and its archive is not overwritten.
  write_file(log_ + ".3", "left-over three\n");
  write_file(log_ + ".2", "left-over two\n");
  make_archive(2);
  write_file(log_, "current\n");
  LogSettings_t s = settings(50);
  ASSERT_EQ(log_rotate_with(log_.c_str(), 10, s), 0);
  EXPECT_FALSE(exists(log_ + ".3"));
  expect_zip_of(3, "left-over three\n", 16);
  EXPECT_EQ(read_file(log_ + ".2"), "left-over two\n");
  EXPECT_EQ(read_file(archive(2)), marker(2));
  EXPECT_EQ(read_file(log_), "current\n");
  EXPECT_EQ(s.total_bytes, 8u);  // no archive 1: the run is empty
}

TEST_F(LogRotate, FailuresLoseNothing) {
  {
    SCOPED_TRACE("archive 3 is a folder: the shift fails and is undone");
    make_archive(1);
    make_archive(2);
    ASSERT_EQ(::mkdir(archive(3).c_str(), 0700), 0);
    make_sparse(log_, k5MB, "log\n");
    LogSettings_t s = settings(50);
    EXPECT_EQ(log_rotate_with(log_.c_str(), 100, s), 1);
    EXPECT_EQ(read_file(archive(1)), marker(1));
    EXPECT_EQ(read_file(archive(2)), marker(2));
    EXPECT_EQ(log_file_size(log_.c_str()), k5MB);
  }
  {
    SCOPED_TRACE("the file cannot be archived: the archives move back, no gap at 1");
    TearDown();
    SetUp();
    make_archive(1);
    make_archive(2);
    make_sparse(log_, 0x100000000ull + 1, "log\n");  // too large for a 32-bit archive
    LogSettings_t s = settings(50);
    EXPECT_EQ(log_rotate_with(log_.c_str(), 100, s), 1);
    EXPECT_EQ(run(), "12");
    EXPECT_EQ(read_file(archive(1)), marker(1));
    EXPECT_EQ(read_file(archive(2)), marker(2));
    EXPECT_TRUE(exists(log_));
  }
}

TEST_F(LogRotate, PathLimitsAndUncountedTotals) {
  EXPECT_EQ(log_rotate_with(nullptr, 1, *std::make_unique<LogSettings_t>()), 1);
  LogSettings_t s{};
  s.size_mb = 50;
  const std::string too_long = deep_path(510);
  write_file(too_long, "x");
  EXPECT_EQ(log_rotate_with(too_long.c_str(), kLogForcedRotation, s), 1);
  EXPECT_TRUE(exists(too_long));

  // Counters of 0 mean "not yet counted": rotation counts them first, so the
  // archives are seen and the cap is kept.
  make_archive(1);
  make_archive(2);
  make_sparse(log_, 1000);
  LogSettings_t fresh{};
  fresh.size_mb = 10;
  ASSERT_EQ(log_rotate_with(log_.c_str(), 100, fresh), 0);
  EXPECT_EQ(run(), "1");
  EXPECT_EQ(fresh.total_bytes, k5MB + 1000);
  EXPECT_EQ(fresh.file_bytes, 1000u);
}

TEST_F(LogRotate, PathBoundIsWhereEveryArchiveNameStillFits) {
  // At the bound the file is archived and the highest archive number rotation
  // can reach still makes a name; one character more is refused up front.
  const std::string longest = deep_path(kLogRotatePathMax);
  make_sparse(longest, 300, "longest\n");
  LogSettings_t s{};
  s.size_mb = 50;
  ASSERT_EQ(log_rotate_with(longest.c_str(), kLogForcedRotation, s), 0);
  EXPECT_TRUE(exists(longest + ".1.zip"));
  EXPECT_FALSE(exists(longest));
  char name[kZipNameSize];
  EXPECT_TRUE(log_archive_name(name, sizeof name, longest.c_str(), 820));  // 0xFFFFFFFF / 5 MB + 1

  const std::string over = deep_path(kLogRotatePathMax + 1);
  make_sparse(over, 300, "over\n");
  LogSettings_t t{};
  t.size_mb = 50;
  EXPECT_EQ(log_rotate_with(over.c_str(), kLogForcedRotation, t), 1);
  EXPECT_TRUE(exists(over));
  EXPECT_FALSE(exists(over + ".1.zip"));
}

TEST_F(LogRotate, LargeCapDoesNotWrap) {
  // 4096 MB is 2^32 bytes: a 32-bit product would be 0 and delete everything.
  make_archive(1);
  make_sparse(log_, 1000);
  LogSettings_t s = settings(4096);
  ASSERT_EQ(log_rotate_with(log_.c_str(), 100, s), 0);
  EXPECT_EQ(run(), "1");
  EXPECT_TRUE(exists(log_));
}

}  // namespace
