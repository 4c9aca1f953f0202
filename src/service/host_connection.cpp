#include "service/host_connection.h"

#include <algorithm>
#include <atomic>
#include <new>
#include <utility>
#include <vector>

#include "device/conn_listener.h"
#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "service/channel.h"
#include "service/device_handles.h"
#include "service/hybrid_ops.h"
#include "service/live_threads.h"
#include "service/received_messages.h"
#include "service/reply_codes.h"
#include "service/request_messages.h"
#include "service/test_hooks.h"
#include "service/waiters.h"

namespace tilo2::core {

// A channel with the framing of its byte stream. The receive thread is the
// framer's only user; the record goes when the channel has been joined.
struct TdevChannelContext_t {
  TdevConnection_t* connection;
  TdevMessageFramer framer;
};

struct TdevChannelHolder_t {
  TdevChannel_t* channel = nullptr;
  TdevChannelContext_t* context = nullptr;
  ~TdevChannelHolder_t() {
    if (channel == nullptr) {
      delete context;
      return;
    }
    TdevCloseChannelAsync(
        channel, [](void* c) { delete static_cast<TdevChannelContext_t*>(c); }, context);
  }
};

namespace {

constexpr const char* kTag = "TDEV_";
constexpr int32_t kDefaultReconnectLimitMs = 60000;
constexpr int32_t kDefaultReplyBoundMs = 30000;
constexpr int32_t kDefaultDisconnectBoundMs = 15000;

std::atomic<int32_t> g_reconnectLimitMs{kDefaultReconnectLimitMs};
std::atomic<int32_t> g_replyBoundMs{kDefaultReplyBoundMs};
std::atomic<int32_t> g_disconnectBoundMs{kDefaultDisconnectBoundMs};

// The global connection list. Lock order: this lock, then a connection's
// condition lock; nothing else is taken under it.
PlatformMutex_t g_listLock = PLATFORM_MUTEX_STATIC_INITIALIZER;
std::vector<TdevConnectionRef>& Connections() {
  static auto* list = new std::vector<TdevConnectionRef>();
  return *list;
}

template <class Callback>
Callback ReadSlot(TdevConnection_t* connection, Callback TdevConnectionSlots_t::*slot) {
  PlatformLockGuard guard(connection->callbackLock);
  return connection->slots.*slot;
}

TdevConnectionNotifier ReadNotifier(TdevConnection_t* connection, int index) {
  PlatformLockGuard guard(connection->callbackLock);
  return connection->slots.notifier[index];
}

std::shared_ptr<TdevChannelHolder_t> CurrentChannel(TdevConnection_t* connection) {
  PlatformLockGuard guard(connection->channelLock);
  return connection->channel;
}

// Takes the connection's channel away; the caller's reference (dropped at the
// end of its scope) may be the last, which starts the close thread.
std::shared_ptr<TdevChannelHolder_t> TakeChannel(TdevConnection_t* connection) {
  PlatformLockGuard guard(connection->channelLock);
  return std::exchange(connection->channel, nullptr);
}

bool IsCurrent(TdevConnection_t* connection, const TdevChannel_t* channel) {
  PlatformLockGuard guard(connection->channelLock);
  return connection->channel != nullptr && connection->channel->channel == channel;
}

// The connection a channel was opened for, while that channel is still its own.
TdevConnectionRef OwnerOf(TdevChannel_t* channel) {
  auto* context = static_cast<TdevChannelContext_t*>(TdevChannelContext(channel));
  if (context == nullptr) return nullptr;
  TdevConnectionRef connection = TdevRefConnection(context->connection);
  if (connection == nullptr || !IsCurrent(connection.get(), channel)) return nullptr;
  return connection;
}

void InstallHooks() {
  TdevChannelHooks hooks{};
  hooks.connectResult = &TdevOnChannelConnectResult;
  hooks.linkLost = &TdevOnChannelLost;
  hooks.data = &TdevOnChannelData;
  TdevChannelSetHooks(hooks);
}

// Opens a channel for the connection and makes it the current one. The
// channel lock is held across the open, so a hook of the new channel waits
// until the channel is stored. 0 or a TdevChannelCode.
int32_t OpenChannel(TdevConnection_t* connection, const std::string& host, int32_t port,
                    int32_t tls, int32_t timeoutMs) {
  std::shared_ptr<TdevChannelHolder_t> holder;
  try {
    holder = std::make_shared<TdevChannelHolder_t>();
    holder->context = new TdevChannelContext_t{connection, {}};
  } catch (const std::bad_alloc&) {
    return 5;
  }
  std::shared_ptr<TdevChannelHolder_t> old;
  PlatformLockGuard guard(connection->channelLock);
  old = std::exchange(connection->channel, nullptr);
  // A destroyed connection opens nothing (its destruction took the channel
  // under this lock, after making it unreachable).
  if (TdevRefConnection(connection) == nullptr) return 8;
  const int32_t code =
      TdevChannelOpen(&holder->channel, host.c_str(), port, tls, timeoutMs, holder->context);
  if (code != 0) return code;  // holder frees the context
  connection->channel = holder;
  return 0;
}

// Sends on the current channel. When trySendLock, the send lock is tried
// without waiting: busy gives 2 unless sendAnyway (the service's own
// messages go out whether or not another sender holds it).
int SendOnChannel(TdevConnection_t* connection, const char* bytes, int32_t length,
                  bool sendAnyway) {
  PlatformLockGuard sendGuard = PlatformLockGuard::Try(connection->sendLock);
  if (!sendGuard && !sendAnyway) return 2;
  std::shared_ptr<TdevChannelHolder_t> holder = CurrentChannel(connection);
  if (holder == nullptr) return 4;
  const int32_t code = TdevChannelSend(holder->channel, bytes, length);
  return TdevChannelResultToResult(code, 0);
}

int SendBuilt(TdevConnection_t* connection, int built, TdevBuffer_t* message, bool sendAnyway) {
  if (built != TDEV_BUILD_OK) {
    TdevBufferFree(message);
    return TdevBuilderResultToResult(built);
  }
  const std::string_view bytes = TdevBufferView(message);
  const int sent =
      SendOnChannel(connection, bytes.data(), static_cast<int32_t>(bytes.size()), sendAnyway);
  TdevBufferFree(message);
  return sent;
}

void EndReconnectWatch(TdevConnection_t* connection) {
  {
    PlatformLockGuard guard(connection->disconnectLock);
    ++connection->reconnectGeneration;
  }
  platform_cond_signal(&connection->reconnectEvent);
}

// Requests still waiting for a reply that can no longer come end now with 4
// (their waiters wake), before the records are dropped.
void FailPending(TdevConnection_t* connection) {
  TdevFailOpeningDevices(connection);
  TdevFailClosingDevices(connection);
  TdevFailOpeningCommBoxes(connection);
  TdevFailClosingCommBoxes(connection);
  TdevFailHybridWaits(connection);
}

// Takes the host text away and forgets what the service told about itself:
// the connection names no host once it is down.
std::string TakeHostTexts(TdevConnection_t* connection) {
  PlatformLockGuard guard(connection->textLock);
  std::string host = std::move(connection->host);
  connection->host.clear();
  connection->clientId.clear();
  connection->adminName.clear();
  connection->location.clear();
  return host;
}

// The disconnect clean-up: runs once per session, whichever comes first (the
// service's "disconnect", a lost link, an expired reconnect or disconnect
// wait, a failed reconnect). It ends with slot 0, whose owner may destroy the
// connection; the caller's reference keeps the memory alive meanwhile.
void CleanUp(const TdevConnectionRef& connection) {
  {
    PlatformLockGuard guard(connection->disconnectLock);
    if (connection->cleanedUp) return;
    connection->cleanedUp = true;
    connection->settled = false;
  }
  EndReconnectWatch(connection.get());
  TdevSetCondition(connection.get(), TDEV_CONDITION_DISCONNECTED);
  const std::string host = TakeHostTexts(connection.get());
  TakeChannel(connection.get());
  FailPending(connection.get());
  TdevRemoveAllDriverHandleList(connection.get());
  {
    // A disconnect waiting for its reply returns now, with everything settled.
    PlatformLockGuard guard(connection->disconnectLock);
    connection->settled = true;
    ++connection->session;
    platform_cond_signal(&connection->disconnectEvent);
  }
  // A connection destroyed meanwhile tells nobody.
  if (TdevRefConnection(connection.get()) == nullptr) return;
  if (TdevConnectionNotifier slot = ReadNotifier(connection.get(), TDEV_SLOT_DISCONNECTED)) {
    slot(connection.get(), host.c_str());
  }
}

// A connect that failed (the channel's failure, or a link lost before the
// service's "connect"): condition 1 and slot 3 with the result.
void FailConnect(const TdevConnectionRef& connection, int32_t result) {
  const std::string host = TakeHostTexts(connection.get());
  TakeChannel(connection.get());
  TdevRemoveAllDriverHandleList(connection.get());
  TdevSetCondition(connection.get(), TDEV_CONDITION_DISCONNECTED);
  if (TdevConnectResultCallback slot =
          ReadSlot(connection.get(), &TdevConnectionSlots_t::connectResult)) {
    slot(connection.get(), host.c_str(), result);
  }
}

// A detached thread of the client is counted from before it starts, so no
// check of the count can fall between its start and its first step.
struct CountedThread {
  CountedThread(const CountedThread&) = delete;
  CountedThread& operator=(const CountedThread&) = delete;
  CountedThread() = default;
  ~CountedThread() { TdevLiveThreads().fetch_sub(1); }
};

int StartCountedThread(PlatformThreadEntry entry, void* argument) {
  TdevLiveThreads().fetch_add(1);
  PlatformThread_t thread = nullptr;
  const int started = platform_thread_create(&thread, entry, argument);
  if (started != 0) {
    TdevLiveThreads().fetch_sub(1);
    return started;
  }
  platform_thread_close(thread);
  return 0;
}

struct ReconnectWatch {
  TdevConnectionRef connection;
  uint64_t generation;
};

// Gives a reconnect the reconnect limit; when it has not completed by then,
// the connection is given up (clean-up, slot 0).
void* ReconnectWatchThread(void* argument) {
  CountedThread live;
  std::unique_ptr<ReconnectWatch> watch(static_cast<ReconnectWatch*>(argument));
  TdevConnection_t* connection = watch->connection.get();
  const uint64_t end = platform_tick_ms() + static_cast<uint64_t>(TdevReconnectLimitMs());
  for (;;) {
    {
      PlatformLockGuard guard(connection->disconnectLock);
      if (connection->reconnectGeneration != watch->generation) return nullptr;
    }
    // Destroyed meanwhile: nothing left to give up.
    if (TdevRefConnection(connection) == nullptr) return nullptr;
    const uint64_t now = platform_tick_ms();
    if (now >= end) break;
    // Short slices: an end signalled before this thread started is seen too.
    platform_cond_wait_ms(&connection->reconnectEvent,
                          static_cast<int>(std::min<uint64_t>(end - now, 200)));
  }
  if (TdevGetCondition(connection) == TDEV_CONDITION_RECONNECTING) {
    log_trace(kTag, LOG_TRACE_INFO, connection, 0, "ReconnectWatch", LOG_ARG_STRING,
              "Reconnect limit passed.", LOG_ARG_END);
    CleanUp(watch->connection);
  }
  return nullptr;
}

void StartReconnectWatch(const TdevConnectionRef& connection) {
  uint64_t generation = 0;
  {
    PlatformLockGuard guard(connection->disconnectLock);
    generation = ++connection->reconnectGeneration;
  }
  platform_cond_reset(&connection->reconnectEvent);
  auto* watch = new (std::nothrow) ReconnectWatch{connection, generation};
  if (watch == nullptr || StartCountedThread(&ReconnectWatchThread, watch) != 0) {
    delete watch;
    return;  // the channel's own connect limit still ends a reconnect that cannot connect
  }
}

struct CloseJob {
  TdevChannel_t* channel;
  void (*done)(void*);
  void* context;
};

void* CloseChannelThread(void* argument) {
  CountedThread live;
  std::unique_ptr<CloseJob> job(static_cast<CloseJob*>(argument));
  TdevChannelFree(job->channel);
  if (job->done != nullptr) job->done(job->context);
  return nullptr;
}

}  // namespace

// ---- Records ------------------------------------------------------------------------

TdevConnection_t::TdevConnection_t() {
  for (PlatformMutex_t* lock : {&textLock, &channelLock, &driverLock, &boxLock, &sendLock,
                                &conditionLock, &callbackLock, &counterLock, &disconnectLock}) {
    platform_mutex_init(lock);
  }
  platform_cond_init(&disconnectEvent);
  platform_cond_init(&reconnectEvent);
}

TdevConnection_t::~TdevConnection_t() {
  channel.reset();
  platform_cond_destroy(&disconnectEvent);
  platform_cond_destroy(&reconnectEvent);
  for (PlatformMutex_t* lock : {&textLock, &channelLock, &driverLock, &boxLock, &sendLock,
                                &conditionLock, &callbackLock, &counterLock, &disconnectLock}) {
    platform_mutex_destroy(lock);
  }
}

// ---- Bounds -------------------------------------------------------------------------

void TdevSetReconnectLimit(int32_t ms) {
  g_reconnectLimitMs.store(ms > 0 ? ms : kDefaultReconnectLimitMs);
}

void TdevSetReplyBounds(int32_t replyMs, int32_t disconnectMs) {
  g_replyBoundMs.store(replyMs > 0 ? replyMs : kDefaultReplyBoundMs);
  g_disconnectBoundMs.store(disconnectMs > 0 ? disconnectMs : kDefaultDisconnectBoundMs);
}

int32_t TdevReconnectLimitMs() { return g_reconnectLimitMs.load(); }
int32_t TdevReplyBoundMs() { return g_replyBoundMs.load(); }
int32_t TdevDisconnectBoundMs() { return g_disconnectBoundMs.load(); }

// ---- Life -------------------------------------------------------------------------

int TdevCreateConnection(TdevConnection_t** out) {
  if (out == nullptr) return 1;
  TdevConnectionRef connection;
  try {
    connection = std::make_shared<TdevConnection_t>();
  } catch (const std::bad_alloc&) {
    return 12;
  }
  if (connection->disconnectEvent == nullptr || connection->reconnectEvent == nullptr) return 12;
  {
    PlatformLockGuard guard(g_listLock);
    if (!guard) return 255;
    try {
      Connections().push_back(connection);
    } catch (const std::bad_alloc&) {
      return 12;
    }
  }
  log_trace(kTag, LOG_TRACE_INFO, connection.get(), 0, "AddHandleList", LOG_ARG_STRING,
            "Add handle.", LOG_ARG_END);
  InstallHooks();
  *out = connection.get();
  return 0;
}

TdevConnectionRef TdevRefConnection(const TdevConnection_t* connection) {
  if (connection == nullptr) return nullptr;
  PlatformLockGuard guard(g_listLock);
  for (auto& c : Connections())
    if (c.get() == connection) return c;
  return nullptr;
}

TdevConnectionRef TdevFindConnection(const char* host) {
  if (host == nullptr) return nullptr;
  std::vector<TdevConnectionRef> all;
  {
    PlatformLockGuard guard(g_listLock);
    all = Connections();
  }
  for (auto& c : all) {
    PlatformLockGuard guard(c->textLock);
    if (c->host == host) return c;
  }
  return nullptr;
}

TdevConnection_t* TdevTakeConnectedUser(const char* host) {
  if (host == nullptr) return nullptr;
  PlatformLockGuard guard(g_listLock);
  for (auto& c : Connections()) {
    if (c->claimed) continue;
    {
      PlatformLockGuard text(c->textLock);
      if (c->host != host) continue;
    }
    if (TdevGetCondition(c.get()) != TDEV_CONDITION_CONNECTED) continue;
    ++c->users;
    return c.get();
  }
  return nullptr;
}

void TdevAddConnectionUser(TdevConnection_t* connection) {
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return;
  PlatformLockGuard guard(g_listLock);
  ++ref->users;
}

int32_t TdevConnectionUsers(TdevConnection_t* connection) {
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return 0;
  PlatformLockGuard guard(g_listLock);
  return ref->users;
}

int TdevDestroyConnection(TdevConnection_t* connection) {
  if (connection == nullptr) return 1;
  TdevConnectionRef ref;
  {
    PlatformLockGuard guard(g_listLock);
    auto& list = Connections();
    auto it = std::find_if(list.begin(), list.end(),
                           [&](const TdevConnectionRef& c) { return c.get() == connection; });
    if (it == list.end()) return 1;
    ref = std::move(*it);
    list.erase(it);
    ref->destroyed = true;
  }
  log_trace(kTag, LOG_TRACE_INFO, connection, 0, "RemoveHandleList", LOG_ARG_STRING,
            "Remove handle.", LOG_ARG_END);
  EndReconnectWatch(connection);
  // Whoever waits on this connection stops waiting: a connect with 4, opens
  // and closes through their slots.
  TdevOnConnectReply(connection, TdevConnectionHost(connection).c_str(), 4);
  FailPending(connection);
  {
    // A disconnect still waiting for its reply ends now.
    PlatformLockGuard guard(connection->disconnectLock);
    platform_cond_signal(&connection->disconnectEvent);
  }
  TdevRemoveAllDriverHandleList(connection);
  TdevClearCommBoxes(connection);
  TakeChannel(connection);
  return 0;
}

// ---- Connect and disconnect -----------------------------------------------------------

int TdevConnect(TdevConnection_t* connection, const char* host, int32_t tls, int32_t timeoutMs) {
  if (connection == nullptr || host == nullptr) return 1;
  if (timeoutMs == -2) timeoutMs = 15000;
  if (timeoutMs < 1000 || timeoutMs > 300000) return 1;
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return 1;
  {
    // The check and the move to condition 2 are one step under the list
    // lock, so two connects to one host cannot both pass.
    PlatformLockGuard guard(g_listLock);
    if (TdevGetCondition(connection) == TDEV_CONDITION_CONNECTED) return 5;
    for (auto& c : Connections()) {
      {
        PlatformLockGuard text(c->textLock);
        if (c->host != host) continue;
      }
      if (TdevGetCondition(c.get()) != TDEV_CONDITION_DISCONNECTED) return 5;
    }
    if (TdevGetCondition(connection) != TDEV_CONDITION_DISCONNECTED) return 5;
    connection->claimed = false;
    {
      PlatformLockGuard text(connection->textLock);
      connection->host = host;
      connection->port = tls == 1 ? kTdevTlsPort : kTdevPlainPort;
      connection->tls = tls == 1 ? 1 : 0;
    }
    {
      PlatformLockGuard wait(connection->disconnectLock);
      connection->cleanedUp = false;
      connection->settled = false;
      ++connection->session;
    }
    TdevSetCondition(connection, TDEV_CONDITION_CONNECTING);
  }
  TdevSetConnectionCallback(connection, TDEV_SLOT_CONNECT_RESULT,
                            reinterpret_cast<void*>(&TdevOnConnectReply));
  const int32_t code = OpenChannel(connection, host, tls == 1 ? kTdevTlsPort : kTdevPlainPort,
                                   tls == 1 ? 1 : 0, timeoutMs);
  if (code != 0) {
    {
      PlatformLockGuard text(connection->textLock);
      connection->host.clear();
    }
    TdevSetCondition(connection, TDEV_CONDITION_DISCONNECTED);
    return TdevChannelResultToResult(code, 0);
  }
  return 0;
}

int TdevDisconnect(TdevConnection_t* connection) {
  if (connection == nullptr) return 1;
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return 1;
  const int32_t condition = TdevGetCondition(connection);
  if (CurrentChannel(connection) == nullptr || condition == TDEV_CONDITION_DISCONNECTING) return 5;
  if (condition != TDEV_CONDITION_CONNECTED) {
    TdevSetCondition(connection, TDEV_CONDITION_DISCONNECTING);
    CleanUp(ref);
    return 0;
  }
  TdevBuffer_t* message = nullptr;
  const int built = TdevMsgDisconnect(TdevConnectionClientId(connection).c_str(), &message);
  if (built != TDEV_BUILD_OK) {
    TdevBufferFree(message);
    return TdevBuilderResultToResult(built);
  }
  uint64_t session = 0;
  {
    PlatformLockGuard guard(connection->disconnectLock);
    session = connection->session;
  }
  TdevSetCondition(connection, TDEV_CONDITION_DISCONNECTING);
  const uint64_t end = platform_tick_ms() + static_cast<uint64_t>(TdevDisconnectBoundMs());
  int result = 0;
  {
    PlatformLockGuard sendGuard(connection->sendLock, TdevDisconnectBoundMs());
    if (!sendGuard) {
      TdevBufferFree(message);
      TdevSetCondition(connection, TDEV_CONDITION_CONNECTED);
      return 2;
    }
    std::shared_ptr<TdevChannelHolder_t> holder = CurrentChannel(connection);
    const std::string_view bytes = TdevBufferView(message);
    const int32_t code = holder == nullptr ? 3
                                           : TdevChannelSend(holder->channel, bytes.data(),
                                                             static_cast<int32_t>(bytes.size()));
    result = TdevChannelResultToResult(code, 0);
  }
  TdevBufferFree(message);
  if (result == 0) {
    // The reply (or the link's loss) runs the clean-up; past the bound it
    // runs here.
    for (;;) {
      {
        PlatformLockGuard guard(connection->disconnectLock);
        if (connection->settled || connection->session != session) break;
      }
      if (TdevRefConnection(connection) == nullptr) return 0;  // destroyed meanwhile
      const uint64_t now = platform_tick_ms();
      if (now >= end) break;
      platform_cond_wait_ms(&connection->disconnectEvent, static_cast<int>(end - now));
    }
  }
  // A send that failed leaves the link unusable: it is cleaned up as well.
  CleanUp(ref);
  return result;
}

int TdevDisconnectIfUnused(TdcBackendEnv_t*, TdevConnection_t* connection) {
  if (connection == nullptr) return 1;
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return 0;  // already gone
  {
    PlatformLockGuard guard(g_listLock);
    if (ref->users > 0) --ref->users;
    if (ref->users > 0 || ref->claimed || TdevCountBusyRecords(connection) > 0) return 0;
    // From here the connection is no longer handed out.
    ref->claimed = true;
  }
  const int result = TdevDisconnect(connection);
  return result == 5 ? 0 : result;
}

int TdevIsConnected(TdevConnection_t* connection) {
  // The device layer may ask about a connection that is gone.
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return 0;
  return TdevGetCondition(connection) == TDEV_CONDITION_CONNECTED ? 1 : 0;
}

// ---- Fields -------------------------------------------------------------------------

int32_t TdevGetCondition(TdevConnection_t* connection) {
  if (connection == nullptr) return TDEV_CONDITION_DISCONNECTED;
  PlatformLockGuard guard(connection->conditionLock);
  if (!guard) return TDEV_CONDITION_DISCONNECTED;
  return connection->condition;
}

void TdevSetCondition(TdevConnection_t* connection, int32_t condition) {
  if (connection == nullptr) return;
  {
    PlatformLockGuard guard(connection->conditionLock);
    connection->condition = condition;
  }
  log_trace(kTag, LOG_TRACE_INFO, connection, 0, "TdevSetCondition", LOG_ARG_STRING, "Operaion->",
            LOG_ARG_INT, condition, LOG_ARG_END);
}

int TdevSetConnectionCallback(TdevConnection_t* connection, int32_t index, void* function) {
  if (connection == nullptr) return 5;
  if (index < 0 || index >= TDEV_SLOT_COUNT) return 255;
  PlatformLockGuard guard(connection->callbackLock);
  if (!guard) return 255;
  TdevConnectionSlots_t& slots = connection->slots;
  switch (index) {
    case 0:
    case 1:
    case 2:
      slots.notifier[index] = reinterpret_cast<TdevConnectionNotifier>(function);
      break;
    case TDEV_SLOT_CONNECT_RESULT:
      slots.connectResult = reinterpret_cast<TdevConnectResultCallback>(function);
      break;
    case TDEV_SLOT_OPEN_DEVICE:
      slots.openResult = reinterpret_cast<TdevDeviceResultCallback>(function);
      break;
    case TDEV_SLOT_CLOSE_DEVICE:
      slots.closeResult = reinterpret_cast<TdevDeviceResultCallback>(function);
      break;
    default:
      break;  // slot 6 holds nothing
  }
  return 0;
}

namespace {
int SetNotifier(TdevConnection_t* connection, int index, TdevConnectionNotifier notifier) {
  if (connection == nullptr) return 1;
  if (TdevRefConnection(connection) == nullptr) return 1;
  return TdevSetConnectionCallback(connection, index, reinterpret_cast<void*>(notifier));
}
}  // namespace

int TdevSetDisconnectCallback(TdevConnection_t* connection) {
  return SetNotifier(connection, TDEV_SLOT_DISCONNECTED, &TdcOnDisconnected);
}
int TdevSetReconnectingCallback(TdevConnection_t* connection) {
  return SetNotifier(connection, TDEV_SLOT_RECONNECTING, &TdcOnReconnecting);
}
int TdevSetReconnectCallback(TdevConnection_t* connection) {
  return SetNotifier(connection, TDEV_SLOT_RECONNECTED, &TdcOnReconnected);
}

int32_t TdevNextSequence(TdevConnection_t* connection) {
  if (connection == nullptr) return 0;
  PlatformLockGuard guard(connection->counterLock);
  if (!guard) return 0;
  connection->sequence = connection->sequence >= 0x7FFFFFFE ? 1 : connection->sequence + 1;
  return connection->sequence;
}

void TdevSetReceivedId(TdevConnection_t* connection, int32_t dataId) {
  if (connection == nullptr) return;
  PlatformLockGuard guard(connection->counterLock);
  connection->receivedId = dataId;
}

int32_t TdevGetReceivedId(TdevConnection_t* connection) {
  if (connection == nullptr) return 0;
  PlatformLockGuard guard(connection->counterLock);
  return connection->receivedId;
}

std::string TdevConnectionHost(TdevConnection_t* connection) {
  if (connection == nullptr) return {};
  PlatformLockGuard guard(connection->textLock);
  return connection->host;
}

std::string TdevConnectionClientId(TdevConnection_t* connection) {
  if (connection == nullptr) return {};
  PlatformLockGuard guard(connection->textLock);
  return connection->clientId;
}

uint8_t TdevConnectionTls(TdevConnection_t* connection) {
  if (connection == nullptr) return 0;
  PlatformLockGuard guard(connection->textLock);
  return connection->tls;
}

void TdevConnectionAdminInfo(TdevConnection_t* connection, std::string* adminName,
                             std::string* location) {
  if (connection == nullptr) return;
  PlatformLockGuard guard(connection->textLock);
  if (adminName != nullptr) *adminName = connection->adminName;
  if (location != nullptr) *location = connection->location;
}

TdevChannel_t* TdevConnectionChannel(TdevConnection_t* connection,
                                     std::shared_ptr<TdevChannelHolder_t>* keep) {
  if (connection == nullptr) return nullptr;
  std::shared_ptr<TdevChannelHolder_t> holder = CurrentChannel(connection);
  if (holder == nullptr) return nullptr;
  if (keep != nullptr) *keep = holder;
  return holder->channel;
}

int TdevConnectionSend(TdevConnection_t* connection, const char* bytes, int32_t length) {
  if (connection == nullptr || bytes == nullptr || length <= 0) return 1;
  return SendOnChannel(connection, bytes, length, false);
}

int TdevConnectionSendBuilt(TdevConnection_t* connection, int built, TdevBuffer_t* message) {
  if (connection == nullptr) {
    TdevBufferFree(message);
    return 1;
  }
  return SendBuilt(connection, built, message, false);
}

// ---- Sinks of the connection messages ----------------------------------------------------

void TdevOnConnect(TdevConnection_t* connection, const char* clientId, double protocolVersion) {
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr || clientId == nullptr) return;
  const int32_t condition = TdevGetCondition(connection);
  if (condition == TDEV_CONDITION_CONNECTING) {
    {
      PlatformLockGuard guard(connection->textLock);
      connection->clientId = clientId;
      connection->protocolVersion = protocolVersion;
    }
    TdevSetCondition(connection, TDEV_CONDITION_CONNECTED);
    TdevBuffer_t* message = nullptr;
    const int built = TdevMsgAdminInfo(&message);
    SendBuilt(connection, built, message, true);
    if (TdevConnectResultCallback slot =
            ReadSlot(connection, &TdevConnectionSlots_t::connectResult)) {
      slot(connection, TdevConnectionHost(connection).c_str(), 0);
    }
  } else if (condition == TDEV_CONDITION_RECONNECTING) {
    const std::string old = TdevConnectionClientId(connection);
    TdevBuffer_t* message = nullptr;
    const int built =
        TdevMsgReconnect(clientId, old.c_str(), TdevGetReceivedId(connection), &message);
    SendBuilt(connection, built, message, true);
    PlatformLockGuard guard(connection->textLock);
    connection->clientId = clientId;
    connection->protocolVersion = protocolVersion;
  }
}

