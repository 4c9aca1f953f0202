#pragma once
// The small HTTP/1.1 client of the device service: one POST per thread, to
// the host's web port (plain, or TLS for the status requests of a TLS
// connection and after a redirect). The reply is read until its body is
// complete (Content-Length bytes, or every chunk of a chunked body) or the
// request's time runs out; bodies above 64 KiB are not delivered. Every
// request that started ends with exactly one reply callback, with the body on
// success and with none on any failure. A 302 over plain HTTP sends the same
// request once more over TLS; a 302 after that ends without a body.

#include <cstddef>
#include <cstdint>
#include <string>

#include "service/reply_codes.h"

namespace tilo2::core {

// Largest body delivered to a reply callback.
inline constexpr size_t kTdevHttpBodyMax = 64 * 1024;
// Longest request line, its terminator included, that is sent.
inline constexpr size_t kTdevHttpRequestLineMax = 256;

// The caller's options; the client copies what it keeps.
struct TdevHttpRequest_t {
  const char* host = nullptr;   // host text (name, IP text or MAC text)
  const char* path = nullptr;   // for example "/cgi-bin/tilo/service.cgi"
  const char* devid = nullptr;  // "devid" query value; null reads as empty
  int32_t timeout = 0;          // ms; also sent as the "timeout" query value
  const char* body = nullptr;   // request body; null reads as empty
  void* context = nullptr;      // handed back to the user callback
};

// (host, devid, body or null, body length, context). A null body (length 0)
// means the request failed or the reply had no usable body. The body is
// valid only during the call, and is followed by a NUL.
using TdevHttpUserCallback = void (*)(const char* host, const char* devid, const char* body,
                                      size_t length, void* context);
// The reply callback: receives the user callback to pass the reply on to.
using TdevHttpReplyCallback = void (*)(const char* host, const char* devid, const char* body,
                                       size_t length, TdevHttpUserCallback user, void* context);
// The reply callback every caller passes: calls user with the reply.
void http_request_forward_reply(const char* host, const char* devid, const char* body,
                                size_t length, TdevHttpUserCallback user, void* context);

// Starts one request: resolves the host, connects (TLS when tls is 1) within
// timeoutMs and starts the request's thread. 0 when the thread runs (the
// reply callback then comes exactly once, from that thread); -1 null options,
// host or path, or a null reply callback; -3 host not resolved; -4 no memory
// or no thread for lack of resources; -999 another thread failure; else the
// connect's failure through TdevHttpRequestResult. On failure no callback
// comes.
int32_t http_request_post(const TdevHttpRequest_t* options, int32_t tls, int32_t timeoutMs,
                          TdevHttpReplyCallback reply, TdevHttpUserCallback user);

// The port a request to host uses: HTTPS when tls is 1 (default 80 and 443;
// tests change them through TdevSetHttpPorts).
int32_t TdevHttpPort(const char* host, int32_t tls);

// ---- Building blocks, open for tests ---------------------------------------------

// The whole request: request line "POST path?devid=D&timeout=T HTTP/1.1",
// "Host: " with the address, "Content-Length: ", an empty line and the body.
// The device id is percent-encoded outside the unreserved characters, so it
// can never end the line or add a query parameter. -1 for null path or
// address, or a request line of 256 characters or more; else 0.
int32_t http_request_format(const char* path, const char* devid, int32_t timeout,
                            const char* address, const char* body, std::string* out);

// What the head of a reply says.
struct TdevHttpReplyHead_t {
  int32_t status = 0;
  int64_t contentLength = -1;  // -1 when absent
  bool chunked = false;        // Transfer-Encoding: chunked
  size_t headLength = 0;       // bytes up to and including the empty line
};
// Reads the head at the start of bytes. 0 done; 1 the empty line has not
// arrived yet; -6 the bytes end with the head (nothing follows it); -999 a
// malformed status line or Content-Length.
int32_t http_response_parse_head(const char* bytes, size_t length, TdevHttpReplyHead_t* head);

// Where a reply body stands after the bytes that followed the head.
enum class TdevHttpBodyState { Complete, NeedMore, Malformed, TooLarge };
// Decodes a body given as chunks: complete once the last (zero) chunk's line
// arrived; the decoded bytes in *body.
TdevHttpBodyState http_decode_chunked(const char* bytes, size_t length, std::string* body);

}  // namespace tilo2::core
