#pragma once
// One device-service host: the connection every device handle and message box
// on that host shares. It owns the current channel, the client id the service
// handed out, the condition, the seven callback slots and the sequence and
// data-id counters. Connections are shared records: the global list holds
// one reference, and every thread that works with a connection (receive,
// close, HTTP and monitor threads, waiters, app calls) holds its own, so
// destruction only makes a connection unreachable; its memory goes with the
// last holder.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "foundation/platform.h"
#include "service/device_service.h"
#include "service/request_messages.h"

namespace tilo2::core {

struct TdevChannel_t;
struct TdevChannelHolder_t;  // a channel and its framing; closed when the last holder goes
struct TdevHandleBase_t;
struct TdevCommBoxEntry_t;

// One device handle on a connection's list (device_handles.h).
enum TdevDriverHandleState : int32_t {
  TDEV_HANDLE_OPENING = 0,
  TDEV_HANDLE_OPEN = 1,
  TDEV_HANDLE_CLOSING = 2,
};
struct TdevDriverHandleEntry_t {
  std::shared_ptr<TdevHandleBase_t> handle;
  uint32_t type;
  int32_t state;
};

// Callbacks of the message-box list: (connection, entry or null, host, result, sequence).
using TdevCommBoxResultCallback = void (*)(TdevConnection_t* connection, TdevCommBoxEntry_t* entry,
                                           const char* host, int32_t result, int32_t sequence);
// One node of the message-box list.
struct TdevCommBoxNode_t {
  std::shared_ptr<TdevCommBoxEntry_t> entry;
  int32_t sequence;  // of its pending request, 0 when none
  int32_t state;     // TdevDriverHandleState: opening, open, closing
};

enum TdevCondition : int32_t {
  TDEV_CONDITION_CONNECTED = 0,
  TDEV_CONDITION_DISCONNECTED = 1,
  TDEV_CONDITION_CONNECTING = 2,
  TDEV_CONDITION_DISCONNECTING = 3,
  TDEV_CONDITION_RECONNECTING = 4,
};

enum TdevConnectionCallbackIndex : int32_t {
  TDEV_SLOT_DISCONNECTED = 0,
  TDEV_SLOT_RECONNECTING = 1,
  TDEV_SLOT_RECONNECTED = 2,
  TDEV_SLOT_CONNECT_RESULT = 3,
  TDEV_SLOT_OPEN_DEVICE = 4,
  TDEV_SLOT_CLOSE_DEVICE = 5,
  TDEV_SLOT_COUNT = 7,  // slot 6 is never filled
};

// Slots 0, 1 and 2.
using TdevConnectionNotifier = void (*)(TdevConnection_t* connection, const char* host);
// Slot 3.
using TdevConnectResultCallback = void (*)(TdevConnection_t* connection, const char* host,
                                           int32_t result);
// Slots 4 and 5: handle null when the device did not open (or is gone).
using TdevDeviceResultCallback = void (*)(TdevConnection_t* connection, void* handle,
                                          const char* host, const char* deviceId, int32_t type,
                                          int32_t result);

// The seven slots, each read under the callback lock and called after it.
struct TdevConnectionSlots_t {
  TdevConnectionNotifier notifier[3];  // 0 disconnected, 1 reconnecting, 2 reconnected
  TdevConnectResultCallback connectResult;
  TdevDeviceResultCallback openResult;
  TdevDeviceResultCallback closeResult;
};

using TdevConnectionRef = std::shared_ptr<TdevConnection_t>;

// The record. Read it through the functions below; the fields are listed so
// the other parts of the client can see what guards what.
struct TdevConnection_t {
  // Host text, client id, admin name, location, port and tls: under textLock.
  std::string host;
  std::string clientId;
  std::string adminName;
  std::string location;
  uint8_t tls = 0;
  int32_t port = 0;
  double protocolVersion = 0.0;
  PlatformMutex_t textLock{};

  // The current channel (null when none), under channelLock. A hand-over
  // takes the reference and leaves null; the channel is joined and freed on a
  // close thread of its own once the last holder (a sender, a hook) lets go,
  // so it is closed exactly once and never under a sender.
  std::shared_ptr<TdevChannelHolder_t> channel;
  PlatformMutex_t channelLock{};

  // Device handles opened on the host, in the order they were opened.
  std::vector<TdevDriverHandleEntry_t> drivers;
  PlatformMutex_t driverLock{};

  // The message-box list: its nodes and its two result callbacks (0 open,
  // 1 close). Entries live while a node or a caller holds them.
  std::vector<TdevCommBoxNode_t> boxes;
  TdevCommBoxResultCallback boxCallbacks[2]{};
  PlatformMutex_t boxLock{};

  // Taken around every request send; most senders try it without waiting.
  PlatformMutex_t sendLock{};

  int32_t condition = TDEV_CONDITION_DISCONNECTED;
  PlatformMutex_t conditionLock{};

  TdevConnectionSlots_t slots{};
  PlatformMutex_t callbackLock{};

  int32_t sequence = 0;
  int32_t receivedId = 0;
  PlatformMutex_t counterLock{};

  // Users handed out by TdevConnectSync and not yet given back through
  // TdevDisconnectIfUnused; and the state of the disconnect clean-up.
  int32_t users = 0;
  bool disconnectWaiting = false;  // a TdevDisconnect call waits for the reply
  bool cleanedUp = false;          // the clean-up of this session started
  bool settled = false;            // ... and has left the connection disconnected
  uint64_t session = 0;            // rises with every TdevConnect and every clean-up
  PlatformCond_t disconnectEvent = nullptr;
  PlatformMutex_t disconnectLock{};

