#include "engine/reply_analysis.h"

#include <cstdlib>
#include <cstring>

#include "encoding/printer/prn_ops.h"
#include "engine/engine_log.h"
#include "engine/event_callbacks.h"
#include "engine/job_wait.h"
#include "engine/print_result.h"
#include "engine/status_store.h"
#include "engine/status_word.h"
#include "foundation/lock_guard.h"

namespace tilo2::core {

namespace {

constexpr int32_t kResultPaperPulledOut = 19;

// Result of a MICR read by the error letter the printer reports.
struct MicrError {
  uint8_t letter;
  int32_t result;
};
constexpr MicrError kMicrErrors[] = {
    {'A', 12},
    {'B', TILOPRN_CANCELLED},
    {'C', TILOPRN_TIMEOUT},
    {'D', 13},
    {'E', 14},
    {'F', 15},
    {'G', 16},
    {'H', 17},
    {'I', 9},
    {'J', 18},
};

constexpr uint8_t kJobEndMark = 0x22;

ReplyWaitContext* ContextOf(void* user) {
  auto* context = static_cast<ReplyWaitContext*>(user);
  if (context == nullptr || context->handle == nullptr) return nullptr;
  return context;
}

void CompleteMethod(PrintHandle_t* handle, int32_t method, int32_t result) {
  SignalJobByMethod(handle, result == TILOPRN_SUCCESS ? kJobStateCompleted : kJobStateEnded, result,
                    method);
}

bool WaitInsertionRuns(PrintHandle_t* h) {
  return ReadLockedFlag(h->waitInsertionLock, h->waitInsertion) != 0;
}
bool CancelInsertionRuns(PrintHandle_t* h) {
  return ReadLockedFlag(h->cancelInsertionLock, h->cancelInsertion) != 0;
}
bool MicrReadRuns(PrintHandle_t* h) { return ReadLockedFlag(h->micrReadLock, h->micrRead) != 0; }
bool MicrCleanRuns(PrintHandle_t* h) { return ReadLockedFlag(h->micrCleanLock, h->micrClean) != 0; }

// The hybrid operation an automatic status finishes; the first running one decides.
void HybridAfterAsb(ReplyWaitContext* context, uint32_t word) {
  PrintHandle_t* handle = context->handle;
  if (CancelInsertionRuns(handle)) {
    if ((word & kStatusInsertionWait) != 0) return;
    CompleteMethod(handle, kMethodCancelInsertion, TILOPRN_SUCCESS);
    if (WaitInsertionRuns(handle)) {
      CancelJobByMethod(handle, kMethodWaitInsertion);
      CompleteMethod(handle, kMethodWaitInsertion, TILOPRN_CANCELLED);
    } else if (MicrCleanRuns(handle)) {
      CancelJobByMethod(handle, kMethodCleanMicrReader);
      CompleteMethod(handle, kMethodCleanMicrReader, TILOPRN_CANCELLED);
    } else {
      EngineErrorLine(kStatusSource, __LINE__);
    }
    context->cancelDone = 1;
  } else if (WaitInsertionRuns(handle)) {
    // Paper arrived in the slip or the validation path.
    if ((word & kHybridSlipPathClear) == 0 || (word & kHybridValidationPathClear) == 0) {
      CompleteMethod(handle, kMethodWaitInsertion, TILOPRN_SUCCESS);
    }
  } else if (MicrCleanRuns(handle)) {
    if (ReadLockedFlag(handle->cleaningInsertionSeenLock, handle->cleaningInsertionSeen) != 0 &&
        (word & kStatusInsertionWait) == 0) {
      CompleteMethod(handle, kMethodCleanMicrReader, TILOPRN_SUCCESS);
    }
  } else if (ReadLockedFlag(handle->slipCueingLock, handle->slipCueing) != 0) {
    const uint32_t selection = word & kHybridCueingMask;
    if (selection == 0 && context->cueingSlipSeen != 0) {
      context->cueingDone = 1;
    } else if (selection == kHybridSlipPathClear) {
      context->cueingSlipSeen = 1;
    }
  }
}

// The hybrid operation or send an extended status reports as failed.
void HybridAfterExtStatus(ReplyWaitContext* context) {
  PrintHandle_t* handle = context->handle;
  if (handle->infoKind.load() != 1) return;
  uint8_t raw[4];
  GetRawAsb(handle, raw);
  if (!IsOfflineWithReason(raw)) return;
  bool extError10 = false;
  bool extError11 = false;
  if (GetExtStatusBits(handle, &extError10, &extError11) != TILOPRN_SUCCESS) return;
  int32_t method = -1;
  if (WaitInsertionRuns(handle)) {
    method = kMethodWaitInsertion;
  } else if (MicrReadRuns(handle)) {
    method = kMethodReadMicrData;
  } else if (MicrCleanRuns(handle)) {
    method = kMethodCleanMicrReader;
  } else if (CancelInsertionRuns(handle)) {
    method = kMethodCancelInsertion;
  }
  if (method >= 0) {
    if (extError11) CompleteMethod(handle, method, TILOPRN_PRINTER_ERROR);
    return;
  }
  if (GetSendInProgress(handle) == 0) return;
  const uint32_t flags = handle->statusFlags.load();
  const bool failed =
      (flags & kHybridSendErrorSelect) == kHybridSendErrorSelect ? extError10 : extError11;
  if (!failed) return;
  SetSendInProgress(handle, 0);
  CompleteMethod(handle, kMethodSendData, TILOPRN_PRINTER_ERROR);
}

// The first status byte after the model-id query names the model; later ones
// leave it as it is.
void StoreModelId(ReplyWaitContext* context, uint8_t value) {
  uint8_t unknown = 0xFF;
  context->handle->modelId.compare_exchange_strong(unknown, value);
  context->modelIdSeen = 1;
}

// Keeps an extended status block; false for a block of the wrong length.
bool StoreExtStatus(ReplyWaitContext* context, const uint8_t* bytes, uint32_t length) {
  if (length != 4) return false;
  SetRawExtStatus(context->handle, bytes);
  context->extSeen = 1;
  return true;
}

// Stores a real-time byte as the reply of the query it answers (the reader's
// own, when no query in flight can have sent it); true when it answers the
// reader's DLE EOT 1..4.
bool StoreRealtime(ReplyWaitContext* context, uint8_t value) {
  int32_t index = MatchRealtimeReply(context->handle, value);
  if (index < 0) index = context->rtIndex;
  if (index >= 0 && index <= 3) {
    context->rt[index] = value;
    return index == context->rtIndex;
  }
  if (index == kRtIndexInterruptSupport) {
    context->rt17 = value;
    context->rt17Seen = 1;
  } else if (index == kRtIndexDisplay) {
    context->rt18 = value;
    context->rt18Seen = 1;
  }
  return false;
}

void RecordEquals(ReplyWaitContext* context, const uint8_t* bytes, uint32_t length) {
  PrintHandle_t* handle = context->handle;
  if (length == 4 && bytes[1] == 'n') {
    int32_t unset = 0;
    handle->infoByte.compare_exchange_strong(unset, bytes[2]);
  } else if (bytes[1] == '!') {
    uint32_t support = 0;
    if (length > 2 && (bytes[2] & 0x08) != 0) support |= 0x4;
    if (length > 2 && (bytes[2] & 0x20) != 0) support |= 0x1;
    if ((length == 5 || length == 6) && (bytes[3] & 0x20) != 0) support |= 0x2;
    handle->paperSupport = support;
    context->infoFlag = length == 6 ? static_cast<uint8_t>((bytes[4] >> 1) & 1) : 0;
    context->infoSeen = 1;
  }
}

// The "7" replies both handlers record; true when the packet was one of them.
bool RecordSevenShared(ReplyWaitContext* context, const uint8_t* bytes, uint32_t length) {
  if (length == 3 && bytes[1] == '%' && bytes[2] == 0) {
    context->clearReplySeen = 1;
  } else if (length == 4 && bytes[1] == 0x5C && bytes[3] == 0) {
    context->interruptReplySeen = 1;
    context->interruptVerdict = bytes[2] == '0' ? 1 : 0;
  } else if (length == 5 && bytes[1] == 'E' && bytes[4] == 0) {
    context->battery = bytes[2] * 256 + bytes[3];
    context->batterySeen = 1;
  } else if (length == 8 && bytes[1] == '#' && bytes[7] == 0) {
    SetOfflineResponse(context->handle, bytes);
    context->offlineRespSeen = 1;
  } else {
    return false;
  }
  return true;
}

void RecordSevenOpenOnly(ReplyWaitContext* context, const uint8_t* bytes, uint32_t length) {
  PrintHandle_t* handle = context->handle;
  if (length == 6 && bytes[1] == '\'' && bytes[2] == '3' && bytes[5] == 0) {
    int32_t unset = 0;
    handle->infoByte.compare_exchange_strong(unset, bytes[4]);
  } else if (length == 7 && bytes[1] == '\'' && bytes[2] == '1' && bytes[6] == 0) {
    handle->infoFlag2 = bytes[5] == '1' ? 1 : 0;
  }
}

void PaperPulledOut(PrintHandle_t* handle) {
  if (WaitInsertionRuns(handle)) {
    CompleteMethod(handle, kMethodWaitInsertion, kResultPaperPulledOut);
  } else if (MicrReadRuns(handle)) {
    CompleteMethod(handle, kMethodReadMicrData, kResultPaperPulledOut);
  } else {
    // The next hybrid send reports it.
    handle->paperPulledOut = 1;
  }
}

void MicrText(PrintHandle_t* handle, uint8_t status, const uint8_t* bytes, uint32_t length) {
  // Text from byte 5 up to the NUL; the buffer keeps room for a terminator.
  const uint32_t size = length - 5;
  auto* text = static_cast<char*>(std::calloc(size, 1));
  if (text == nullptr) {
    EngineErrorLine(kStatusSource, __LINE__);
    CompleteMethod(handle, kMethodReadMicrData, TILOPRN_FAILURE);
    return;
  }
  for (uint32_t i = 0; i + 1 < size; ++i) {
    const uint8_t b = bytes[5 + i];
    // Status bit 2: the printer sent each character inverted against 7Eh.
    text[i] = static_cast<char>((status & 0x04) != 0 ? 0x7E - b : b);
  }
  std::free(handle->micrText.exchange(text));
  CompleteMethod(handle, kMethodReadMicrData, TILOPRN_SUCCESS);
}

void MicrResult(PrintHandle_t* handle, const uint8_t* bytes, uint32_t length) {
  if (!MicrReadRuns(handle)) return;
  const uint8_t status = bytes[2];
  if ((status & 0x20) == 0) {
    if (bytes[3] == 0x40 && bytes[4] == 0x1F) MicrText(handle, status, bytes, length);
    return;
  }
  for (const MicrError& error : kMicrErrors) {
    if (error.letter != bytes[3]) continue;
    if (error.result == TILOPRN_CANCELLED) {
      CompleteMethod(handle, kMethodCancelInsertion, TILOPRN_SUCCESS);
      CancelJobByMethod(handle, kMethodReadMicrData);
    }
    CompleteMethod(handle, kMethodReadMicrData, error.result);
    return;
  }
  EngineErrorLine(kStatusSource, __LINE__);
}

// Asks a builder's job-end test; false for a builder without one.
bool IsJobEnd(PrnCmdHandle_t* builder, int kind, const uint8_t* bytes, uint32_t length) {
  if (!PrnCmdValid(builder) || builder->ops.reply == nullptr ||
      builder->ops.reply->isJobEnd == nullptr) {
    return false;
  }
  int isEnd = 0;
  return builder->ops.reply->isJobEnd(builder, kind, bytes, length, &isEnd) == 0 && isEnd == 1;
}

bool IsIgnoredJobId(const uint8_t* id) {
  return std::memcmp(id, "ABCD", kJobIdLength) == 0 || std::memcmp(id, "FFFF", kJobIdLength) == 0;
}

void JobEnd(ReplyWaitContext* context, PrnCmdHandle_t* builder, int kind, const uint8_t* bytes,
            uint32_t length) {
  PrintHandle_t* handle = context->handle;
  bool handed = false;
  if (IsJobEnd(builder, kind, bytes, length)) {
    if (length == 7) {
      if (!IsIgnoredJobId(bytes + 2)) {
        SignalJobById(handle, reinterpret_cast<const char*>(bytes + 2));
        handed = true;
      }
      context->jobEndSeen = 1;
    } else if (length == 1) {
      SignalFirstJob(handle);
      context->jobEndSeen = 1;
    }
  }
  // Display jobs carry ids "1000".."1FFE"; the attached builder may not know them.
  if (!handed && kind == kPrnReplySeven && length == 7 && bytes[1] == kJobEndMark &&
      bytes[2] == '1' && bytes[6] == 0) {
    SignalJobById(handle, reinterpret_cast<const char*>(bytes + 2));
    // The send that the display job began is over as well: a reader that saw
    // no job end would leave the handle sending for good.
    context->jobEndSeen = 1;
  }
}

}  // namespace

void AnalyzeResponse(int kind, const uint8_t* bytes, uint32_t length, void* user) {
  ReplyWaitContext* context = ContextOf(user);
  if (context == nullptr || bytes == nullptr || length == 0) return;
  PrintHandle_t* handle = context->handle;
  TdcBackendEnv_t* env = context->env;
  const int32_t oldBattery = GetBatteryValue(handle);
  SharedPrnBuilder attached;
  {
    PlatformLockGuard lock(handle->attachLock);
    if (lock) attached = handle->attachedBuilder;
  }

  switch (kind) {
    case kPrnReplyAutoStatus: {
      if (length != 4) break;
      std::memcpy(context->asb, bytes, 4);
      context->asbSeen = 1;
      const uint32_t word = FoldAsb(bytes);
      SetRawAsb(handle, bytes);
      StoreStatusFlags(env, handle, word);
      UpdateJobStatus(handle);
      handle->asbSeen = 1;
      handle->asbSettingDone = 1;
      HybridAfterAsb(context, word);
      break;
    }
    case kPrnReplyBlock9:
      if (StoreExtStatus(context, bytes, length)) HybridAfterExtStatus(context);
      break;
    case kPrnReplyStatusByte:
      StoreModelId(context, bytes[0]);
      break;
    case kPrnReplyRealtimeByte:
      if (length != 1 || (bytes[0] & 0x93) != 0x12) break;
      if (StoreRealtime(context, bytes[0])) {
        if (context->rtIndex == 3 && context->asbSeen == 0) {
          // No automatic status yet: the four real-time replies stand in for it.
          uint8_t held[4];
          uint8_t status[4];
          GetRawAsb(handle, held);
          RealtimeStatusBytes(context->rt, 4, held, status);
          SetRawAsb(handle, status);
          StoreStatusFlags(env, handle, FoldAsb(status));
        }
        context->rtSeen = 1;
      }
      break;
    case kPrnReplyUnderscore:
      context->nameSeen = 1;
      break;
    case kPrnReplyEquals:
      if (length >= 4) RecordEquals(context, bytes, length);
      break;
    case kPrnReplySeven:
      if (length < 3) break;
      if (RecordSevenShared(context, bytes, length)) {
        if (length == 5 && bytes[1] == 'E') {
          NotifyBatteryChange(env, handle, oldBattery, context->battery);
          SetBatteryValue(handle, context->battery);
          handle->batteryModel = 1;
          UpdateJobBattery(handle);
        }
      } else if (length == 5 && bytes[1] == 'N' && bytes[3] == '0' && bytes[4] == 0) {
        PaperPulledOut(handle);
      } else if (length >= 6 && bytes[1] == '*') {
        MicrResult(handle, bytes, length);
      }
      break;
    default:
      break;
  }

  JobEnd(context, attached ? attached.get() : context->builder, kind, bytes, length);
}

void AnalyzeOpenResponse(int kind, const uint8_t* bytes, uint32_t length, void* user) {
  ReplyWaitContext* context = ContextOf(user);
  if (context == nullptr || bytes == nullptr || length == 0) return;
  PrintHandle_t* handle = context->handle;

  switch (kind) {
    case kPrnReplyAutoStatus:
      if (length != 4) break;
      std::memcpy(context->asb, bytes, 4);
      context->asbSeen = 1;
      SetRawAsb(handle, bytes);
      // Silently: the first notification after the monitor starts compares
      // against this word.
      handle->statusFlags = FoldAsb(bytes);
      break;
    case kPrnReplyBlock9:
      StoreExtStatus(context, bytes, length);
      break;
    case kPrnReplyStatusByte:
      StoreModelId(context, bytes[0]);
      break;
    case kPrnReplyRealtimeByte:
      if (length != 1 || (bytes[0] & 0x93) != 0x12) break;
      if (StoreRealtime(context, bytes[0])) context->rtSeen = 1;
      break;
    case kPrnReplyUnderscore:
      context->nameSeen = 1;
      break;
    case kPrnReplyEquals:
      if (length >= 4) RecordEquals(context, bytes, length);
      break;
    case kPrnReplySeven:
      if (length >= 3 && !RecordSevenShared(context, bytes, length)) {
        RecordSevenOpenOnly(context, bytes, length);
      }
      break;
    default:
      break;
  }

  if (IsJobEnd(context->builder, kind, bytes, length)) context->jobEndSeen = 1;
}

}  // namespace tilo2::core
