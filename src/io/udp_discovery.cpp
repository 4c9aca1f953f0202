// The UDP finder. The receive thread sends the name and MAC queries, then
// listens in 200 ms slices for 10 s before sending them again; every reply is
// read only within its own length and lands in the row of its sender's
// address. A poll copies the rows that know both name and MAC.

#include "io/udp_discovery.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "foundation/owned_fd.h"
#include "foundation/platform.h"
#include "foundation/poll_wait.h"
#include "io/test_hooks.h"

namespace tilo2::core {

namespace {

constexpr const char* kSource = "net_udp";
constexpr const char* kPort = "3289";
constexpr size_t kBroadcastMax = 31;
constexpr size_t kHeaderSize = 14;
constexpr size_t kReceiveSize = 1024;
constexpr size_t kNameOffset = 19;
constexpr size_t kNameMax = 127;
constexpr size_t kMacOffset = 15;
constexpr size_t kMacReplyMin = kMacOffset + 6;  // 21: the MAC's last byte is inside
constexpr size_t kFlagsOffset = 22;
constexpr uint8_t kDhcpBit = 0x04;
constexpr int kNameKnown = 1;
constexpr int kMacKnown = 2;
constexpr size_t kRowStep = 10;
constexpr auto kSlice = std::chrono::milliseconds(200);
constexpr auto kRepeat = std::chrono::seconds(10);
constexpr size_t kMaxDestinations = 64;
constexpr const char* kUnnamed = "RP Printer";

constexpr uint8_t kNameQuery[kHeaderSize] = {'O', 'R', 'V', 'I', 'K', 'Q', 0x03,
                                             0,   0,   0,   0,   0,   0,   0};
constexpr uint8_t kMacQuery[kHeaderSize] = {'O', 'R', 'V',  'I', 'K', 'Q', 0,
                                            0,   0,   0x10, 0,   0,   0,   0};

using Clock = std::chrono::steady_clock;

struct Row {
  std::string target;  // the MAC once a reply said DHCP, else the IP text
  std::string name;
  std::string ip;  // the key
  std::string mac;
  int flags = 0;
};

struct Table {
  char broadcast[kBroadcastMax + 1] = {};
  int connectionType = TILOIO_TYPE_TCP;
  std::vector<Row> rows;
  sockaddr_in address{};  // the broadcast destination
  const void* logHandle = nullptr;
};

// ---- destinations: the seam and the guard ----------------------------------

PlatformMutex_t g_hooksMutex = PLATFORM_MUTEX_STATIC_INITIALIZER;
std::vector<sockaddr_in> g_destinations;  // guarded by g_hooksMutex
sockaddr_in g_fallback{};                 // guarded by g_hooksMutex
std::atomic<bool> g_guard{false};
std::atomic<bool> g_forceReceiveError{false};
std::atomic<uint64_t> g_handled{0};

bool InLoopback(const sockaddr_in& a) { return (ntohl(a.sin_addr.s_addr) >> 24) == 127; }

// A dotted IPv4 address in 127/8 with port 3289.
bool ParseLoopback(const char* text, sockaddr_in* out) {
  if (!text) return false;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(3289);
  if (inet_pton(AF_INET, text, &a.sin_addr) != 1 || !InLoopback(a)) return false;
  *out = a;
  return true;
}

// Where one query goes: a loopback destination as given; any other to the
// test's list, or under the guard to its fallback, else as given.
std::vector<sockaddr_in> Destinations(const sockaddr_in& broadcast) {
  if (InLoopback(broadcast)) return {broadcast};
  PlatformLockGuard lock(g_hooksMutex);
  if (!g_destinations.empty()) return g_destinations;
  if (g_guard) return {g_fallback};
  return {broadcast};
}

// ---- module state ----------------------------------------------------------

// Start and stop: the engine serialises them already, this keeps direct
// callers from overlapping too.
PlatformMutex_t g_lifecycleMutex = PLATFORM_MUTEX_STATIC_INITIALIZER;
// The table and the last poll's arrays; the receive thread and the poll.
PlatformMutex_t g_udpMutex = PLATFORM_MUTEX_STATIC_INITIALIZER;
std::atomic<bool> g_running{false};
Table* g_table = nullptr;  // guarded by g_udpMutex
TiloIoDeviceArrays_t* g_lastArrays = nullptr;
int g_lastCount = 0;
PlatformThread_t g_thread = nullptr;  // under g_lifecycleMutex

void ErrorLine(int line) { log_error_line("ERROR", kSource, line); }

void FreeLastArrays() {
  freeFoundDeviceArrays(g_lastArrays, g_lastCount);
  g_lastArrays = nullptr;
  g_lastCount = 0;
}

// Sends both queries to every destination; true when every send went out.
bool SendQueries(int fd, const sockaddr_in& broadcast, const void* logHandle) {
  bool all = true;
  for (const auto& to : Destinations(broadcast)) {
    for (const uint8_t* query : {kNameQuery, kMacQuery}) {
      const ssize_t sent = ::sendto(fd, query, kHeaderSize, MSG_NOSIGNAL,
                                    reinterpret_cast<const sockaddr*>(&to), sizeof to);
      if (sent < 0) {
        all = false;
        continue;
      }
      log_write_dump("IOCMN", "UDP", logHandle, static_cast<size_t>(sent), kHeaderSize, query, 0);
    }
  }
  return all;
}

std::string MacText(const uint8_t* m) {
  char text[18];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4],
                m[5]);
  return text;
}

