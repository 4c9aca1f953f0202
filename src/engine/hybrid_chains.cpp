// The hybrid printer's insertion wait, insertion cancel, eject, MICR read and
// MICR cleaning: each a chain of Init, Check, work and Exit steps on the
// connection's queue. The printer's answer arrives through the reply analysis,
// which completes the operation's job; the job wait thread then reports it.

#include <cstring>

#include "engine/builder_records.h"
#include "engine/engine_log.h"
#include "engine/event_callbacks.h"
#include "engine/exchange.h"
#include "engine/hybrid_steps.h"
#include "engine/job_wait.h"
#include "engine/print_result.h"
#include "engine/reply_analysis.h"
#include "engine/request_queue.h"
#include "engine/send_chain.h"
#include "engine/status_steps.h"
#include "engine/status_store.h"
#include "engine/status_word.h"
#include "engine/wait_object.h"
#include "foundation/lock_guard.h"

namespace tilo2::core {

namespace {

constexpr const char* kInitWaitName = "Init_WaitInsertionHybdPrinter_Cmd";
constexpr const char* kCheckWaitName = "Check_WaitInsertionHybdPrinter_Cmd";
constexpr const char* kWaitName = "WaitInsertionHybdPrinter_Cmd";
constexpr const char* kExitWaitName = "Exit_WaitInsertionHybdPrinter_Cmd";
constexpr const char* kInitCancelName = "Init_CancelInsertionHybdPrinter_Cmd";
constexpr const char* kCheckCancelName = "Check_CancelInsertionHybdPrinter_Cmd";
constexpr const char* kCancelName = "CancelInsertionHybdPrinter_Cmd";
constexpr const char* kExitCancelName = "Exit_CancelInsertionHybdPrinter_Cmd";
constexpr const char* kCancelSyncName = "CancelInsertionHybdPrinterSync_Cmd";
constexpr const char* kInitEjectName = "Init_EjectPaperHybdPrinter_Cmd";
constexpr const char* kCheckEjectName = "Check_EjectPaperHybdPrinter_Cmd";
constexpr const char* kEjectName = "EjectPaperHybdPrinter_Cmd";
constexpr const char* kExitEjectName = "Exit_EjectPaperHybdPrinter_Cmd";
constexpr const char* kInitMicrName = "Init_ReadMicrDataHybdPrinter_Cmd";
constexpr const char* kCheckMicrName = "Check_ReadMicrDataHybdPrinter_Cmd";
constexpr const char* kMicrName = "ReadMicrDataHybdPrinter_Cmd";
constexpr const char* kExitMicrName = "Exit_ReadMicrDataHybdPrinter_Cmd";
constexpr const char* kInitCleanName = "Init_CleanMicrReaderHybdPrinter_Cmd";
constexpr const char* kCheckCleanName = "Check_CleanMicrReaderHybdPrinter_Cmd";
constexpr const char* kCleanName = "CleanMicrReaderHybdPrinter_Cmd";
constexpr const char* kExitCleanName = "Exit_CleanMicrReaderHybdPrinter_Cmd";

// Hybrid operations are not framed with a job id: their record carries none.
constexpr char kHybridJobId[kJobIdLength] = {'0', '0', '0', '0'};
constexpr int32_t kMaxJobTimeoutMs = 600000;
constexpr int32_t kHybridWriteTimeoutMs = 500;
constexpr int32_t kCancelJobTimeoutMs = 2000;
constexpr int32_t kCancelReplyWaitMs = 500;
constexpr int32_t kCleaningReadMs = 1000;
constexpr int kCleaningReads = 5;
constexpr int32_t kInfoKindExtStatus = 1;

constexpr uint32_t kPowerOffBit = kStatusNoResponse;
constexpr uint32_t kBothPathsClear = kHybridSlipPathClear | kHybridValidationPathClear;

// The wire sequences; the byte after 1B 66 00 is the insertion wait / 100.
constexpr uint8_t kPrologue[] = {0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C, 0x28,
                                 0x65, 0x02, 0x00, 0x33, 0xFF, 0x1B, 0x66, 0x00, 0x00};
constexpr size_t kPrologueWaitAt = sizeof kPrologue - 1;
constexpr uint8_t kSlipInsertion[] = {0x1D, 0x28, 0x47, 0x02, 0x00, 0x30, 0x04, 0x1D, 0x28,
                                      0x47, 0x02, 0x00, 0x54, 0x01, 0x1B, 0x63, 0x31, 0x04};
constexpr uint8_t kValidationInsertion[] = {0x1D, 0x28, 0x47, 0x02, 0x00, 0x30, 0x44, 0x1D, 0x28,
                                            0x47, 0x02, 0x00, 0x54, 0x01, 0x1B, 0x63, 0x31, 0x40};
constexpr uint8_t kMicrInsertion[] = {0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C,
                                      0x28, 0x65, 0x02, 0x00, 0x33, 0xFF, 0x1B, 0x63, 0x31,
                                      0x08, 0x1B, 0x66, 0x00, 0x00, 0x1B, 0x63, 0x30, 0x08,
                                      0x1D, 0x28, 0x47, 0x02, 0x00, 0x54, 0x01};
constexpr size_t kMicrInsertionWaitAt = 22;
constexpr uint8_t kCancelInsertion[] = {0x1B, 0x3D, 0x01, 0x10, 0x05, 0x03};
constexpr uint8_t kEjectPaper[] = {0x1B, 0x3D, 0x01, 0x0C};
constexpr uint8_t kMicrRead[] = {0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C, 0x28,
                                 0x65, 0x02, 0x00, 0x33, 0xFF, 0x1B, 0x63, 0x31, 0x04, 0x1B,
                                 0x66, 0x00, 0x00, 0x1C, 0x28, 0x66, 0x06, 0x00, 0x01, 0x01,
                                 0x03, 0x01, 0x04, 0x01, 0x1C, 0x61, 0x30, 0x00};
constexpr size_t kMicrReadWaitAt = 22;
constexpr size_t kMicrReadFontAt = sizeof kMicrRead - 1;
constexpr uint8_t kMicrCleaning[] = {0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF, 0x1C,
                                     0x28, 0x65, 0x02, 0x00, 0x33, 0xFF, 0x1B, 0x63, 0x31,
                                     0x04, 0x1B, 0x66, 0x00, 0x00, 0x1C, 0x28, 0x66, 0x06,
                                     0x00, 0x01, 0x01, 0x03, 0x01, 0x04, 0x01, 0x1C, 0x63};
constexpr size_t kMicrCleaningWaitAt = 22;

static_assert(sizeof kPrologue == 19 && sizeof kSlipInsertion == 18 &&
              sizeof kMicrInsertion == 34 && sizeof kMicrRead == 38 && sizeof kMicrCleaning == 36);

// The flag that marks a running operation of the method; false for methods
// without one.
bool MethodFlag(PrintHandle_t* handle, int32_t method, PlatformMutex_t** lock, uint8_t** flag) {
  switch (method) {
    case kMethodWaitInsertion:
      *lock = &handle->waitInsertionLock;
      *flag = &handle->waitInsertion;
      return true;
    case kMethodCancelInsertion:
      *lock = &handle->cancelInsertionLock;
      *flag = &handle->cancelInsertion;
      return true;
    case kMethodReadMicrData:
      *lock = &handle->micrReadLock;
      *flag = &handle->micrRead;
      return true;
    case kMethodCleanMicrReader:
      *lock = &handle->micrCleanLock;
      *flag = &handle->micrClean;
      return true;
    default:
      return false;
  }
}

void SetMethodFlag(PrintHandle_t* handle, int32_t method, uint8_t value) {
  PlatformMutex_t* lock = nullptr;
  uint8_t* flag = nullptr;
  if (handle == nullptr || !MethodFlag(handle, method, &lock, &flag)) return;
  PlatformLockGuard guard(*lock);
  if (!guard) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return;
  }
  *flag = value;
}

void SetCleaningInsertionSeen(PrintHandle_t* handle, uint8_t value) {
  PlatformLockGuard guard(handle->cleaningInsertionSeenLock);
  if (guard) handle->cleaningInsertionSeen = value;
}

// A refusal answered on the caller's thread, with no engine lock held.
void ReportNow(PrintHandle_t* handle, int32_t code, int32_t method) {
  const ResultCallbacks callbacks = GetResultCallbacks(handle);
  if (callbacks.hybrid == nullptr) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return;
  }
  callbacks.hybrid(handle, handle->address, code, handle->statusFlags.load(), method, nullptr);
}

