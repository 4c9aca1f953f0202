#include "service/http_client.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "http_test_support.h"
#include "service/live_threads.h"

namespace tilo2::core {
namespace {

using namespace std::chrono_literals;
using http_test::Replies;
using service_emulator::HttpOverride;

// ---- Request bytes ---------------------------------------------------------------------

TEST(HttpRequestFormat, ExactRequestBytes) {
  struct Case {
    const char* path;
    const char* devid;
    int32_t timeout;
    const char* address;
    const char* body;
    const char* expected;
  };
  const Case cases[] = {
      {"/cgi-bin/tilo/service.cgi", "local_printer", 10000, "127.0.0.1", "<x/>",
       "POST /cgi-bin/tilo/service.cgi?devid=local_printer&timeout=10000 HTTP/1.1\r\n"
       "Host: 127.0.0.1\r\nContent-Length: 4\r\n\r\n<x/>"},
      // Empty device id and body: the query keeps both names, the length is 0.
      {"/orvik_tilodevice/getDeviceList.cgi", "", 3000, "10.1.2.3", "",
       "POST /orvik_tilodevice/getDeviceList.cgi?devid=&timeout=3000 HTTP/1.1\r\n"
       "Host: 10.1.2.3\r\nContent-Length: 0\r\n\r\n"},
      {"/p", nullptr, 1, "::1", nullptr,
       "POST /p?devid=&timeout=1 HTTP/1.1\r\nHost: [::1]\r\nContent-Length: 0\r\n\r\n"},
      // A device id can neither end the line nor add a parameter.
      {"/p", "a b&timeout=1\r\nX: y", 5, "127.0.0.1", "",
       "POST /p?devid=a%20b%26timeout%3D1%0D%0AX%3A%20y&timeout=5 HTTP/1.1\r\n"
       "Host: 127.0.0.1\r\nContent-Length: 0\r\n\r\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expected);
    std::string out;
    ASSERT_EQ(http_request_format(c.path, c.devid, c.timeout, c.address, c.body, &out), 0);
    EXPECT_EQ(out, c.expected);
  }
}

TEST(HttpRequestFormat, RequestLineOf256CharactersOrUnsafePathIsRefused) {
  // "POST " + path + "?devid=&timeout=1 HTTP/1.1\r\n" is 33 characters besides the path.
  const std::string fits(255 - 33, 'p');
  const std::string tooLong(256 - 33, 'p');
  std::string out;
  EXPECT_EQ(http_request_format(("/" + fits.substr(1)).c_str(), "", 1, "h", "", &out), 0);
  EXPECT_EQ(out.find("\r\n"), 255u - 2);
  EXPECT_EQ(http_request_format(("/" + tooLong.substr(1)).c_str(), "", 1, "h", "", &out), -1);
  for (const char* path : {"/a b", "/a\r\nX: y", "/a\tb"}) {
    SCOPED_TRACE(path);
    EXPECT_EQ(http_request_format(path, "", 1, "h", "", &out), -1);
  }
  EXPECT_EQ(http_request_format(nullptr, "", 1, "h", "", &out), -1);
  EXPECT_EQ(http_request_format("/p", "", 1, nullptr, "", &out), -1);
}

// ---- Reply head and chunks --------------------------------------------------------------

TEST(HttpReplyHead, ReadsStatusLengthAndChunking) {
  struct Case {
    std::string text;
    int32_t result;
    int32_t status;
    int64_t contentLength;
    bool chunked;
  };
  const Case cases[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello", 0, 200, 5, false},
      {"HTTP/1.0 302 Found\r\nLocation: x\r\n\r\n", -6, 302, -1, false},
      {"HTTP/1.1 200 OK\r\ncontent-length:  12 \r\nX: 1\r\n\r\nab", 0, 200, 12, false},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, Chunked\r\n\r\n1a\r\n", 0, 200, -1, true},
      {"HTTP/1.1 500\r\n\r\nerr", 0, 500, -1, false},
      // The head's end has not arrived.
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n", 1, 0, -1, false},
      {"", 1, 0, -1, false},
      // Malformed status lines and lengths.
      {"HTTX/1.1 200 OK\r\n\r\nx", -999, 0, -1, false},
      {"HTTP/1.1 2x0 OK\r\n\r\nx", -999, 0, -1, false},
      {"HTTP/1.1 2000 OK\r\n\r\nx", -999, 0, -1, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: -1\r\n\r\nx", -999, 0, -1, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5x\r\n\r\nx", -999, 0, -1, false},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5\r\nContent-Length: 6\r\n\r\nx", -999, 0, -1, false},
      {"\r\n\r\n", -999, 0, -1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    TdevHttpReplyHead_t head;
    ASSERT_EQ(http_response_parse_head(c.text.data(), c.text.size(), &head), c.result);
    if (c.result != 0 && c.result != -6) continue;
    EXPECT_EQ(head.status, c.status);
    EXPECT_EQ(head.contentLength, c.contentLength);
    EXPECT_EQ(head.chunked, c.chunked);
    EXPECT_EQ(head.headLength, c.text.find("\r\n\r\n") + 4);
  }
}

// The status is three digits: a sign or a space in their place is malformed,
// never a negative or shifted status.
TEST(HttpReplyHead, StatusAndLengthTakeDigitsOnly) {
  struct Case {
    const char* text;
    int32_t result;
    int32_t status;
  };
  const Case cases[] = {
      {"HTTP/1.1 -01 X\r\n\r\n", -999, 0},
      {"HTTP/1.1 +01 X\r\n\r\n", -999, 0},
      {"HTTP/1.1 -0 X\r\n\r\n", -999, 0},
      {"HTTP/1.1  20 X\r\n\r\n", -999, 0},
      {"HTTP/1.1 20  X\r\n\r\n", -999, 0},
      {"HTTP/1.1 2 0 X\r\n\r\n", -999, 0},
      {"HTTP/1.1 200X\r\n\r\n", -999, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: -0\r\n\r\n", -999, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: +5\r\n\r\n", -999, 0},
      {"HTTP/1.1 200 OK\r\nContent-Length: 5 5\r\n\r\n", -999, 0},
      {"HTTP/1.1 007 X\r\n\r\n", -6, 7},
      {"HTTP/1.1 000\r\n\r\n", -6, 0},
      {"HTTP/1.1 999 \r\n\r\n", -6, 999},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    const std::string text = c.text;
    TdevHttpReplyHead_t head;
    ASSERT_EQ(http_response_parse_head(text.data(), text.size(), &head), c.result);
    if (c.result == -6) {
      EXPECT_EQ(head.status, c.status);
    }
  }
}

TEST(HttpChunkedBody, DecodesEveryChunkAndJudgesTheRest) {
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";
  struct Case {
    std::string bytes;
    TdevHttpBodyState state;
    std::string body;
  };
  const Case cases[] = {
      {"1a\r\n" + alphabet + "\r\n0\r\n\r\n", TdevHttpBodyState::Complete, alphabet},
      // Every chunk, not only the first; extensions skipped; no wait for the trailer.
      {"3;x=y\r\nabc\r\n2\r\nde\r\n0\r\n", TdevHttpBodyState::Complete, "abcde"},
      {"3\r\nabc\r\n", TdevHttpBodyState::NeedMore, ""},
      {"3\r\nab", TdevHttpBodyState::NeedMore, ""},
      {"1", TdevHttpBodyState::NeedMore, ""},
      {"", TdevHttpBodyState::NeedMore, ""},
      {"g\r\n", TdevHttpBodyState::Malformed, ""},
      {"3\r\nabcX\r\n0\r\n", TdevHttpBodyState::Malformed, ""},
      {"3\nabc\r\n", TdevHttpBodyState::Malformed, ""},
      {"123456789\r\n", TdevHttpBodyState::Malformed, ""},
      {"10001\r\n", TdevHttpBodyState::TooLarge, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bytes);
    std::string body;
    ASSERT_EQ(http_decode_chunked(c.bytes.data(), c.bytes.size(), &body), c.state);
    if (c.state == TdevHttpBodyState::Complete) {
      EXPECT_EQ(body, c.body);
    }
  }
}

// ---- Against the emulator ----------------------------------------------------------------

constexpr const char* kStatusPath = "/cgi-bin/tilo/service.cgi";
constexpr const char* kListPath = "/orvik_tilodevice/getDeviceList.cgi";

// Starts one request on the emulator's host; EXPECTs the start to work.
void Post(const std::string& host, const char* path, Replies& replies, int32_t timeoutMs = 10000,
          int32_t tls = 0, const char* devid = "", const char* body = "") {
  TdevHttpRequest_t request;
  request.host = host.c_str();
  request.path = path;
  request.devid = devid;
  request.timeout = timeoutMs;
  request.body = body;
  request.context = &replies;
  ASSERT_EQ(
      http_request_post(&request, tls, timeoutMs, http_request_forward_reply, &Replies::Callback),
      0);
}

class HttpClientTest : public ::testing::Test {
 protected:
  void TearDown() override {
    // Every request thread has ended once its reply came.
    EXPECT_TRUE(io_test::Eventually([&] { return TdevLiveThreadCount() == threadsBefore_; }));
  }
  int32_t threadsBefore_ = TdevLiveThreadCount();
};

TEST_F(HttpClientTest, PostSendsExactBytesAndDeliversTheBodyOnce) {
  auto service = http_test::startService(920);
  ASSERT_TRUE(service);
  const std::string host = service->options().address;
  Replies replies;
  Post(host, kStatusPath, replies, 10000, 0, "local_printer", "<ask/>");
  ASSERT_TRUE(replies.waitFor(1));
  const auto got = replies.all();
  EXPECT_EQ(got[0].host, host);
  EXPECT_EQ(got[0].devid, "local_printer");
  ASSERT_TRUE(got[0].body);
  EXPECT_NE(got[0].body->find("<response success=\"true\""), std::string::npos) << *got[0].body;

  const auto requests = service->httpRequests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requests[0].tls);
  EXPECT_EQ(requests[0].raw,
            "POST /cgi-bin/tilo/service.cgi?devid=local_printer&timeout=10000 HTTP/1.1\r\n"
            "Host: " +
                host + "\r\nContent-Length: 6\r\n\r\n<ask/>");
  // Exactly one reply, also after a while.
  EXPECT_FALSE(replies.waitFor(2, 300ms));
}

// Every shape of reply the service may give: the body comes whole or not at all.
TEST_F(HttpClientTest, ReplyShapesDeliverTheWholeBodyOrNone) {
  auto service = http_test::startService(921);
  ASSERT_TRUE(service);
  const std::string host = service->options().address;
  const std::string json = R"([{"deviceId":"local_printer","deviceType":"type_printer"}])";
  const std::string big(kTdevHttpBodyMax, 'b');
  const std::string alphabet = "abcdefghijklmnopqrstuvwxyz";

  struct Case {
    const char* name;
    HttpOverride override;
    std::optional<std::string> body;
  };
  auto shape = [](auto&& edit) {
    HttpOverride o;
    edit(o);
    return o;
  };
  const std::vector<Case> cases = {
      {"chunked in many chunks", shape([&](HttpOverride& o) {
         o.body = json;
         o.chunked = true;
         o.chunkSize = 7;
       }),
       json},
      {"split body with pauses", shape([&](HttpOverride& o) {
         o.body = json;
         o.splits = {1, 10, 30};
         o.pause = 200ms;
       }),
       json},
      {"chunks split mid-line", shape([&](HttpOverride& o) {
         o.body = json;
         o.chunked = true;
         o.chunkSize = 20;
         o.splits = {1, 3, 25, 26};
         o.pause = 100ms;
       }),
       json},
      {"no length: the close ends it", shape([&](HttpOverride& o) {
         o.body = json;
         o.noContentLength = true;
       }),
       json},
      {"unannounced chunk 1a", shape([&](HttpOverride& o) {
         o.rawReply = "HTTP/1.1 200 OK\r\n\r\n1a\r\n" + alphabet + "\r\n0\r\n\r\n";
       }),
       alphabet},
      {"exactly 64 KiB", shape([&](HttpOverride& o) { o.body = big; }), big},
      {"above 64 KiB", shape([&](HttpOverride& o) { o.bodySize = kTdevHttpBodyMax + 1; }),
       std::nullopt},
      {"above 64 KiB in chunks", shape([&](HttpOverride& o) {
         o.bodySize = kTdevHttpBodyMax + 1;
         o.chunked = true;
         o.chunkSize = 4000;
       }),
       std::nullopt},
      {"above 64 KiB until close", shape([&](HttpOverride& o) {
         o.bodySize = kTdevHttpBodyMax + 1;
         o.noContentLength = true;
       }),
       std::nullopt},
      {"status 500", shape([&](HttpOverride& o) { o.status = 500; }), std::nullopt},
      {"empty body", shape([&](HttpOverride& o) { o.body = ""; }), std::nullopt},
      {"head only, then close", shape([&](HttpOverride& o) {
         o.rawReply = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\n";
       }),
       std::nullopt},
      {"short body, then close", shape([&](HttpOverride& o) {
         o.rawReply = "HTTP/1.1 200 OK\r\nContent-Length: 10\r\n\r\nabc";
       }),
       std::nullopt},
      {"no head at all", shape([&](HttpOverride& o) { o.rawReply = "garbage\r\n\r\nmore"; }),
       std::nullopt},
      {"bad chunk", shape([&](HttpOverride& o) {
         o.rawReply = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n0\r\n\r\n";
       }),
       std::nullopt},
      {"closed without reply", shape([&](HttpOverride& o) { o.closeWithoutReply = true; }),
       std::nullopt},
  };
  size_t expected = 0;
  Replies replies;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    service->overrideHttp(kListPath, c.override);
    Post(host, kListPath, replies);
    ASSERT_TRUE(replies.waitFor(++expected));
    const auto got = replies.all().back();
    EXPECT_EQ(got.body.has_value(), c.body.has_value());
    if (got.body && c.body) {
      EXPECT_EQ(*got.body, *c.body);
    }
  }
  EXPECT_EQ(service->httpRequests().size(), cases.size());
}

TEST_F(HttpClientTest, BodyInThreeSegmentsApartArrivesWhole) {
  auto service = http_test::startService(922);
  ASSERT_TRUE(service);
  const std::string body = R"({"NativeSocket":8009,"SSLNativeSocket":8143})";
  HttpOverride slow;
  slow.body = body;
  slow.splits = {10, 20};
  slow.pause = 1500ms;
  service->overrideHttp(kListPath, slow);
  Replies replies;
  const auto start = std::chrono::steady_clock::now();
  Post(service->options().address, kListPath, replies, 10000);
  ASSERT_TRUE(replies.waitFor(1));
  const auto got = replies.all()[0];
  ASSERT_TRUE(got.body);
  EXPECT_EQ(*got.body, body);
  EXPECT_GE(got.when - start, 2900ms);
}

TEST_F(HttpClientTest, RedirectIsFollowedOnceOverTls) {
  auto service = http_test::startService(923);
  ASSERT_TRUE(service);
  const std::string host = service->options().address;
  HttpOverride moved;
  moved.status = 302;
  service->overrideHttp(kStatusPath, moved);
  Replies replies;
  Post(host, kStatusPath, replies, 10000, 0, "local_printer");
  ASSERT_TRUE(replies.waitFor(1));
  const auto got = replies.all()[0];
  ASSERT_TRUE(got.body);
  EXPECT_NE(got.body->find("<response"), std::string::npos);
  const auto requests = service->httpRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_FALSE(requests[0].tls);
  EXPECT_TRUE(requests[1].tls);
  // The same request again.
  EXPECT_EQ(requests[0].raw, requests[1].raw);
}

TEST_F(HttpClientTest, EndlessRedirectEndsWithoutBody) {
  auto service = http_test::startService(924);
  ASSERT_TRUE(service);
  HttpOverride moved;
  moved.status = 302;
  moved.count = -1;
  service->overrideHttp("", moved);
  Replies replies;
  // Plain first, and a TLS request that is redirected too.
  Post(service->options().address, kStatusPath, replies, 10000, 0, "local_printer");
  Post(service->options().address, kStatusPath, replies, 10000, 1, "local_printer");
  ASSERT_TRUE(replies.waitFor(2));
  for (const auto& reply : replies.all()) EXPECT_FALSE(reply.body);
  const auto requests = service->httpRequests();
  ASSERT_EQ(requests.size(), 3u);
  int tls = 0;
  for (const auto& r : requests) tls += r.tls ? 1 : 0;
  EXPECT_EQ(tls, 2);
  EXPECT_FALSE(replies.waitFor(3, 300ms));
}

TEST_F(HttpClientTest, RedirectToAClosedHttpsPortEndsWithoutBody) {
  auto service = http_test::startService(931);
  ASSERT_TRUE(service);
  const std::string host = service->options().address;
  HttpOverride moved;
  moved.status = 302;
  service->overrideHttp(kStatusPath, moved);
  // Nothing listens on the HTTPS port: the re-issued request cannot connect.
  TdevSetHttpPorts(host.c_str(), service->httpPort(), 1);
  Replies replies;
  Post(host, kStatusPath, replies, 1000, 0, "local_printer");
  ASSERT_TRUE(replies.waitFor(1));
  EXPECT_FALSE(replies.all()[0].body);
  EXPECT_EQ(service->httpRequests().size(), 1u);
  EXPECT_FALSE(replies.waitFor(2, 300ms));
}

TEST_F(HttpClientTest, SilentServiceEndsWithinTheRequestTimeout) {
  auto service = http_test::startService(925);
  ASSERT_TRUE(service);
  HttpOverride silent;
  silent.silent = true;
  service->overrideHttp(kListPath, silent);
  Replies replies;
  const auto start = std::chrono::steady_clock::now();
  Post(service->options().address, kListPath, replies, 1000);
  ASSERT_TRUE(replies.waitFor(1));
  const auto got = replies.all()[0];
  EXPECT_FALSE(got.body);
  EXPECT_GE(got.when - start, 900ms);
  EXPECT_LT(got.when - start, 6s);
}

TEST_F(HttpClientTest, RequestLineTooLongEndsWithoutBodyAndSendsNothing) {
  auto service = http_test::startService(926);
  ASSERT_TRUE(service);
  Replies replies;
  const std::string devid(240, 'd');
  Post(service->options().address, kListPath, replies, 10000, 0, devid.c_str());
  ASSERT_TRUE(replies.waitFor(1));
  EXPECT_FALSE(replies.all()[0].body);
  EXPECT_TRUE(service->httpRequests().empty());
}

TEST_F(HttpClientTest, StartFailuresReturnAndCallNothing) {
  io_test::claimAddress(927);
  const std::string nobody = io_test::address(927);
  Replies replies;
  TdevHttpRequest_t request;
  request.host = nobody.c_str();
  request.path = kListPath;
  request.timeout = 300;
  request.context = &replies;
  EXPECT_EQ(http_request_post(nullptr, 0, 300, http_request_forward_reply, &Replies::Callback), -1);
  EXPECT_EQ(http_request_post(&request, 0, 300, nullptr, &Replies::Callback), -1);
  TdevHttpRequest_t noPath = request;
  noPath.path = nullptr;
  EXPECT_EQ(http_request_post(&noPath, 0, 300, http_request_forward_reply, &Replies::Callback), -1);
  // Nobody listens: refused until the time is up, which is no row of ours (-999).
  TdevSetHttpPorts(nobody.c_str(), 1, 2);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(http_request_post(&request, 0, 300, http_request_forward_reply, &Replies::Callback),
            -999);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
  TdevSetHttpPorts(nobody.c_str(), 0, 0);
  EXPECT_FALSE(replies.waitFor(1, 200ms));
}

TEST(HttpPorts, PerHostOverridesAndDefaults) {
  const std::string host = io_test::address(929);
  TdevSetHttpPorts(host.c_str(), 8080, 0);
  EXPECT_EQ(TdevHttpPort(host.c_str(), 0), 8080);
  EXPECT_EQ(TdevHttpPort(host.c_str(), 1), 443);
  EXPECT_EQ(TdevHttpPort(io_test::address(930).c_str(), 0), 80);
  EXPECT_EQ(TdevHttpPort(nullptr, 1), 443);
  TdevSetHttpPorts(host.c_str(), 0, 0);
  EXPECT_EQ(TdevHttpPort(host.c_str(), 0), 80);
}

TEST_F(HttpClientTest, ManyRequestsInFlightAllEndOnce) {
  auto service = http_test::startService(928);
  ASSERT_TRUE(service);
  HttpOverride slow;
  slow.delay = 100ms;
  slow.count = 10;
  service->overrideHttp(kListPath, slow);
  Replies replies;
  constexpr size_t kRequests = 40;
  for (size_t i = 0; i < kRequests; ++i) {
    Post(service->options().address, i % 2 ? kListPath : kStatusPath, replies, 10000, 0,
         "local_printer");
  }
  ASSERT_TRUE(replies.waitFor(kRequests));
  for (const auto& reply : replies.all()) EXPECT_TRUE(reply.body);
  EXPECT_FALSE(replies.waitFor(kRequests + 1, 200ms));
}

}  // namespace
}  // namespace tilo2::core