// One reply, read only within its n bytes. Under g_udpMutex.
void HandleReply(Table& table, const uint8_t* bytes, size_t n, const sockaddr_in& from) {
  if (n < kHeaderSize || bytes[10] != 0 || bytes[11] != 0) return;
  const bool nameReply = bytes[6] == 3;
  const bool macReply = bytes[6] == 0;
  if (!nameReply && !macReply) return;
  std::string name, mac;
  bool dhcp = false;
  if (nameReply) {
    if (n > kNameOffset) {
      const auto* start = reinterpret_cast<const char*>(bytes + kNameOffset);
      size_t length = 0;
      while (length < n - kNameOffset && length < kNameMax && start[length] != '\0') ++length;
      name.assign(start, length);
    }
  } else {
    if (n < kMacReplyMin) return;  // the MAC would lie past the end
    mac = MacText(bytes + kMacOffset);
    dhcp = n > kFlagsOffset && (bytes[kFlagsOffset] & kDhcpBit) != 0;
  }
  char ip[INET_ADDRSTRLEN] = {};
  if (!inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip)) return;

  try {
    Row* row = nullptr;
    for (auto& r : table.rows) {
      if (r.ip == ip) {
        row = &r;
        break;
      }
    }
    if (!row) {
      if (table.rows.size() == table.rows.capacity())
        table.rows.reserve(table.rows.size() + kRowStep);
      Row fresh;
      fresh.ip = ip;
      fresh.target = ip;
      table.rows.push_back(std::move(fresh));
      row = &table.rows.back();
    }
    if (nameReply) {
      row->name = name;
      row->flags |= kNameKnown;
    } else {
      row->mac = mac;
      if (dhcp) row->target = mac;  // once the MAC, it stays the MAC
      row->flags |= kMacKnown;
    }
    if (row->flags == (kNameKnown | kMacKnown) && row->name.empty()) row->name = kUnnamed;
  } catch (const std::bad_alloc&) {
    ErrorLine(__LINE__);  // the reply is dropped; the rows stay as they were
  }
}