// The wait byte of the sequences: t / 100 for 0 <= t <= 6400 ms.
bool WaitByte(int32_t waitMs, uint8_t* out) {
  if (waitMs < 0 || waitMs > kMaxInsertionWaitMs) return false;
  *out = static_cast<uint8_t>(waitMs / 100);
  return true;
}

int Write(PrintHandle_t* handle, const uint8_t* bytes, size_t length) {
  return SendWithTimeout(handle, bytes, length, kHybridWriteTimeoutMs);
}

// Writes a fixed sequence with the wait byte put in at waitAt.
template <size_t N>
int WriteWithWait(PrintHandle_t* handle, const uint8_t (&sequence)[N], size_t waitAt,
                  uint8_t wait) {
  uint8_t bytes[N];
  std::memcpy(bytes, sequence, N);
  bytes[waitAt] = wait;
  return Write(handle, bytes, N);
}

// --- Queueing ---------------------------------------------------------------

struct ChainSteps {
  int32_t method;  // the flag the queue function claims; -1 for none
  StepFunc init;
  StepFunc check;
  StepFunc work;
  const char* initName;
  const char* checkName;
  const char* workName;
  const char* exitName;
};

// The Exit step of a chain whose Check or work step could not be queued: the
// job ends with the failure instead of waiting for an answer never asked for.
int32_t ExitIncompleteChain(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (context->stepResult == TILOPRN_SUCCESS) context->stepResult = TILOPRN_FAILURE;
  return ExitHybdPrinterCmd(context);
}

