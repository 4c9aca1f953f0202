// <regex> trips a false "maybe uninitialized" in GCC 12 sanitizer builds.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/ioctl.h>

#include <cerrno>
#include <cstring>
#include <regex>

#include "foundation/platform.h"
#include "foundation/platform_regex.h"

using namespace tilo2::core;

TEST(PlatformSocket, ErrnoMapPutsLinuxNumbersIntoTheWrapperSpace) {
  const struct {
    int native;
    int code;
  } cases[] = {
      {0, 0},
      {EINPROGRESS, 112},
      {ETIMEDOUT, 138},
      {ECONNREFUSED, 107},
      {ECONNRESET, 108},
      {EHOSTUNREACH, 110},
      {ENETUNREACH, 118},
      {ECONNABORTED, 106},
      {ENOBUFS, 119},
      {ENOTCONN, 126},
      {EAFNOSUPPORT, 102},
      {EPROTONOSUPPORT, 135},
      {EAGAIN, 11},
      {EINTR, 4},
      {ENOMEM, 12},
      {EACCES, 13},
      {EMFILE, 24},
      {EPIPE, 32},
      {ENFILE, 23},
      {EBADF, 14},
      {10035, 14},
  };
  for (const auto& c : cases) EXPECT_EQ(platform_socket_errno(c.native), c.code) << c.native;
}

TEST(PlatformSocket, FailuresSetMappedErrno) {
  errno = 0;
  EXPECT_EQ(platform_socket(12345, SOCK_STREAM, 0), -1);
  EXPECT_EQ(errno, 102);

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* out = reinterpret_cast<addrinfo*>(1);
  EXPECT_EQ(platform_getaddrinfo(nullptr, nullptr, &hints, &out), 10022);
  EXPECT_EQ(platform_getaddrinfo("127.0.0.2", "80", nullptr, &out), 10022);
  hints.ai_flags = AI_NUMERICHOST;
  EXPECT_EQ(platform_getaddrinfo("not an address", "80", &hints, &out), 10022);
  EXPECT_EQ(out, nullptr);
  ASSERT_EQ(platform_getaddrinfo("127.0.0.2", "1", &hints, &out), 0);
  ASSERT_NE(out, nullptr);

  // Nobody listens on 127.0.0.2:1: refused, in the wrapper's numbering.
  const int s = platform_socket(out->ai_family, out->ai_socktype, out->ai_protocol);
  ASSERT_GE(s, 0);
  errno = 0;
  EXPECT_EQ(platform_connect(s, out->ai_addr, out->ai_addrlen), -1);
  EXPECT_EQ(errno, 107);
  freeaddrinfo(out);

  uint32_t on = 1;
  EXPECT_EQ(platform_ioctlsocket(s, FIONBIO, &on), 0);
  EXPECT_EQ(platform_closesocket(s), 0);
  EXPECT_EQ(platform_closesocket(s), -1);
}

TEST(PlatformString, BoundedCopies) {
  char buf[8];
  std::memset(buf, 'x', sizeof buf);
  EXPECT_EQ(platform_strncpy(buf, "abcdef", 3), buf);
  EXPECT_EQ(std::memcmp(buf, "abc\0xxxx", 8), 0);  // NUL appended, no zero fill
  EXPECT_EQ(platform_strncpy(buf, "ab", 5), buf);
  EXPECT_STREQ(buf, "ab");
  EXPECT_EQ(platform_strncpy(nullptr, "a", 1), nullptr);
  EXPECT_EQ(platform_strncpy(buf, nullptr, 1), nullptr);
  EXPECT_EQ(platform_strcpy(buf, "xyz"), buf);
  EXPECT_EQ(platform_strcat(buf, "12"), buf);
  EXPECT_STREQ(buf, "xyz12");
  EXPECT_EQ(platform_strcpy(nullptr, "a"), nullptr);
  EXPECT_EQ(platform_strcat(buf, nullptr), nullptr);
}

TEST(PlatformTime, WallClockAndLocalTime) {
  PlatformTimeval_t now{};
  EXPECT_EQ(platform_gettimeofday(&now), 0);
  EXPECT_EQ(platform_gettimeofday(nullptr), 0);
  EXPECT_GT(now.tv_sec, 1600000000);
  EXPECT_GE(now.tv_usec, 0);
  EXPECT_LT(now.tv_usec, 1000000);
  // Past 2038 still converts.
  const int64_t after_2038 = 4102444800;  // 2100-01-01 UTC
  const tm* t = platform_localtime(&after_2038);
  ASSERT_NE(t, nullptr);
  EXPECT_GE(t->tm_year, 199);
  EXPECT_EQ(platform_localtime(nullptr), nullptr);
}

TEST(PlatformTime, LocalTimeStorageBelongsToTheThread) {
  const int64_t a = 0;
  const tm* mine = platform_localtime(&a);
  const tm* theirs = nullptr;
  PlatformThread_t t = nullptr;
  ASSERT_EQ(platform_thread_create(
                &t,
                [](void* out) -> void* {
                  const int64_t b = 4102444800;
                  *static_cast<const tm**>(out) = platform_localtime(&b);
                  return nullptr;
                },
                &theirs),
            0);
  platform_thread_join(t);
  platform_thread_close(t);
  EXPECT_NE(mine, theirs);
  EXPECT_LT(mine->tm_year, 71);
}

TEST(PlatformThread, BadArgumentsAnswer11) {
  PlatformThread_t t = reinterpret_cast<PlatformThread_t>(1);
  EXPECT_EQ(platform_thread_create(&t, nullptr, nullptr), 11);
  EXPECT_EQ(t, nullptr);
  EXPECT_EQ(platform_thread_create(
                nullptr, [](void*) -> void* { return nullptr; }, nullptr),
            11);
  EXPECT_EQ(platform_thread_join(nullptr), 3);
  EXPECT_EQ(platform_thread_close(nullptr), 3);
}

TEST(PlatformPattern, NameRegexFindsCharactersOutsideTheIdAlphabet) {
  std::regex* re = nullptr;
  ASSERT_EQ(platform_name_regex_create(&re), 0);
  ASSERT_NE(re, nullptr);
  EXPECT_FALSE(std::regex_search("local_printer-1.a", *re));
  EXPECT_TRUE(std::regex_search("bad id", *re));
  EXPECT_TRUE(std::regex_search("a/b", *re));
  delete re;
  EXPECT_EQ(platform_name_regex_create(nullptr), 12);
}

TEST(PlatformFile, OpenChecksArguments) {
  EXPECT_EQ(platform_fopen(nullptr, "r"), nullptr);
  EXPECT_EQ(platform_fopen("/nonexistent/dir/file", "r"), nullptr);
}
