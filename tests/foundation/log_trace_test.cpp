// <regex> trips a false "maybe uninitialized" in GCC 12 sanitizer builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "foundation/platform.h"
#include "log_test_fixture.h"

using namespace tilo2::core;

namespace {

const uint8_t kBytes[] = {0x01, 0x02, 0xFF};
const LogByteBuffer_t kDump{3, kBytes};
const LogByteBuffer_t kNullDump{3, nullptr};
const LogByteBuffer_t kEmptyDump{0, kBytes};

std::string hex_of(const std::vector<uint8_t>& bytes, size_t from, size_t to) {
  std::string s;
  char b[4];
  for (size_t i = from; i < to; ++i) {
    std::snprintf(b, sizeof b, " %02X", bytes[i]);
    s += b;
  }
  return s;
}

std::vector<uint8_t> counting(size_t n) {
  std::vector<uint8_t> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(i * 7 + 1);
  return v;
}

}  // namespace

TEST_F(LogTest, TraceBodiesForEveryKindAndArgumentType) {
  use_file();
  const void* h = log_handle(0x1234);
  log_trace("TPRI_", 1, h, 0x2A, "TiloOpenPrinter", LOG_ARG_INT, 5, LOG_ARG_END);
  log_trace("TPRI_", 0, h, 0x2A, nullptr, LOG_ARG_END);
  log_trace_rc("TDEV_", 2, h, 7, "f", LOG_ARG_LONG, -7, LOG_ARG_HEX, 0xABCDu, LOG_ARG_END);
  log_trace("IOCMN", 3, h, 0, "f", LOG_ARG_DOUBLE, 1.5, LOG_ARG_STRING, "abc", LOG_ARG_END);
  log_trace("APIIO", 4, h, 0, "f", LOG_ARG_POINTER, log_handle(0xAB), LOG_ARG_STRING, nullptr,
            LOG_ARG_END);
  log_trace("TPRI_", 2, h, 0, "f", LOG_ARG_DUMP, &kDump, LOG_ARG_DUMP, &kNullDump, LOG_ARG_DUMP,
            &kEmptyDump, LOG_ARG_INT, 1, LOG_ARG_END);
  log_trace("TPRI_", 1, log_handle(-1), -1, "f", LOG_ARG_INT, 2, 99, LOG_ARG_INT, 3, LOG_ARG_END);
  // Not written: unknown kind, null tag.
  log_trace("TPRI_", 5, h, 0, "f", LOG_ARG_END);
  log_trace(nullptr, 0, h, 0, "f", LOG_ARG_END);
  EXPECT_EQ(log_trace_rc("TPRI_", -1, h, 0, "f", LOG_ARG_END), 0);

  const std::vector<std::string> expected = {
      "TPRI_,<-,0000000000001234,,2a,TiloOpenPrinter,5",
      "TPRI_,->,0000000000001234,,,NULL",
      "TDEV_,--,0000000000001234,,,f,-7,0xabcd",
      "IOCMN,<<,0000000000001234,,,f,1.5,abc",
      "APIIO,-i,0000000000001234,,,f,00000000000000AB,NULL",
      "TPRI_,--,0000000000001234,,,f 01 02 FF,NULL,,1",
      "TPRI_,<-,ffffffffffffffff,,ffffffff,f,2",  // an unknown type ends the list
  };
  EXPECT_EQ(bodies(), expected);
}

TEST_F(LogTest, LinePrefixIsDateTimeProcessAndThread) {
  use_file();
  log_trace("TPRI_", 2, nullptr, 0, "f", LOG_ARG_END);
  const auto lines = log_lines();
  ASSERT_EQ(lines.size(), 1u);
  const std::string prefix = lines[0].substr(0, 42);
  EXPECT_TRUE(std::regex_match(
      prefix,
      std::regex(R"(\d{4}/\d\d/\d\d,\d\d:\d\d:\d\d\.\d{3},0000[0-9a-f]{4}:0000[0-9a-f]{4},)")))
      << prefix;
  char pid[10];
  std::snprintf(pid, sizeof pid, "%08x", static_cast<unsigned>(getpid()) & 0xFFFF);
  EXPECT_EQ(prefix.substr(24, 8), pid);
  char tid[10];
  std::snprintf(tid, sizeof tid, "%08x", platform_thread_self_id() & 0xFFFF);
  EXPECT_EQ(prefix.substr(33, 8), tid);
}