// Queues the four steps on the filled context. The method's flag is claimed
// first: a running operation of that kind is reported busy and nothing is
// queued.
int QueueHybridChain(StepContext_t* context, const ChainSteps& steps) {
  PrintHandle_t* handle = context->handle;
  RequestQueue_t* queue = handle->queue;
  if (CopySendData(context) != TILOPRN_SUCCESS) return TILOPRN_MEMORY_ERROR;
  if (steps.method == kMethodCancelInsertion) {
    SetMethodFlag(handle, steps.method, 1);
  } else if (ReportHybridBusy(handle, steps.method)) {
    FreeSendData(context);
    return TILOPRN_SUCCESS;
  }
  StepContext_t* chain = nullptr;
  const int pushed = queueList_pushStep(queue, context, &chain, QUEUE_JOB_START, nullptr,
                                        steps.init, steps.initName);
  if (pushed != TILOPRN_SUCCESS) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    SetMethodFlag(handle, steps.method, 0);
    FreeSendData(context);
    // The cleaning tells its caller why; the others answer 255.
    return steps.method == kMethodCleanMicrReader ? pushed : TILOPRN_FAILURE;
  }
  const bool complete = queueList_pushStep(queue, chain, nullptr, QUEUE_CHAIN_STEP, nullptr,
                                           steps.check, steps.checkName) == TILOPRN_SUCCESS &&
                        queueList_pushStep(queue, chain, nullptr, QUEUE_CHAIN_STEP, nullptr,
                                           steps.work, steps.workName) == TILOPRN_SUCCESS;
  if (!complete) EngineErrorLine(kSendReceiveSource, __LINE__);
  // The Exit step always goes in: it ends the job (whose end clears the flag)
  // and frees the chain.
  const int exited =
      queueList_pushStep(queue, chain, nullptr, QUEUE_JOB_EXIT, nullptr,
                         complete ? ExitHybdPrinterCmd : ExitIncompleteChain, steps.exitName);
  if (exited != TILOPRN_SUCCESS) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    SetMethodFlag(handle, steps.method, 0);
  }
  if (!queue_isStopped(queue)) signalThread(queue);
  return complete && exited == TILOPRN_SUCCESS ? TILOPRN_SUCCESS : TILOPRN_FAILURE;
}