void TdevOnReconnect(TdevConnection_t* connection, int32_t replyCode) {
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return;
  // Only a reconnect under way takes the reply.
  if (TdevGetCondition(connection) != TDEV_CONDITION_RECONNECTING) return;
  if (TdevReplyCodeToResult(replyCode) == 0) {
    EndReconnectWatch(connection);
    TdevSetCondition(connection, TDEV_CONDITION_CONNECTED);
    if (TdevConnectionNotifier slot = ReadNotifier(connection, TDEV_SLOT_RECONNECTED)) {
      slot(connection, TdevConnectionHost(connection).c_str());
    }
  } else {
    CleanUp(ref);
  }
}

void TdevOnDisconnect(TdevConnection_t* connection, int32_t) {
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return;
  CleanUp(ref);
}

void TdevOnAdminInfo(TdevConnection_t* connection, int32_t, const char* adminName,
                     const char* location) {
  TdevConnectionRef ref = TdevRefConnection(connection);
  if (ref == nullptr) return;
  PlatformLockGuard guard(connection->textLock);
  connection->adminName = adminName != nullptr ? adminName : "";
  connection->location = location != nullptr ? location : "";
}

// ---- Channel hooks ------------------------------------------------------------------

void TdevOnChannelConnectResult(TdevChannel_t* channel, const char*, int32_t code) {
  TdevConnectionRef connection = OwnerOf(channel);
  if (connection == nullptr) return;
  const int32_t result = TdevChannelResultToResult(code, -1);
  if (result <= 0) return;  // success waits for the service's "connect"; no row does nothing
  if (TdevGetCondition(connection.get()) == TDEV_CONDITION_RECONNECTING) {
    CleanUp(connection);
  } else {
    FailConnect(connection, result);
  }
}

