#pragma once
// The scripted client's own records and helpers, shared by its source files
// (fake_service.cpp and one file per device family). Tests use fake_service.h.

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "service_fake/fake_service.h"

// The fake's records behind the client's opaque types. Fields that change
// after creation are read and written under the fake's mutex only.
namespace tilo2::core {

struct TdevDocument_t {
  std::vector<fake::Call> elements;
};

struct TdevConnection_t {
  uint32_t magic;
  std::string host;
  bool connected;
  bool notifier[3];  // 0 disconnected, 1 reconnecting, 2 reconnected
  std::vector<TdevPrinterHandle_t*> handles;
  std::vector<TdevCommBoxEntry_t*> boxes;  // freed with the connection
};

// Every kind of device handle is this record in the fake.
struct TdevPrinterHandle_t {
  uint32_t magic;
  TdevConnection_t* connection;
  std::string deviceId;
  int32_t type;
  bool open;
  bool slots[20];  // printer slots 0..14, hybrid slots 0..18, notifiers of other kinds
  TdevDocument_t document;
  std::string prefix;  // keyboards: the prefix set
};

struct TdevCommBoxEntry_t {
  uint32_t magic;
  TdevConnection_t* connection;
  std::string boxId;
  std::string memberId;
  bool open;
  bool receiveInstalled;
};

}  // namespace tilo2::core

namespace tilo2::fake {

using namespace tilo2::core;

constexpr uint32_t kConnectionMagic = 0xC0AA11EC;
constexpr uint32_t kHandleMagic = 0x4A4D17E5;
constexpr uint32_t kBoxMagic = 0xB0C5E27A;

struct Status {
  int result;
  uint32_t word;
  int32_t battery;
};

struct AutoResult {
  bool on = false;
  int32_t success = 1;
  int32_t code = 0;
  uint32_t status = kStatusOnline;
  int32_t battery = 0;
};

struct State {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<Call> calls;
  std::map<std::string, int> results;
  std::map<std::string, std::deque<int>> queued;
  Status status{0, kStatusOnline, 0};
  std::deque<Status> queuedStatus;
  std::set<std::string> holds;
  std::map<std::string, uint64_t> holdGeneration;
  std::map<std::string, int> blocked;
  int activeCalls = 0;
  std::set<TdevConnection_t*> live;
  std::map<std::string, TdevConnection_t*> hostConnection;
  std::vector<Job> jobs;
  DisconnectNotify disconnectNotify = DisconnectNotify::kCallerThread;
  AutoResult autoResult;
  std::vector<std::thread> threads;
  int runningNotifiers = 0;
  std::thread::id lastNotifierThread;

  ~State() {
    // Threads left by a test without Reset must be joined before exit.
    for (auto& t : threads)
      if (t.joinable()) t.join();
  }
};

State& S();

std::string Text(const char* text);
// Records a call, then blocks while its function is held. Returns the index
// of the call in the log; *scripted gets a scripted code when there is one.
size_t Begin(Call call, bool* hasScript, int* scripted);
// Finish with the fake's mutex already held.
int FinishLocked(size_t index, int result);
int Finish(size_t index, int result);
Call MakeCall(const char* name, const void* target, std::vector<int64_t> ints = {},
              std::vector<std::string> texts = {});
// Touches a connection or handle the way the real client does, so a freed
// one shows under AddressSanitizer at the call that used it.
bool Alive(const TdevConnection_t* connection);
bool Alive(const TdevPrinterHandle_t* handle);
// Runs fn on a thread of the fake; waits for it when wait is true.
void RunNotifier(std::function<void()> fn, bool wait);
// A document element: the call that appended it, if the answer was 0.
int Append(Call call, TdevPrinterHandle_t* handle);
void FreeConnection(TdevConnection_t* connection);
// The live handle at this address, under the fake's mutex; null for none.
TdevPrinterHandle_t* FindHandleLocked(const void* handle);

}  // namespace tilo2::fake