bool ValidQueueArguments(PrintHandle_t* handle, int32_t timeoutMs) {
  return handle != nullptr && handle->queue != nullptr && timeoutMs >= 0 &&
         timeoutMs <= kMaxJobTimeoutMs;
}

StepContext_t HybridContext(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t timeoutMs) {
  StepContext_t context{};
  context.env = env;
  context.handle = handle;
  context.jobHandle = handle;
  context.timeoutMs = timeoutMs;
  return context;
}

// --- Steps ------------------------------------------------------------------

// Creates the operation's job (id "0000", kind hybrid). Until the job exists
// the flag is the chain's to clear; afterwards the job's end clears it.
int InitHybridJob(StepContext_t* context, int32_t method, int32_t timeoutMs) {
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr || context->jobHandle == nullptr) {
    SetMethodFlag(handle != nullptr ? handle : context->jobHandle, method, 0);
    return TILOPRN_PARAMETER_ERROR;
  }
  if (!CheckHandleList(context->jobHandle)) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    SetMethodFlag(handle, method, 0);
    return TILOPRN_PARAMETER_ERROR;
  }
  JobWait_t* job =
      AddJobWait(context->env, context->jobHandle, kHybridJobId, timeoutMs, kJobKindHybrid, method);
  if (job == nullptr) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    SetMethodFlag(handle, method, 0);
    return TILOPRN_FAILURE;
  }
  context->jobWait = job;
  return TILOPRN_SUCCESS;
}

enum class CheckKind { kWaitInsertion, kMicr, kCancel, kEject };

// The refusal code of a Check step; 0 lets the operation go on.
int32_t RefusalCode(StepContext_t* context, CheckKind kind, uint32_t flags, const uint8_t raw[4]) {
  PrintHandle_t* handle = context->handle;
  if ((flags & kPowerOffBit) != 0) return TILOPRN_IO_ERROR;
  if (kind == CheckKind::kWaitInsertion && context->paperType == 0) return kHybridWrongPaperType;
  if (kind == CheckKind::kCancel) {
    if ((flags & kStatusInsertionWait) == 0) return TILOPRN_ILLEGAL_STATE;
  } else {
    if ((flags & kStatusInsertionWait) != 0) return kHybridInsertionRunning;
    if (kind == CheckKind::kEject) {
      if ((flags & kStatusRemovalWait) != 0) return kHybridRemovalWaiting;
      if ((flags & kBothPathsClear) == kBothPathsClear && context->removalPending == 0) {
        return TILOPRN_ILLEGAL_STATE;
      }
    } else {
      if ((flags & kBothPathsClear) != kBothPathsClear) return kHybridPaperInserted;
      if (context->removalPending != 0) return kHybridPaperInserted;
      if ((flags & kStatusRemovalWait) != 0) return kHybridRemovalWaiting;
    }
  }
  bool extError10 = false;
  bool extError11 = false;
  const int offline = CheckOfflineError(context->env, handle, raw, &extError10, &extError11);
  if (offline != TILOPRN_SUCCESS) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return offline;
  }
  return extError11 ? TILOPRN_PRINTER_ERROR : TILOPRN_SUCCESS;
}