void* ReceiveThread(void* argument) {
  OwnedFd socket(static_cast<int>(reinterpret_cast<intptr_t>(argument)));
  sockaddr_in broadcast{};
  const void* logHandle = nullptr;
  {
    PlatformLockGuard lock(g_udpMutex);
    if (g_table) {
      broadcast = g_table->address;
      logHandle = g_table->logHandle;
    }
  }
  std::vector<uint8_t> buffer(kReceiveSize);
  // The start has just sent the first pair: the thread's first round listens
  // only, so a printer is not asked twice at once.
  bool startSent = true;
  while (g_running) {
    if (!startSent) SendQueries(socket.Get(), broadcast, logHandle);
    startSent = false;
    const auto sentAt = Clock::now();
    while (g_running && Clock::now() - sentAt < kRepeat) {
      const auto sliceStart = Clock::now();
      int ready = g_forceReceiveError ? -1 : PollWait(socket.Get(), POLLIN, 200);
      ssize_t n = -1;
      if (ready > 0) {
        sockaddr_in from{};
        socklen_t fromLength = sizeof from;
        n = ::recvfrom(socket.Get(), buffer.data(), buffer.size(), MSG_DONTWAIT,
                       reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n >= 0) {
          log_read_dump("IOCMN", "UDP", logHandle, static_cast<size_t>(n), buffer.data(), 0);
          PlatformLockGuard lock(g_udpMutex);
          if (lock && g_table) HandleReply(*g_table, buffer.data(), static_cast<size_t>(n), from);
          ++g_handled;
          continue;
        }
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
        ready = -1;
      }
      if (ready == 0) continue;
      // A lasting socket error must not turn into a flood of queries: the
      // slice is waited out before both are sent again.
      errno = platform_socket_errno(errno);
      while (g_running) {
        const auto left = kSlice - (Clock::now() - sliceStart);
        if (left <= Clock::duration::zero()) break;
        platform_sleep_ms(
            static_cast<uint32_t>(std::chrono::ceil<std::chrono::milliseconds>(left).count()));
      }
      break;
    }
  }
  return nullptr;  // the socket closes with its owner
}

// Undoes a start that got as far as the table: frees it and clears running.
void UndoStart() {
  g_running = false;
  PlatformLockGuard lock(g_udpMutex);
  delete g_table;
  g_table = nullptr;
}

}  // namespace

