#pragma once
// Where tests reach into the device-service client. Product code never calls
// these.

#include <cstdint>

namespace tilo2::core {

// The HTTP and HTTPS ports of a host text (default 80 and 443); a port of 0
// restores the default. A null host forgets every override.
void TdevSetHttpPorts(const char* host, int32_t httpPort, int32_t httpsPort);

// How long a reconnect may take before the connection is given up (0 restores
// 60000 ms).
void TdevSetReconnectLimit(int32_t ms);

// How long a reply is waited for beyond the request's own timeout (0 restores
// 30000 ms), and how long a disconnect waits for its reply (0 restores 15000 ms).
void TdevSetReplyBounds(int32_t replyMs, int32_t disconnectMs);

// Threads of the client that are running now (receive, close, HTTP, monitor).
int32_t TdevLiveThreadCount();

}  // namespace tilo2::core