// method -1: no job to complete (the eject).
int32_t CheckHybrid(StepContext_t* context, CheckKind kind, int32_t method) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return Finish(context, TILOPRN_FAILURE);
  }
  if (context->stepResult != TILOPRN_SUCCESS) return context->stepResult;
  ReadPendingReplies(handle);
  const uint32_t flags = handle->statusFlags.load();
  uint8_t raw[4];
  GetRawAsb(handle, raw);
  const int32_t code = RefusalCode(context, kind, flags, raw);
  if (code != TILOPRN_SUCCESS) {
    // The job reports the refusal at once; the chain stops on the result.
    if (method >= 0) SignalJobByMethod(handle, kJobStateEnded, code, method);
    return Finish(context, code);
  }
  return Finish(context, ResponseEnableRule(handle, raw));
}

// Ends the job of a failed chain with its result, unless the printer's answer
// or a refusal already ended it, and lets its wait thread go.
void ReleaseHybridJob(PrintHandle_t* jobHandle, JobWait_t* job, int32_t result) {
  uint64_t sentWaitId = 0;
  {
    PlatformLockGuard lock(jobHandle->jobListLock);
    if (!lock) {
      EngineErrorLine(kSendReceiveSource, __LINE__);
      return;
    }
    // A close may have cancelled and removed the record meanwhile.
    JobWait_t* found = jobHandle->jobs;
    while (found != nullptr && found != job) found = found->next;
    if (found == nullptr) return;
    if (result != TILOPRN_SUCCESS && job->state == kJobStatePending) {
      job->state = kJobStateEnded;
      job->result = result;
      job->status = 0;
      job->battery = 0;
      SignalWaitObject(job->doneWaitId, 0);
    }
    sentWaitId = job->sentWaitId;
  }
  SignalWaitObject(sentWaitId, 0);
}

}  // namespace

int ResponseEnableRule(PrintHandle_t* handle, const uint8_t raw[4]) {
  if (IsOfflineWithReason(raw) && handle->infoKind.load() != kInfoKindExtStatus) {
    return TILOPRN_SUCCESS;
  }
  if (handle->responseEnabled.load() != 0) return TILOPRN_SUCCESS;
  const int sent = SendResponseEnable(handle);
  if (sent == TILOPRN_SUCCESS) handle->responseEnabled = 1;
  return sent;
}

bool ReportHybridBusy(PrintHandle_t* handle, int32_t method) {
  PlatformMutex_t* lock = nullptr;
  uint8_t* flag = nullptr;
  if (handle == nullptr || method == kMethodCancelInsertion ||
      !MethodFlag(handle, method, &lock, &flag)) {
    return false;
  }
  bool busy = false;
  {
    PlatformLockGuard guard(*lock);
    if (!guard) {
      // Unclaimed, the operation could run twice: refuse it.
      EngineErrorLine(kSendReceiveSource, __LINE__);
      busy = true;
    } else if (*flag != 0) {
      busy = true;
    } else {
      *flag = 1;
    }
  }
  if (busy) ReportNow(handle, kHybridInsertionRunning, method);
  return busy;
}

int QueueWaitInsertionHybdPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                  int32_t insertionKind, int32_t insertionWaitMs, int32_t timeoutMs,
                                  uint8_t removalPending) {
  if (!ValidQueueArguments(handle, timeoutMs)) return TILOPRN_PARAMETER_ERROR;
  StepContext_t context = HybridContext(env, handle, timeoutMs);
  context.paperType = insertionKind;
  context.insertionWaitMs = insertionWaitMs;
  context.removalPending = removalPending;
  const ChainSteps steps{kMethodWaitInsertion,
                         InitWaitInsertionHybdPrinterCmd,
                         CheckWaitInsertionHybdPrinterCmd,
                         WaitInsertionHybdPrinterCmd,
                         kInitWaitName,
                         kCheckWaitName,
                         kWaitName,
                         kExitWaitName};
  return QueueHybridChain(&context, steps);
}

int QueueCancelInsertionHybdPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (!ValidQueueArguments(handle, kCancelJobTimeoutMs)) return TILOPRN_PARAMETER_ERROR;
  StepContext_t context = HybridContext(env, handle, kCancelJobTimeoutMs);
  const ChainSteps steps{kMethodCancelInsertion,
                         InitCancelInsertionHybdPrinterCmd,
                         CheckCancelInsertionHybdPrinterCmd,
                         CancelInsertionHybdPrinterCmd,
                         kInitCancelName,
                         kCheckCancelName,
                         kCancelName,
                         kExitCancelName};
  return QueueHybridChain(&context, steps);
}

int QueueEjectPaperHybdPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle,
                               uint8_t removalPending) {
  if (!ValidQueueArguments(handle, 0)) return TILOPRN_PARAMETER_ERROR;
  RequestQueue_t* queue = handle->queue;
  if (IsQueueThread(queue)) {
    // Waiting for the chain here would wait for this very thread.
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_BUSY;
  }
  StepContext_t context = HybridContext(env, handle, 0);
  context.removalPending = removalPending;
  StepContext_t* chain = nullptr;
  if (queueList_pushStep(queue, &context, &chain, QUEUE_JOB_START, nullptr,
                         InitEjectPaperHybdPrinterCmd, kInitEjectName) != TILOPRN_SUCCESS) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  const bool complete =
      queueList_pushStep(queue, chain, nullptr, QUEUE_CHAIN_STEP, nullptr,
                         CheckEjectPaperHybdPrinterCmd, kCheckEjectName) == TILOPRN_SUCCESS &&
      queueList_pushStep(queue, chain, nullptr, QUEUE_CHAIN_STEP, nullptr, EjectPaperHybdPrinterCmd,
                         kEjectName) == TILOPRN_SUCCESS;
  if (!complete) EngineErrorLine(kSendReceiveSource, __LINE__);
  uint64_t wait = 0;
  const int exited = queueList_pushStep(queue, chain, nullptr, QUEUE_JOB_EXIT, &wait,
                                        ExitEjectPaperHybdPrinterCmd, kExitEjectName);
  if (exited != TILOPRN_SUCCESS) {
    // The chain's context stays with its queued steps; nothing waits for them.
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  if (!queue_isStopped(queue)) signalThread(queue);
  int32_t result = TILOPRN_FAILURE;
  WaitForWaitObject(wait, -1, &result);
  DeleteWaitObject(wait);
  if (!complete && result == TILOPRN_SUCCESS) result = TILOPRN_FAILURE;
  const ResultCallbacks callbacks = GetResultCallbacks(handle);
  if (callbacks.hybrid != nullptr) {
    callbacks.hybrid(handle, handle->address, result, handle->statusFlags.load(), kMethodEjectPaper,
                     nullptr);
  }
  return TILOPRN_SUCCESS;
}

int QueueReadMicrDataHybdPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t micrFont,
                                 int32_t insertionWaitMs, int32_t timeoutMs,
                                 uint8_t removalPending) {
  if (!ValidQueueArguments(handle, timeoutMs)) return TILOPRN_PARAMETER_ERROR;
  StepContext_t context = HybridContext(env, handle, timeoutMs);
  context.micrFont = micrFont;
  context.insertionWaitMs = insertionWaitMs;
  context.removalPending = removalPending;
  const ChainSteps steps{kMethodReadMicrData,
                         InitReadMicrDataHybdPrinterCmd,
                         CheckReadMicrDataHybdPrinterCmd,
                         ReadMicrDataHybdPrinterCmd,
                         kInitMicrName,
                         kCheckMicrName,
                         kMicrName,
                         kExitMicrName};
  return QueueHybridChain(&context, steps);
}

int QueueCleanMicrReaderHybdPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                    int32_t insertionWaitMs, int32_t timeoutMs,
                                    uint8_t removalPending) {
  if (!ValidQueueArguments(handle, timeoutMs)) return TILOPRN_PARAMETER_ERROR;
  StepContext_t context = HybridContext(env, handle, timeoutMs);
  context.insertionWaitMs = insertionWaitMs;
  context.removalPending = removalPending;
  const ChainSteps steps{kMethodCleanMicrReader,
                         InitCleanMicrReaderHybdPrinterCmd,
                         CheckCleanMicrReaderHybdPrinterCmd,
                         CleanMicrReaderHybdPrinterCmd,
                         kInitCleanName,
                         kCheckCleanName,
                         kCleanName,
                         kExitCleanName};
  return QueueHybridChain(&context, steps);
}