void TdevOnChannelLost(TdevChannel_t* channel, const char*) {
  TdevConnectionRef connection = OwnerOf(channel);
  if (connection == nullptr) return;
  TdevConnection_t* c = connection.get();
  switch (TdevGetCondition(c)) {
    case TDEV_CONDITION_CONNECTED: {
      TdevSetCondition(c, TDEV_CONDITION_RECONNECTING);
      TdevFailOpeningDevices(c);
      TdevFailClosingDevices(c);
      TdevFailOpeningCommBoxes(c);
      TdevFailClosingCommBoxes(c);
      TdevFailHybridWaits(c);
      std::string host;
      int32_t port = 0;
      int32_t tls = 0;
      {
        PlatformLockGuard guard(c->textLock);
        host = c->host;
        port = c->port;
        tls = c->tls;
      }
      if (TdevConnectionNotifier slot = ReadNotifier(c, TDEV_SLOT_RECONNECTING)) {
        slot(c, host.c_str());
      }
      if (TdevGetCondition(c) != TDEV_CONDITION_RECONNECTING) return;  // given up meanwhile
      StartReconnectWatch(connection);
      if (OpenChannel(c, host, port, tls, TdevReconnectLimitMs()) != 0) CleanUp(connection);
      break;
    }
    case TDEV_CONDITION_CONNECTING:
      // Before the service's "connect": the connect fails now rather than
      // waiting for its whole limit.
      FailConnect(connection, 4);
      break;
    case TDEV_CONDITION_DISCONNECTING:
    case TDEV_CONDITION_RECONNECTING:
      CleanUp(connection);
      break;
    default:
      break;
  }
}