int TiloIoUdpStartDiscovery(const void* logHandle, const char* broadcastAddress) {
  PlatformLockGuard lifecycle(g_lifecycleMutex);
  if (g_running) {
    ErrorLine(__LINE__);
    return TILOIO_ILLEGAL_STATE;
  }
  if (!broadcastAddress || std::strlen(broadcastAddress) > kBroadcastMax)
    return TILOIO_PARAMETER_ERROR;

  auto* table = new (std::nothrow) Table;
  if (!table) {
    ErrorLine(__LINE__);
    return TILOIO_OUT_OF_MEMORY;
  }
  platform_strncpy(table->broadcast, broadcastAddress, kBroadcastMax);
  table->logHandle = logHandle;
  {
    PlatformLockGuard lock(g_udpMutex);
    FreeLastArrays();
    g_table = table;
  }
  g_running = true;

  // Only IPv4 is searched; other families are passed over without a socket.
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* resolved = nullptr;
  bool found = false;
  if (platform_getaddrinfo(broadcastAddress, kPort, &hints, &resolved) == 0) {
    for (const addrinfo* a = resolved; a; a = a->ai_next) {
      if (a->ai_family == AF_INET && a->ai_addrlen >= sizeof(sockaddr_in)) {
        std::memcpy(&table->address, a->ai_addr, sizeof(sockaddr_in));
        found = true;
        break;
      }
    }
    freeaddrinfo(resolved);
  }
  if (!found) {
    UndoStart();
    return TILOIO_PARAMETER_ERROR;
  }

  OwnedFd socket(platform_socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  const int on = 1;
  if (!socket || ::setsockopt(socket.Get(), SOL_SOCKET, SO_BROADCAST, &on, sizeof on) != 0 ||
      !SendQueries(socket.Get(), table->address, logHandle)) {
    ErrorLine(__LINE__);
    socket.Reset();
    UndoStart();
    return TILOIO_FAILURE;
  }
  PlatformThread_t thread = nullptr;
  const int fd = socket.Release();
  if (platform_thread_create(&thread, ReceiveThread,
                             reinterpret_cast<void*>(static_cast<intptr_t>(fd))) != 0) {
    ErrorLine(__LINE__);
    platform_closesocket(fd);
    UndoStart();
    return TILOIO_FAILURE;
  }
  g_thread = thread;
  return TILOIO_SUCCESS;
}

TiloIoDeviceArrays_t* TiloIoUdpGetDeviceList(int* count, int* result) {
  int ignoredCount = 0, ignoredResult = 0;
  if (!count) count = &ignoredCount;
  if (!result) result = &ignoredResult;
  *count = 0;
  if (!g_running) {
    ErrorLine(__LINE__);
    *result = TILOIO_ILLEGAL_STATE;
    return nullptr;
  }
  PlatformLockGuard lock(g_udpMutex);
  if (!lock) {
    *result = TILOIO_FAILURE;
    return nullptr;
  }
  FreeLastArrays();
  if (!g_table) {
    *result = TILOIO_ILLEGAL_STATE;
    return nullptr;
  }
  std::vector<const Row*> complete;
  try {
    for (const auto& row : g_table->rows) {
      if (row.flags == (kNameKnown | kMacKnown) && !row.ip.empty() && !row.mac.empty())
        complete.push_back(&row);
    }
  } catch (const std::bad_alloc&) {
    ErrorLine(__LINE__);
    *result = TILOIO_OUT_OF_MEMORY;
    return nullptr;
  }
  *result = TILOIO_SUCCESS;
  if (complete.empty()) return nullptr;
  const int n = static_cast<int>(complete.size());
  TiloIoDeviceArrays_t* arrays = newDeviceArrays(n);
  bool copied = arrays != nullptr;
  for (int i = 0; copied && i < n; ++i) {
    const Row& row = *complete[static_cast<size_t>(i)];
    arrays->connectionType[i] = g_table->connectionType;
    arrays->name[i] = ::strdup(row.name.c_str());
    arrays->target[i] = ::strdup(row.target.c_str());
    arrays->ip[i] = ::strdup(row.ip.c_str());
    arrays->mac[i] = ::strdup(row.mac.c_str());
    copied = arrays->name[i] && arrays->target[i] && arrays->ip[i] && arrays->mac[i];
  }
  if (!copied) {
    ErrorLine(__LINE__);
    freeFoundDeviceArrays(arrays, n);
    *result = TILOIO_OUT_OF_MEMORY;
    return nullptr;
  }
  g_lastArrays = arrays;
  g_lastCount = n;
  *count = n;
  return arrays;
}

int TiloIoUdpStopDiscovery() {
  PlatformLockGuard lifecycle(g_lifecycleMutex);
  if (!g_running) {
    ErrorLine(__LINE__);
    return TILOIO_ILLEGAL_STATE;
  }
  g_running = false;
  // The thread sees the flag within one slice.
  platform_thread_join(g_thread);
  platform_thread_close(g_thread);
  g_thread = nullptr;
  PlatformLockGuard lock(g_udpMutex);
  delete g_table;
  g_table = nullptr;
  FreeLastArrays();
  return TILOIO_SUCCESS;
}

int TiloIoUdpSetDiscoveryDestinations(const char* const* addresses, int count) {
  std::vector<sockaddr_in> list;
  if (addresses && count > 0) {
    if (static_cast<size_t>(count) > kMaxDestinations) return TILOIO_PARAMETER_ERROR;
    for (int i = 0; i < count; ++i) {
      sockaddr_in a{};
      if (!ParseLoopback(addresses[i], &a)) return TILOIO_PARAMETER_ERROR;
      list.push_back(a);
    }
  }
  PlatformLockGuard lock(g_hooksMutex);
  g_destinations = std::move(list);
  return TILOIO_SUCCESS;
}

int TiloIoInstallLoopbackGuard(const char* fallback) {
  sockaddr_in a{};
  if (!ParseLoopback(fallback, &a)) return TILOIO_PARAMETER_ERROR;
  PlatformLockGuard lock(g_hooksMutex);
  g_fallback = a;
  g_guard = true;
  return TILOIO_SUCCESS;
}

bool TiloIoLoopbackGuardInstalled() { return g_guard; }

void TiloIoUdpForceReceiveError(bool on) { g_forceReceiveError = on; }

uint64_t TiloIoUdpDatagramsHandled() { return g_handled; }

}  // namespace tilo2::core