int QueueCancelInsertionHybdPrinterSync(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (!ValidQueueArguments(handle, 0)) return TILOPRN_PARAMETER_ERROR;
  StepContext_t context = HybridContext(env, handle, 0);
  // While set, the reply analysis takes the printer's answer as this cancel's.
  SetMethodFlag(handle, kMethodCancelInsertion, 1);
  int32_t result = TILOPRN_FAILURE;
  int run = RunStandaloneStep(handle->queue, &context, CheckCancelInsertionHybdPrinterCmd,
                              kCheckCancelName, &result);
  if (run == TILOPRN_SUCCESS && result == TILOPRN_SUCCESS) {
    run = RunStandaloneStep(handle->queue, &context, CancelInsertionHybdPrinterSyncCmd,
                            kCancelSyncName, &result);
  }
  SetMethodFlag(handle, kMethodCancelInsertion, 0);
  return run != TILOPRN_SUCCESS ? run : result;
}

int32_t InitWaitInsertionHybdPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Finish(context, InitHybridJob(context, kMethodWaitInsertion, context->timeoutMs));
}

int32_t CheckWaitInsertionHybdPrinterCmd(StepContext_t* context) {
  return CheckHybrid(context, CheckKind::kWaitInsertion, kMethodWaitInsertion);
}

int32_t WaitInsertionHybdPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr) return Finish(context, TILOPRN_FAILURE);
  uint8_t wait = 0;
  if (!WaitByte(context->insertionWaitMs, &wait)) return Finish(context, TILOPRN_PARAMETER_ERROR);
  const uint8_t* insertion = nullptr;
  switch (context->paperType) {
    case kInsertionSlip:
      insertion = kSlipInsertion;
      break;
    case kInsertionValidation:
      insertion = kValidationInsertion;
      break;
    case kInsertionMicr:
      return Finish(context, WriteWithWait(handle, kMicrInsertion, kMicrInsertionWaitAt, wait));
    default:
      return Finish(context, TILOPRN_ILLEGAL_STATE);
  }
  // The cueing chain sets removalPending: the printer is already prepared.
  if (context->removalPending == 0 &&
      WriteWithWait(handle, kPrologue, kPrologueWaitAt, wait) != TILOPRN_SUCCESS) {
    // The insertion itself may still reach the printer.
    EngineErrorLine(kSendReceiveSource, __LINE__);
  }
  return Finish(context, Write(handle, insertion, sizeof kSlipInsertion));
}

int32_t InitCancelInsertionHybdPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Finish(context, InitHybridJob(context, kMethodCancelInsertion, kCancelJobTimeoutMs));
}

int32_t CheckCancelInsertionHybdPrinterCmd(StepContext_t* context) {
  return CheckHybrid(context, CheckKind::kCancel, kMethodCancelInsertion);
}

int32_t CancelInsertionHybdPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (context->handle == nullptr) return Finish(context, TILOPRN_FAILURE);
  return Finish(context, Write(context->handle, kCancelInsertion, sizeof kCancelInsertion));
}

int32_t CancelInsertionHybdPrinterSyncCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr) return Finish(context, TILOPRN_FAILURE);
  const int sent = Write(handle, kCancelInsertion, sizeof kCancelInsertion);
  if (sent != TILOPRN_SUCCESS) return Finish(context, sent);
  ReplyWaitContext replies{};
  replies.handle = handle;
  return Finish(context, ReceiveResponse(handle, kCancelReplyWaitMs, &replies, kWaitCancelDone));
}

int32_t InitEjectPaperHybdPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  const bool present = context->handle != nullptr && context->jobHandle != nullptr;
  return Finish(context, present ? TILOPRN_SUCCESS : TILOPRN_PARAMETER_ERROR);
}