TEST_F(LogTest, DumpsAreShortenedAboveOneHundredTwentyBytesBelowFullLevel) {
  for (int level : {0, 255}) {
    SCOPED_TRACE(level);
    log_reset_state();
    std::filesystem::remove_all(base_ + "/Tilo2Log");
    use_file(level);
    for (size_t n : {120u, 121u}) {
      const auto data = counting(n);
      const LogByteBuffer_t buf{static_cast<uint32_t>(n), data.data()};
      log_trace("TPRI_", 2, nullptr, 0, "f", LOG_ARG_DUMP, &buf, LOG_ARG_END);
      const std::string all = hex_of(data, 0, n);
      const std::string cut = hex_of(data, 0, 80) + " ... " + hex_of(data, n - 40, n);
      const bool shortened = level == 0 && n == 121;
      EXPECT_EQ(last_body(), "TPRI_,--,0000000000000000,,,f" + (shortened ? cut : all)) << n;
    }
  }
}

TEST_F(LogTest, WriteAndReadDumpLines) {
  use_file();
  const auto data = counting(200);
  EXPECT_EQ(log_write_dump("IOCMN", "TCP", log_handle(3), 4, 0x10, data.data(), 0), 0);
  EXPECT_EQ(last_body(),
            "IOCMN,--,0000000000000003,TCP,,Write,00000010,00000004," + hex_of(data, 0, 4));
  EXPECT_EQ(log_read_dump("IOCMN", "UDP", log_handle(3), 200, data.data(), 0), 0);
  EXPECT_EQ(last_body(), "IOCMN,--,0000000000000003,UDP,,Read,,000000c8," + hex_of(data, 0, 80) +
                             " ... " + hex_of(data, 160, 200));
  std::string text(130, 'a');
  text.replace(80, 10, "bbbbbbbbbb");
  text.replace(90, 40, std::string(40, 'z'));
  EXPECT_EQ(log_read_dump("IOCMN", "BTH", nullptr, text.size(), text.data(), 1), 0);
  EXPECT_EQ(last_body(), "IOCMN,--,0000000000000000,BTH,,Read,,00000082," + text.substr(0, 80) +
                             " ... " + std::string(40, 'z'));
  const char with_nul[] = {'a', 'b', '\0', 'c'};
  EXPECT_EQ(log_read_dump("IOCMN", "USB", nullptr, 4, with_nul, 1), 0);
  EXPECT_EQ(last_body(), "IOCMN,--,0000000000000000,USB,,Read,,00000004,ab");
  EXPECT_EQ(log_read_dump("IOCMN", "TCP", nullptr, 0, with_nul, 0), 0);
  EXPECT_EQ(last_body(), "IOCMN,--,0000000000000000,TCP,,Read,,00000000,,");
}

TEST_F(LogTest, FullLevelWritesEverythingAndErrorLines) {
  log_error_line("ERROR", "src/x.cpp", 12);  // output off
  use_file(0);
  log_error_line("ERROR", "src/x.cpp", 12);  // level 0: nothing
  EXPECT_TRUE(bodies().empty());
  use_file(255);
  log_error_line("ERROR", "src/x.cpp", 12);
  EXPECT_EQ(last_body(), "ERROR,--,src/x.cpp(12)");
  const auto data = counting(300);
  EXPECT_EQ(log_write_dump("IOCMN", "TCP", nullptr, 300, 300, data.data(), 0), 0);
  EXPECT_EQ(last_body(),
            "IOCMN,--,0000000000000000,TCP,,Write,0000012c,0000012c," + hex_of(data, 0, 300));
  const std::string long_text(1100, 'x');
  const std::string kept(1000, 'y');
  log_trace("TPRI_", 2, nullptr, 0, "f", LOG_ARG_STRING, kept.c_str(), LOG_ARG_STRING,
            long_text.c_str(), LOG_ARG_INT, 1, LOG_ARG_END);
  EXPECT_EQ(last_body(), "TPRI_,--,0000000000000000,,,f," + kept);
  EXPECT_EQ(read_file(log_file_).back(), '\n');
}

TEST_F(LogTest, NormalLevelCutsALongLineAt1023Characters) {
  use_file();
  const std::string long_text(2000, 'x');
  log_trace("TPRI_", 2, nullptr, 0, "f", LOG_ARG_STRING, long_text.c_str(), LOG_ARG_INT, 9,
            LOG_ARG_END);
  auto lines = log_lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].size(), 1023u);
  EXPECT_EQ(lines[0].back(), 'x');
  // A short argument after a long one that still fits is written.
  const std::string mid(900, 'm');
  log_trace("TPRI_", 2, nullptr, 0, "f", LOG_ARG_STRING, mid.c_str(), LOG_ARG_INT, 9, LOG_ARG_END);
  EXPECT_EQ(last_body(), "TPRI_,--,0000000000000000,,,f," + mid + ",9");
  const std::string text = read_file(log_file_);
  EXPECT_EQ(text.back(), '\n');
}