void TdevOnChannelData(TdevChannel_t* channel, const char*, const uint8_t* bytes, int32_t length) {
  auto* context = static_cast<TdevChannelContext_t*>(TdevChannelContext(channel));
  if (context == nullptr || bytes == nullptr || length <= 0) return;
  TdevConnectionRef connection = OwnerOf(channel);
  if (connection == nullptr) return;
  context->framer.Feed(bytes, static_cast<size_t>(length), [&](const char* message, size_t size) {
    // A message handled earlier in this read may have given the channel up.
    if (!IsCurrent(connection.get(), channel)) return;
    const int result = TdevDispatchMessage(message, size, connection.get());
    if (result != 0) {
      log_trace(kTag, LOG_TRACE_INFO, connection.get(), result, "TdevOnChannelData", LOG_ARG_STRING,
                "Message skipped.", LOG_ARG_END);
    }
  });
}

int TdevCloseChannelAsync(TdevChannel_t* channel, void (*done)(void*), void* context) {
  if (channel == nullptr) return 1;
  auto* job = new (std::nothrow) CloseJob{channel, done, context};
  if (job != nullptr && StartCountedThread(&CloseChannelThread, job) == 0) return 0;
  delete job;
  // No thread: close here, unless this is the channel's own thread.
  if (TdevChannelFree(channel) == 0 && done != nullptr) done(context);
  return 12;
}

}  // namespace tilo2::core