int32_t CheckEjectPaperHybdPrinterCmd(StepContext_t* context) {
  return CheckHybrid(context, CheckKind::kEject, -1);
}

int32_t EjectPaperHybdPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (context->handle == nullptr) return Finish(context, TILOPRN_FAILURE);
  return Finish(context, Write(context->handle, kEjectPaper, sizeof kEjectPaper));
}

int32_t ExitEjectPaperHybdPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  return context->stepResult;
}

int32_t InitReadMicrDataHybdPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Finish(context, InitHybridJob(context, kMethodReadMicrData, context->timeoutMs));
}

int32_t CheckReadMicrDataHybdPrinterCmd(StepContext_t* context) {
  return CheckHybrid(context, CheckKind::kMicr, kMethodReadMicrData);
}

int32_t ReadMicrDataHybdPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr) return Finish(context, TILOPRN_FAILURE);
  uint8_t wait = 0;
  if (!WaitByte(context->insertionWaitMs, &wait)) return Finish(context, TILOPRN_PARAMETER_ERROR);
  uint8_t bytes[sizeof kMicrRead];
  std::memcpy(bytes, kMicrRead, sizeof bytes);
  bytes[kMicrReadWaitAt] = wait;
  bytes[kMicrReadFontAt] = context->micrFont == 1 ? 1 : 0;
  return Finish(context, Write(handle, bytes, sizeof bytes));
}

int32_t InitCleanMicrReaderHybdPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Finish(context, InitHybridJob(context, kMethodCleanMicrReader, context->timeoutMs));
}

int32_t CheckCleanMicrReaderHybdPrinterCmd(StepContext_t* context) {
  return CheckHybrid(context, CheckKind::kMicr, kMethodCleanMicrReader);
}

int32_t CleanMicrReaderHybdPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr) return Finish(context, TILOPRN_FAILURE);
  uint8_t wait = 0;
  if (!WaitByte(context->insertionWaitMs, &wait)) return Finish(context, TILOPRN_PARAMETER_ERROR);
  SetCleaningInsertionSeen(handle, 0);
  const int sent = WriteWithWait(handle, kMicrCleaning, kMicrCleaningWaitAt, wait);
  if (sent != TILOPRN_SUCCESS) return Finish(context, sent);
  // The job completes only on a sheet that went through after the printer
  // began waiting for it, so the wait must be seen here first.
  for (int read = 0; read < kCleaningReads; ++read) {
    ReplyWaitContext replies{};
    replies.handle = handle;
    const int received = ReceiveResponse(handle, kCleaningReadMs, &replies, kWaitFirstSplit);
    const uint32_t flags = handle->statusFlags.load();
    if (flags != kStatusFlagsUnknown && (flags & kStatusInsertionWait) != 0) {
      SetCleaningInsertionSeen(handle, 1);
      return Finish(context, TILOPRN_SUCCESS);
    }
    // A lost connection will not bring the printer's wait.
    if (received != TILOPRN_SUCCESS && received != TILOPRN_TIMEOUT && received != TILOPRN_FAILURE) {
      return Finish(context, received);
    }
  }
  EngineErrorLine(kSendReceiveSource, __LINE__);
  return Finish(context, TILOPRN_FAILURE);
}

int32_t ExitHybdPrinterCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  int32_t result = context->stepResult;
  if (context->builtData != nullptr) {
    if (CmdDataFree(context->builtData) != 0) {
      EngineErrorLine(kSendReceiveSource, __LINE__);
      result = TILOPRN_FAILURE;
    }
    context->builtData = nullptr;
  }
  if (context->jobWait != nullptr && context->jobHandle != nullptr) {
    ReleaseHybridJob(context->jobHandle, context->jobWait, result);
    context->jobWait = nullptr;
  }
  FreeSendData(context);
  return Finish(context, result);
}

}  // namespace tilo2::core
