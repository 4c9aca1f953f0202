#pragma once
// The lowest layer of the device-service client.
//
// The socket layer: a TCP connection to a host text (resolved through the
// address cache) within a time limit, optionally TLS on top, sending a whole
// buffer and receiving what is available, each with millisecond waits. The
// HTTP client uses it too. No write raises SIGPIPE: plain sends pass
// MSG_NOSIGNAL, TLS runs over a BIO of our own that does the same. EINTR is
// retried, never reported.
//
// The channel (TdevChannel_t): one connection to one device-service host. Its
// receive thread connects, reports the outcome through the connect-result
// hook, hands what it reads to the data hook, and reports a lost link through
// the link-lost hook. Every hook names its channel, so the owner can tell a
// report of its current channel from a late one of a channel it already gave
// up. A send puts the message and one NUL on the wire.

#include <atomic>
#include <cstdint>

#include "foundation/platform.h"
#include "service/reply_codes.h"

struct ssl_st;
struct ssl_ctx_st;

namespace tilo2::core {

// ---- Socket layer ---------------------------------------------------------------

// One open connection. "socket" is -1 when there is none, never 0.
struct TdevSocket_t {
  char* host;  // the caller's target text (points into the same block)
  int32_t port;
  int32_t socket;
  ssl_st* tls_connection;   // null for plain TCP
  ssl_ctx_st* tls_context;  // null for plain TCP
  int32_t tls_failed;       // 1 after a fatal TLS error: no close_notify is sent then
  // Held around each call into the TLS object: the receive thread reads while
  // another thread writes, and one TLS object takes one call at a time.
  PlatformMutex_t tls_lock;
};

// Wrapper errno (platform_socket_errno's space) to TdevSocketResult: the
// 16-row table; an errno without a row gives -999.
int32_t TdevSocketResultFromErrno(int32_t wrapperErrno);

// Resolves the host text (address cache, MAC texts included), connects within
// timeoutMs, with TLS when tls is 1, and sets keep-alive (idle 30 s) and a
// 15000 ms user timeout. -1 null host or out, -4 no memory, -3 not resolved,
// else the connect's or the handshake's result. *out is null on failure.
int32_t tcp_connect_host(const char* host, int32_t port, int32_t tls, int32_t timeoutMs,
                         TdevSocket_t** out);
// Sends close_notify once (TLS, without waiting for the peer), shuts the
// socket down, closes it, marks the cache entry as no longer in use and frees
// the record. -1 for null, else 0.
int32_t tcp_disconnect_host(TdevSocket_t* socket);

// Connects to a numeric address (IPv4 or IPv6 text) within timeoutMs; a fresh
// socket per attempt, retried every 100 ms until the time is up. 0 with the
// non-blocking socket in *out, else the last attempt's result and *out = -1.
int32_t tcp_socket_connect(const char* address, int32_t port, int32_t timeoutMs, int32_t* out);
// TLS client handshake on a connected non-blocking socket within timeoutMs
// (-2 when the time runs out). 0, -1 bad arguments, -2, -3 handshake failed,
// -4 objects not created. On failure nothing is left allocated.
int32_t ssl_socket_connect(int32_t socket, int32_t timeoutMs, ssl_st** outConnection,
                           ssl_ctx_st** outContext);
// close_notify once, then frees both objects. Null arguments are ignored.
void ssl_socket_finalize(ssl_st* connection, ssl_ctx_st* context, int32_t sendCloseNotify = 1);

// One readiness wait: 0 ready, -2 nothing within the time (or the socket's
// pending error, mapped), or the mapped result of a failed wait.
int32_t tcp_select(int32_t socket, int32_t forWriting, int32_t timeoutMs);
int32_t tcp_wait_readable(int32_t socket, int32_t timeoutMs);

// Send the whole buffer, timeoutMs for each readiness wait. *sent always
// receives the bytes written. 0, -1 null data or count, -3, or a wait's failure.
int32_t tcp_socket_send(int32_t socket, const void* data, int32_t length, int32_t timeoutMs,
                        int32_t* sent);
int32_t ssl_socket_send(ssl_st* connection, int32_t socket, const void* data, int32_t length,
                        int32_t timeoutMs, int32_t* sent);
// Receive what is available: waits for the first bytes within timeoutMs, then
// reads while more is waiting and room is left. 0 (possibly 0 bytes), -1, -2
// nothing within the time, -3 error or the peer closed before any byte.
// The TLS form reads bytes already decrypted in the TLS object before it
// waits on the socket.
int32_t tcp_socket_recv(int32_t socket, void* buffer, int32_t capacity, int32_t timeoutMs,
                        int32_t* received);
int32_t ssl_socket_recv(ssl_st* connection, int32_t socket, void* buffer, int32_t capacity,
                        int32_t timeoutMs, int32_t* received);
// Send and receive on whichever of TCP or TLS the record carries.
int32_t TdevSocketSend(TdevSocket_t* socket, const void* data, int32_t length, int32_t timeoutMs,
                       int32_t* sent);
int32_t TdevSocketRecv(TdevSocket_t* socket, void* buffer, int32_t capacity, int32_t timeoutMs,
                       int32_t* received);

uint64_t tcp_tick_ms();
// The socket's pending error (SO_ERROR) through the errno table, 0 when none.
int32_t tcp_socket_error(int32_t socket);

// ---- Channel ------------------------------------------------------------------------

inline constexpr int32_t kTdevPlainPort = 8009;
inline constexpr int32_t kTdevTlsPort = 8143;
// Most bytes one data hook call carries.
inline constexpr int32_t kTdevChannelReadMax = 4096;
// Each readiness wait of a channel send.
inline constexpr int32_t kTdevChannelSendWaitMs = 15000;

struct TdevChannel_t;

// Process-wide hooks, called only on a channel's receive thread. Each names
// its channel. connectResult comes exactly once per channel, also when the
// connect failed (code a TdevChannelCode); data carries at most 4096 bytes per
// call; linkLost comes at most once, after a successful connect, when a read
// fails or the peer closes (not when TdevChannelJoin ends the thread).
struct TdevChannelHooks {
  void (*connectResult)(TdevChannel_t* channel, const char* host, int32_t code);
  void (*linkLost)(TdevChannel_t* channel, const char* host);
  void (*data)(TdevChannel_t* channel, const char* host, const uint8_t* bytes, int32_t length);
};
// Installs (or re-installs) the hooks; a null member is not called.
void TdevChannelSetHooks(const TdevChannelHooks& hooks);
TdevChannelHooks TdevChannelGetHooks();

// Creates the channel and starts its receive thread, which connects within
// timeoutMs. *out is set before the thread starts, so a hook may run (and
// find the channel in *out) before this returns. context is the owner's, kept
// for TdevChannelContext; the channel never touches it. 1 null out or host or
// port 0 (no thread starts); 5 out of memory or descriptors, or no thread for
// lack of resources; 8 another failure. A failed open leaves no channel
// (*out null).
int32_t TdevChannelOpen(TdevChannel_t** out, const char* host, int32_t port, int32_t tls,
                        int32_t timeoutMs, void* context = nullptr);
// Sends length bytes and one NUL, as one message: sends from several threads
// never interleave. 1 null channel or data or zero length, 5 no memory for the
// copy, 3 not connected (or the channel stopped while the send waited), else
// TdevChannelResult of the first failing write.
int32_t TdevChannelSend(TdevChannel_t* channel, const void* data, int32_t length);
// Stops the receive thread and waits for it: a thread waiting in connect or
// read ends at once, and a send waiting on the socket gives up. 1 null
// channel, 7 on the receive thread itself (nothing waited for), else 0.
// Joining again answers 0.
int32_t TdevChannelJoin(TdevChannel_t* channel);
// Joins the channel (as TdevChannelJoin) and frees it. 1 null channel, 7 on
// the receive thread itself (nothing freed), else 0.
int32_t TdevChannelFree(TdevChannel_t* channel);

// Read-only views; null / 0 for a null channel.
const char* TdevChannelHost(const TdevChannel_t* channel);
int32_t TdevChannelPort(const TdevChannel_t* channel);
int32_t TdevChannelTls(const TdevChannel_t* channel);
void* TdevChannelContext(const TdevChannel_t* channel);
// 1 while the socket is usable.
int32_t TdevChannelIsConnected(TdevChannel_t* channel);
// 1 when the caller runs on the channel's receive thread.
int32_t TdevChannelOnReceiveThread(const TdevChannel_t* channel);

}  // namespace tilo2::core