TEST_F(LogTest, OutputOffWritesNothing) {
  log_trace("TPRI_", 2, nullptr, 0, "f", LOG_ARG_END);
  EXPECT_EQ(log_write_dump("IOCMN", "TCP", nullptr, 1, 1, "a", 1), 0);
  // Paths known, output still off.
  ASSERT_EQ(log_set_settings(base_.c_str(), 0, 0, nullptr, 0, 1, 0), 0);
  log_trace("TPRI_", 2, nullptr, 0, "f", LOG_ARG_END);
  log_error_line("ERROR", "x", 1);
  EXPECT_FALSE(std::filesystem::exists(base_ + "/Tilo2Log"));
  EXPECT_EQ(log_emit_line(nullptr, 0), 255);
  EXPECT_EQ(log_emit_line("x", 1), 255);  // output 0 is no output
}

TEST_F(LogTest, EightThreadsWriteOnlyWholeLines) {
  use_file(0, 50);
  constexpr int kThreads = 8;
  constexpr int kLines = 1000;
  struct Arg {
    int index;
  } args[kThreads];
  PlatformThread_t threads[kThreads]{};
  for (int i = 0; i < kThreads; ++i) {
    args[i].index = i;
    ASSERT_EQ(platform_thread_create(
                  &threads[i],
                  [](void* raw) -> void* {
                    const int index = static_cast<Arg*>(raw)->index;
                    for (int n = 0; n < kLines; ++n) {
                      log_trace("TPRI_", 2, nullptr, 0, "worker", LOG_ARG_INT, index, LOG_ARG_INT,
                                n, LOG_ARG_STRING, "0123456789abcdefghijklmnopqrstuvwxyz",
                                LOG_ARG_END);
                    }
                    return nullptr;
                  },
                  &args[i]),
              0);
  }
  for (auto& t : threads) {
    platform_thread_join(t);
    platform_thread_close(t);
  }
  const auto lines = log_lines();
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  const std::regex whole(
      R"(\d{4}/\d\d/\d\d,\d\d:\d\d:\d\d\.\d{3},[0-9a-f]{8}:([0-9a-f]{8}),TPRI_,--,0{16},,,worker,(\d),(\d+),0123456789abcdefghijklmnopqrstuvwxyz)");
  std::vector<int> next(kThreads, 0);
  std::vector<std::string> thread_field(kThreads);
  for (const auto& line : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(line, m, whole)) << line;
    const int index = std::stoi(m[2]);
    EXPECT_EQ(std::stoi(m[3]), next[index]++);  // each thread's lines in its order
    if (thread_field[index].empty()) thread_field[index] = m[1];
    EXPECT_EQ(thread_field[index], m[1]);
  }
  EXPECT_NE(thread_field[0], thread_field[1]);
}

TEST_F(LogTest, FullLevelDumpArgumentKeepsUpTo1023Characters) {
  use_file(255);
  // Each dump byte is three characters: 341 bytes are 1023 characters and
  // still fit one argument; 342 bytes (1026) are left out and end the list.
  const struct {
    size_t bytes;
    bool kept;
  } cases[] = {{340, true}, {341, true}, {342, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    const auto data = counting(c.bytes);
    const LogByteBuffer_t buf{static_cast<uint32_t>(c.bytes), data.data()};
    log_trace("TPRI_", 2, nullptr, 0, "f", LOG_ARG_DUMP, &buf, LOG_ARG_INT, 7, LOG_ARG_END);
    EXPECT_EQ(last_body(),
              "TPRI_,--,0000000000000000,,,f" + (c.kept ? hex_of(data, 0, c.bytes) + ",7" : ""));
  }
  // A missing data pointer shows ",NULL" whatever length it claims.
  const LogByteBuffer_t no_data{5000, nullptr};
  log_trace("TPRI_", 2, nullptr, 0, "f", LOG_ARG_DUMP, &no_data, LOG_ARG_INT, 7, LOG_ARG_END);
  EXPECT_EQ(last_body(), "TPRI_,--,0000000000000000,,,f,NULL,7");
}
