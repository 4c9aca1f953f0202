#pragma once
// The print handle: one per direct printer connection. It carries the
// connection, the printer's last known status, the status monitor's state,
// the callbacks of the device API layer, the request queue and the jobs.
//
// Every lock and event of a handle lives from TiloCreateHandle to
// TiloDestroyHandle, so an accessor locks unconditionally and never races a
// monitor start or stop. Fields read without a lock by other threads are atomic.

#include <atomic>
#include <cstdint>
#include <memory>

#include "encoding/printer/prn_cmd.h"
#include "encoding/reply/reply_splitter.h"
#include "foundation/platform.h"
#include "io/io_types.h"

namespace tilo2::core {

struct PrintHandle_t;
struct RequestQueue_t;
struct JobWait_t;

// A builder shared between a job's copy and the handle; the last owner closes it.
using SharedPrnBuilder = std::shared_ptr<PrnCmdHandle_t>;
// Takes ownership of an open builder (null stays null).
SharedPrnBuilder MakeSharedPrnBuilder(PrnCmdHandle_t* builder);

inline constexpr int kEventSlotCount = 20;
inline constexpr int kResultSlotCount = 3;

// One signature for every slot: slots 0 (status change) and 13 (battery
// change) pass their value, the others 0.
using EventCallback = void (*)(TdcBackendEnv_t* env, PrintHandle_t* handle, const char* address,
                               uint32_t value);
using PrintResultCallback = void (*)(PrintHandle_t* handle, const char* address, int32_t code,
                                     uint32_t statusFlags, int32_t battery, const char* jobId);
using DisplayResultCallback = void (*)(PrintHandle_t* handle, const char* address, int32_t code);
using HybridResultCallback = void (*)(PrintHandle_t* handle, const char* address, int32_t code,
                                      uint32_t statusFlags, int32_t method, const char* data);

// The three result slots, in slot order.
struct ResultCallbacks {
  PrintResultCallback print;
  DisplayResultCallback display;
  HybridResultCallback hybrid;
};

inline constexpr uint32_t kStatusFlagsUnknown = 0xFFFFFFFFu;
inline constexpr int32_t kDefaultMonitorIntervalMs = 3000;

// A real-time query written to the printer and not answered yet: which
// reply it asks for (0..3 for DLE EOT 1..4, 17 and 18 for DLE EOT 18 1 and 2)
// and when it went out.
struct RealtimeQuery {
  int32_t index;
  uint64_t sentMs;
};
inline constexpr int kPendingRealtimeQueries = 8;

struct PrintHandle_t {
  int32_t connectionType;  // 0 TCP, 1 Bluetooth, 2 USB
  char* address;           // copy of the opened address; null while closed
  TiloIoConnection_t* connection;

  PlatformMutex_t asbLock;
  uint8_t rawAsb[4];           // all 0xFF: no automatic status received yet
  uint8_t offlineResponse[8];  // asbLock: the last "7" "#" reply, header first
  std::atomic<uint32_t> statusFlags;
  std::atomic<int32_t> asbSeen;

  PlatformMutex_t cycleDoneLock;
  uint8_t monitorCycleDone;
  uint64_t monitorCyclesBegun;  // cycleDoneLock: normal monitor cycles begun so far
  uint64_t monitorCyclesEnded;  // cycleDoneLock: the number of the last cycle that ended
  PlatformMutex_t batteryLock;
  int32_t battery;  // -1 unknown
  PlatformMutex_t recoverLock;
  uint8_t needRecover;
  PlatformMutex_t replyWaitLock;
  int32_t extraReplyWait;
  // replyWaitLock: the real-time queries still unanswered, oldest first. Real
  // replies carry no tag; each goes to the query whose reply it can be.
  RealtimeQuery pendingRealtime[kPendingRealtimeQueries];
  int32_t pendingRealtimeCount;

  PlatformMutex_t transactionLock;
  PrnCmdHandle_t* internalBuilder;  // generic model; its reply table splits the replies
  std::atomic<uint8_t> monitorWanted;
  PlatformMutex_t monitorSettingsLock;
  int32_t monitorIntervalMs;
  PlatformMutex_t callbacksLock;
  uint8_t callbacksEnabled;
  uint8_t firstReportPending;  // callbacksLock: the monitor raises the first report