  // Under the global list lock: destroyed, and claimed by a disconnect of
  // TdevDisconnectIfUnused (no longer handed out).
  bool destroyed = false;
  bool claimed = false;

  // A reconnect under way: its generation and the event that ends its watch.
  uint64_t reconnectGeneration = 0;
  PlatformCond_t reconnectEvent = nullptr;

  TdevConnection_t();
  ~TdevConnection_t();
  TdevConnection_t(const TdevConnection_t&) = delete;
  TdevConnection_t& operator=(const TdevConnection_t&) = delete;
};

// ---- Life -------------------------------------------------------------------
// A new connection in condition 1 on the global list. 1 null out, 12 no memory.
int TdevCreateConnection(TdevConnection_t** out);
// The live connection behind a pointer the device layer holds, or null when it
// was destroyed (or never was one).
TdevConnectionRef TdevRefConnection(const TdevConnection_t* connection);
// The first live connection whose host text equals host, byte for byte.
TdevConnectionRef TdevFindConnection(const char* host);
// The connected connection of the host, with one more user counted, or null.
TdevConnection_t* TdevTakeConnectedUser(const char* host);
void TdevAddConnectionUser(TdevConnection_t* connection);

// ---- Connect and disconnect -------------------------------------------------
// Opens the channel (TLS on 8143, else 8009); the outcome reaches slot 3.
// 1 null or a timeout outside 1000..300000 other than -2; 5 connected or the
// host has a connection that is not disconnected; else 0 or the channel's failure.
int TdevConnect(TdevConnection_t* connection, const char* host, int32_t tls, int32_t timeoutMs);
// Sends "disconnect" and waits for the reply within the disconnect bound,
// then cleans up locally. 1 null, 5 no channel or already disconnecting,
// 2 send lock, a send failure, else 0.
int TdevDisconnect(TdevConnection_t* connection);

// ---- Fields -----------------------------------------------------------------
int32_t TdevGetCondition(TdevConnection_t* connection);  // 1 for null
void TdevSetCondition(TdevConnection_t* connection, int32_t condition);
// Stores a slot (0..6); 5 null connection, 255 index above 6.
int TdevSetConnectionCallback(TdevConnection_t* connection, int32_t index, void* function);
// 1, 2, ... 0x7FFFFFFE, then 1 again; 0 for null.
int32_t TdevNextSequence(TdevConnection_t* connection);
void TdevSetReceivedId(TdevConnection_t* connection, int32_t dataId);
int32_t TdevGetReceivedId(TdevConnection_t* connection);
// Copies of the texts (empty when unset or the connection is null).
std::string TdevConnectionHost(TdevConnection_t* connection);
std::string TdevConnectionClientId(TdevConnection_t* connection);
uint8_t TdevConnectionTls(TdevConnection_t* connection);
// Admin name and location, read together under one lock.
void TdevConnectionAdminInfo(TdevConnection_t* connection, std::string* adminName,
                             std::string* location);
// The current channel, kept open while *keep holds it (tests use it to
// play a channel that is no longer the connection's own).
TdevChannel_t* TdevConnectionChannel(TdevConnection_t* connection,
                                     std::shared_ptr<TdevChannelHolder_t>* keep);
// Users handed out by TdevConnectSync still held.
int32_t TdevConnectionUsers(TdevConnection_t* connection);

// Sends one request on the connection's channel: the send lock tried without
// waiting (2 when busy), then the channel's send mapped to a TdevResult.
// 4 when there is no channel.
int TdevConnectionSend(TdevConnection_t* connection, const char* bytes, int32_t length);
// Sends a message a builder made (its result in built) the same way, and
// frees the message in every case: a builder's failure is translated and
// nothing is sent.
int TdevConnectionSendBuilt(TdevConnection_t* connection, int built, TdevBuffer_t* message);

// ---- Sinks of the service's connection messages (received_messages) --------
void TdevOnConnect(TdevConnection_t* connection, const char* clientId, double protocolVersion);
void TdevOnReconnect(TdevConnection_t* connection, int32_t replyCode);
void TdevOnDisconnect(TdevConnection_t* connection, int32_t replyCode);
void TdevOnAdminInfo(TdevConnection_t* connection, int32_t replyCode, const char* adminName,
                     const char* location);

// ---- Channel hooks and receive callback (each names its channel) ------------
// A report from a channel that is no longer its connection's own is ignored.
void TdevOnChannelConnectResult(TdevChannel_t* channel, const char* host, int32_t code);
void TdevOnChannelLost(TdevChannel_t* channel, const char* host);
void TdevOnChannelData(TdevChannel_t* channel, const char* host, const uint8_t* bytes,
                       int32_t length);

// Hands a channel to a short-lived close thread that joins and frees it
// (and then calls done(context) when given). 0, or 12 when no thread starts
// (the channel is then joined and freed here unless this is its own receive
// thread, which leaves it to leak rather than free it under itself).
int TdevCloseChannelAsync(TdevChannel_t* channel, void (*done)(void*) = nullptr,
                          void* context = nullptr);

// ---- Bounds (test hooks in test_hooks.h set them) ---------------------------
int32_t TdevReconnectLimitMs();
int32_t TdevReplyBoundMs();
int32_t TdevDisconnectBoundMs();

}  // namespace tilo2::core
