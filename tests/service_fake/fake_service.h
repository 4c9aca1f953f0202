#pragma once
// The scripted device-service client that device tests link in place of the
// real one. It defines every function of service/device_service.h, records
// each call, answers scripted codes (0 unless scripted), allocates real
// connections and device handles (freed by TdevDestroyConnection, so a later
// use shows under AddressSanitizer), keeps each handle's document, and calls
// the layer's notifiers on its own threads when a test asks.
//
// Everything here is thread-safe. The fake never holds its own lock while it
// calls into the layer or while a call is held blocked. Call Reset() in each
// test's SetUp (or TearDown); it frees every connection still alive, so
// destroy the layer's records first.

#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "service/device_service.h"

namespace tilo2::fake {

using core::TdevConnection_t;
using core::TdevDocument_t;
using core::TdevPrinterHandle_t;

// One recorded call of a Tdev* function, or one element of a document.
struct Call {
  std::string name;                // the function's name, e.g. "TdevPrinterSendData"
  const void* target = nullptr;    // its connection or handle argument (null when none)
  std::vector<int64_t> ints;       // integer arguments in order (env never)
  std::vector<std::string> texts;  // text arguments in order; a null text is recorded as "<null>"
  std::vector<double> reals;       // brightness of TdevPrinterAddImage
  std::vector<uint8_t> bytes;      // raw bytes (TdevAddCommand, TdevPrinterForceCommand) or pixels
  std::thread::id thread;          // the calling thread (documents: the appending thread)
  int result = 0;                  // what the fake answered
};

inline constexpr const char* kNullText = "<null>";

// Forgets calls, scripts, holds and documents; releases every blocked call;
// waits for the fake's own notifier threads; frees every live connection with
// its handles.
void Reset();

// ---- Call log ---------------------------------------------------------------
std::vector<Call> Calls();                         // every call, in order
std::vector<Call> Calls(const std::string& name);  // calls of one function, in order
int CallCount(const std::string& name);
// Names of all calls in order (handy for EXPECT_THAT(..., ElementsAre(...))).
std::vector<std::string> CallNames();
// Waits until at least count calls of name were recorded; false on timeout.
bool WaitForCalls(const std::string& name, int count,
                  std::chrono::milliseconds timeout = std::chrono::seconds(10));

// ---- Scripted results ---------------------------------------------------------
// Every later call of name answers code (until Reset or another SetResult).
void SetResult(const std::string& name, int code);
// The next call of name answers code; queued answers are used before SetResult's.
void PushResult(const std::string& name, int code);
// TdevPrinterGetStatus: result, status word and battery for every later query
// (default: 0, kStatusOnline, 0). The queued form serves the next query. A
// query without usable answer gives word 1, one that never started word 0.
inline constexpr uint32_t kStatusOnline = 0x00000002;      // a non-zero word of a real reply
inline constexpr uint32_t kStatusNoResponse = 0x00000001;  // no usable answer
inline constexpr uint32_t kStatusNeverStarted = 0;
void SetStatus(int result, uint32_t statusWord, int32_t battery);
void PushStatus(int result, uint32_t statusWord, int32_t battery);

// ---- Holding calls ------------------------------------------------------------
// Every later call of name is recorded, then blocks until ReleaseHold(name).
void Hold(const std::string& name);
// Lets every blocked call of name go and stops holding it.
void ReleaseHold(const std::string& name);
// Waits until at least count calls of name are blocked at once; false on timeout.
bool WaitBlocked(const std::string& name, int count = 1,
                 std::chrono::milliseconds timeout = std::chrono::seconds(10));
int BlockedCount(const std::string& name);

// ---- Connections and handles -------------------------------------------------
// How TdevDisconnectIfUnused reports the disconnect it made through the
// installed disconnected notifier (TdcOnDisconnected).
enum class DisconnectNotify {
  kCallerThread,  // synchronously, before TdevDisconnectIfUnused returns (default)
  kOwnThread,     // on a thread of the fake, not waited for (see WaitIdle)
  kNone,          // not at all
};
void SetDisconnectNotify(DisconnectNotify how);

// The connected connection of host, or null.
TdevConnection_t* ConnectionOf(const std::string& host);
// Connections allocated and not yet destroyed.
int LiveConnections();
bool IsLive(const TdevConnection_t* connection);
// Devices opened and not closed on a live connection (0 for a dead one).
int OpenDevices(const TdevConnection_t* connection);
// Every handle opened on the connection (closed ones too), in order; empty for a dead one.
std::vector<TdevPrinterHandle_t*> HandlesOf(const TdevConnection_t* connection);
// The connection, host and device id of a live handle (null / "" for none).
TdevConnection_t* ConnectionOfHandle(const void* handle);
std::string HostOf(const TdevConnection_t* connection);
std::string DeviceIdOf(const void* handle);
// The handle's document, for TdevDocClearBody; null for none.
TdevDocument_t* DocumentOf(const void* handle);
// Marks a live connection down for TdevIsConnected (without notifying anyone).
void SetConnected(TdevConnection_t* connection, bool connected);

// ---- Documents and jobs -----------------------------------------------------
// The elements appended to a live handle's document since it was last cleared,
// in order, each as the call that appended it (name "TdevPrinterAddText" ...).
std::vector<Call> Document(const void* handle);
// Each TdevPrinterSendData that answered 0 keeps a copy of the document it sent.
struct Job {
  const void* handle = nullptr;
  std::string printJobId;
  int32_t timeoutMs = 0;
  int32_t force = 0;
  int32_t noBody = 0;
  std::vector<Call> document;
};
std::vector<Job> Jobs();
// When on, every TdevPrinterSendData that answers 0 is followed, on a fake
// thread, by the job-result notifier with (success, code, status, battery)
// and the job id it was sent with (not waited for; see WaitIdle).
void SetAutoPrintResult(bool on, int32_t success = 1, int32_t code = 0,
                        uint32_t status = kStatusOnline, int32_t battery = 0);

// ---- Notifiers ------------------------------------------------------------------
// Each Fire* calls an installed notifier of the layer on a new thread of the
// fake and returns once it returned; false (nothing called) when the
// notifier is not installed or the connection/handle is not live.
// slot 1..12: the printer status slots of TdevPrinterSet*Callback.
bool IsInstalled(const void* handle, int slot);  // slot 1..12 or 14
bool IsConnectionNotifierInstalled(const TdevConnection_t* connection, int slot);  // 0 disc., 1, 2
bool FireReconnecting(TdevConnection_t* connection);
bool FireReconnected(TdevConnection_t* connection);
// The link dropped: the connection goes down, leaves its host, then
// TdcOnDisconnected runs (which may destroy the connection).
bool FireDisconnected(TdevConnection_t* connection);
bool FireStatusEvent(TdevPrinterHandle_t* handle, int slot);
bool FirePrintResult(TdevPrinterHandle_t* handle, int32_t success, int32_t code, uint32_t status,
                     int32_t battery, const char* printJobId);
// Thread id of the most recent notifier call made by the fake.
std::thread::id LastNotifierThread();
// Waits until no notifier thread of the fake is running; false on timeout.
bool WaitIdle(std::chrono::milliseconds timeout = std::chrono::seconds(10));

}  // namespace tilo2::fake
