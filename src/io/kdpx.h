#pragma once
// The control protocol of network printers on UDP port 3289: a 14-byte header
// in both directions, unicast request/response exchanges of four attempts, the
// broadcast query addressed by MAC, and the small requests built on them.

#include <cstddef>
#include <cstdint>

namespace tilo2::core {

// First 14 bytes of every datagram; multi-byte fields are big-endian.
struct KdpxHeader_t {
  char magic[5];  // "ORVIK"
  uint8_t type;   // 'Q', 'C', 'P'; replies add 20h
  uint8_t command[4];
  uint8_t result[2];  // 0 in requests; the printer's result in replies
  uint8_t length[2];  // payload length of a request
};
static_assert(sizeof(KdpxHeader_t) == 14);

inline constexpr size_t kKdpxHeaderSize = sizeof(KdpxHeader_t);
inline constexpr size_t kKdpxBroadcastPayload = 21;
inline constexpr char kKdpxQuery = 'Q';
inline constexpr char kKdpxControl = 'C';
inline constexpr char kKdpxMacQuery = 'P';

// Printer results from here on are failures.
inline constexpr int kKdpxResultErrorFloor = 0xF000;

inline constexpr uint32_t KDPX_CLIENT_ADDRESS = 0x03000017;
inline constexpr uint32_t KDPX_INTERFACE_STATUS = 0x03000010;
inline constexpr uint32_t KDPX_ONLINE_STATUS = 0x03000021;
inline constexpr uint32_t KDPX_CLEAR_CONNECTION_TIMEOUT = 0x03000016;
inline constexpr uint32_t KDPX_INTERFACE_CONTROL = 0x03000015;
inline constexpr uint32_t KDPX_MAC_QUERY = 0x00000010;

// Writes header and payload into out (room for 14 + payloadLength bytes).
void kdpxBuildDatagram(uint8_t* out, char type, uint32_t command, const void* payload,
                       size_t payloadLength);

// The receive side of an exchange, callable without a socket. Whether `got`
// answers `request` (both whole datagrams): same magic, the request's type +
// 20h and the same command; with matchMac also the broadcast query's MAC
// (bytes 15..20) repeated at the same place.
bool kdpxIsReply(const uint8_t* request, size_t requestLength, const uint8_t* got, size_t gotLength,
                 bool matchMac);
// Result field and payload of an accepted reply into the caller's memory;
// result and replyLength as for TiloIoKdpxExec. A datagram shorter than the
// header changes nothing.
void kdpxTakeReply(const uint8_t* got, size_t gotLength, int* result, void* reply,
                   size_t* replyLength);

// Bounds every exchange this thread starts while the scope lives by the
// monotonic tick `deadline` (platform_tick_ms): no attempt starts after it and
// no wait runs past it, and an exchange cut short answers 4. 0 adds no bound;
// an inner scope never extends an outer one. A connect keeps its caller's
// limit through this, down to the steps it has the queue thread run.
class KdpxDeadlineScope {
 public:
  explicit KdpxDeadlineScope(uint64_t deadline);
  ~KdpxDeadlineScope();
  KdpxDeadlineScope(const KdpxDeadlineScope&) = delete;
  KdpxDeadlineScope& operator=(const KdpxDeadlineScope&) = delete;

 private:
  uint64_t saved_;
};

// One unicast exchange. replyLength: capacity on entry, bytes stored on return;
// a null replyLength or a capacity of 0 takes no payload. result may be null.
int TiloIoKdpxExec(const char* target, char type, uint32_t command, const void* payload,
                   size_t payloadLength, int* result, void* reply, size_t* replyLength);

// One broadcast exchange of the MAC query with its 21-byte payload.
int TiloIoKdpxBroadcast(const uint8_t* payload, int* result, void* reply, size_t* replyLength);

// Client holding the data port: the IPv4 address as the printer sends it
// (network byte order in memory); 0 when none.
int TiloIoKdpxGetClientAddress(const char* target, int* client);
// Interface status bytes 1 to 4 of the reply, byte 1 lowest; -1 for a reply
// that carries none.
int TiloIoKdpxGetStatus(const char* target, int* status);
int TiloIoKdpxClearConnectionTimeout(const char* target);
// 0 when the printer reports a client on its data port, 3 when none.
int TiloIoKdpxCheckConnected(const char* target);

}  // namespace tilo2::core
