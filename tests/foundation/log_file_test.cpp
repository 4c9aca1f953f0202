#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <csignal>
#include <string>
#include <vector>

#include "log_test_fixture.h"

namespace {

// For its scope, writes that would take a file past the given size fail with
// EFBIG, as on a full disk or an exhausted quota (SIGXFSZ ignored, so the
// process is not killed). Nothing may be printed to a file meanwhile.
class FileSizeLimit {
 public:
  explicit FileSizeLimit(uintmax_t bytes) {
    previousHandler_ = std::signal(SIGXFSZ, SIG_IGN);
    ::getrlimit(RLIMIT_FSIZE, &previous_);
    rlimit limit = previous_;
    limit.rlim_cur = static_cast<rlim_t>(bytes);
    applied_ = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
  }
  ~FileSizeLimit() {
    ::setrlimit(RLIMIT_FSIZE, &previous_);
    std::signal(SIGXFSZ, previousHandler_);
  }
  bool Applied() const { return applied_; }

 private:
  rlimit previous_{};
  void (*previousHandler_)(int) = SIG_DFL;
  bool applied_ = false;
};

uintmax_t SizeOf(const std::string& path) {
  std::error_code ec;
  const uintmax_t size = std::filesystem::file_size(path, ec);
  return ec ? 0 : size;
}

}  // namespace

TEST_F(LogTest, FailedWritesLeaveWholeLinesTheHeaderAndMatchingCounters) {
  const struct {
    const char* what;
    bool firstLine;      // a line is in the file before the failing write
    uintmax_t headroom;  // bytes the failing write may still put into the file
  } cases[] = {
      {"the first write of a new file fails at once", false, 0},
      {"the header of a new file fails halfway", false, 40},
      {"a line fails halfway", true, 60},
  };
  const std::string torn = "TORN" + std::string(300, 'y');
  const std::string lost = "TPRI_,--,0000000000000000,,,lost," + torn;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    // Each case on its own: a failed ASSERT ends only its case.
    [&] {
      TearDown();
      SetUp();
      use_file();
      ASSERT_EQ(log_initialize(base_.c_str(), "Linux", "Till-1", "1"), 0);
      if (c.firstLine) log_trace("TPRI_", 2, nullptr, 0, "first", LOG_ARG_END);
      const uintmax_t before = SizeOf(log_file_);
      bool applied = false;
      int result = 0;
      {
        FileSizeLimit limit(before + c.headroom);
        applied = limit.Applied();
        result = log_emit_line(lost.c_str(), lost.size());
      }
      ASSERT_TRUE(applied);
      EXPECT_EQ(result, 255);
      EXPECT_EQ(SizeOf(log_file_), before) << "the torn write was kept";

      log_trace("TPRI_", 2, nullptr, 0, "next", LOG_ARG_END);
      const std::string text = read_file(log_file_);
      const auto lines = split_lines(text);
      ASSERT_GE(lines.size(), 6u) << text;
      EXPECT_EQ(lines[0], "SDK NAME: Orvik Tilo SDK");
      EXPECT_EQ(lines[4], "DEVICE NAME: Till-1");
      EXPECT_EQ(text.find("SDK NAME", 1), std::string::npos) << "a second header";
      const std::string first = "TPRI_,--,0000000000000000,,,first";
      const std::string next = "TPRI_,--,0000000000000000,,,next";
      const std::vector<std::string> expected =
          c.firstLine ? std::vector<std::string>{first, next} : std::vector<std::string>{next};
      EXPECT_EQ(bodies(), expected);
      EXPECT_EQ(text.back(), '\n');
      EXPECT_EQ(log_settings().file_bytes, text.size());
      EXPECT_EQ(log_settings().total_bytes, text.size());
    }();
  }
}