  PlatformMutex_t monitorStartLock;  // one start or stop of the monitor at a time
  PlatformThread_t monitorThread;    // monitorStartLock
  std::atomic<uint8_t> monitorRunning;
  PlatformMutex_t monitorStateLock;
  uint8_t monitorEnabled;
  PlatformMutex_t sendingBuilderLock;
  SharedPrnBuilder sendingBuilder;  // the sent job's copy: recognises its job-end reply
  PlatformMutex_t attachLock;
  SharedPrnBuilder attachedBuilder;  // engine-owned duplicate of the attached builder
  PlatformMutex_t sendLock;
  uint8_t sendInProgress;
  PlatformMutex_t monitorLock;
  PlatformCond_t monitorWakeEvent;
  PlatformCond_t cycleDoneEvent;
  PlatformMutex_t eventTableLock;
  EventCallback eventCallbacks[kEventSlotCount];
  PlatformMutex_t resultLock;
  ResultCallbacks resultCallbacks;
  std::atomic<PrnReplyHandler> replyHandler;

  std::atomic<int32_t> realtimeResync;
  std::atomic<uint8_t> batteryModel;
  uint8_t inTransaction;                  // transactionLock
  std::atomic<int32_t> interruptSupport;  // 0 unknown, 1 supported, 2 not
  std::atomic<uint8_t> interruptAccepted;
  std::atomic<uint8_t> dma;
  std::atomic<uint8_t> modelId;  // 0xFF unknown

  PlatformMutex_t jobListLock;
  JobWait_t* jobs;
  std::atomic<int32_t> jobCount;  // changed under jobListLock, read without it
  // Records of jobCount whose job has ended and whose result is being
  // reported: they no longer hold anything back. Same locking as jobCount.
  std::atomic<int32_t> endedJobs;
  PlatformCond_t jobsEmptyEvent;  // set when the last job wait leaves the list
  RequestQueue_t* queue;          // null while closed

  std::atomic<char*> printerName;  // first name the printer reported
  std::atomic<int32_t> infoByte;
  std::atomic<uint8_t> infoFlag2;
  std::atomic<int32_t> displayConnected;  // 0 unknown, 1 present, 2 none
  std::atomic<uint32_t> paperSupport;     // 0xFFFFFFFF unknown
  std::atomic<int32_t> infoKind;
  std::atomic<uint8_t> responseEnabled;
  std::atomic<uint8_t> paperPulledOut;
  std::atomic<uint8_t> asbSettingDone;
  PlatformMutex_t extStatusLock;
  uint8_t extStatus[4];
  std::atomic<char*> micrText;  // handed over by exchange

  // Hybrid operation flags, each with its own lock.
  PlatformMutex_t waitInsertionLock;
  uint8_t waitInsertion;
  PlatformMutex_t cancelInsertionLock;
  uint8_t cancelInsertion;
  PlatformMutex_t micrReadLock;
  uint8_t micrRead;
  PlatformMutex_t micrCleanLock;
  uint8_t micrClean;
  PlatformMutex_t cleaningInsertionSeenLock;
  uint8_t cleaningInsertionSeen;
  PlatformMutex_t slipCueingLock;
  uint8_t slipCueing;
  PlatformMutex_t hybridClosingLock;
  uint8_t hybridClosing;
};

// Handle lifetime. Results are TiloPrintResult codes.
int TiloCreateHandle(PrintHandle_t** out);
// Does not close the connection or touch the queue: callers disconnect first.
int TiloDestroyHandle(PrintHandle_t* handle);

// The list of valid handles: every handle from creation to destruction.
int AddHandleList(PrintHandle_t* handle);
void RemoveHandleList(PrintHandle_t* handle);
bool CheckHandleList(const PrintHandle_t* handle);

// True while the handle's connection is registered with the connection layer.
bool IsConnectionOpen(const PrintHandle_t* handle);
// The check of a public operation that needs an open connection: 1 for an
// unknown handle, 6 for a closed one, each with an ERROR line; else 0.
int CheckOpenHandle(PrintHandle_t* handle);

// Field-group accessors; nothing happens (0) for a null handle.
uint8_t GetNeedRecover(PrintHandle_t* handle);
void SetNeedRecover(PrintHandle_t* handle, uint8_t value);
void SetSendingBuilder(PrintHandle_t* handle, SharedPrnBuilder builder);
// The reader's own reference, so the builder outlives a concurrent replacement.
SharedPrnBuilder GetSendingBuilder(PrintHandle_t* handle);
int32_t GetMonitorInterval(PrintHandle_t* handle);
int SetMonitorInterval(PrintHandle_t* handle, int32_t milliseconds);

}  // namespace tilo2::core
