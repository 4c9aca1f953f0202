#pragma once
// Hybrid printer steps. Every open runs the initialisation, whatever the model.

#include <cstdint>

#include "engine/builder_records.h"
#include "engine/print_handle.h"
#include "engine/step_context.h"

namespace tilo2::core {

// "InitiaizeHybridPrinter" (the label keeps the printer family's spelling):
// clears the printer's buffer and waits briefly for the acknowledgement.
int32_t InitiaizeHybridPrinter(StepContext_t* context);
// Runs the step standalone and waits for it; 0.
int QueueInitiaizeHybridPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle);

// ---- Insertion, cancel, eject, MICR read and cleaning chains ----
// Each operation queues Init, Check, work and Exit steps and returns; its
// outcome reaches the hybrid result callback through the job wait thread.

// Results particular to hybrid operations (beside TiloPrintResult).
enum HybridResult : int32_t {
  kHybridNoMicrData = 12,
  kHybridIllegalLength = 13,
  kHybridNoMagneticData = 14,
  kHybridRecognitionError = 15,
  kHybridReadError = 16,
  kHybridNoiseDetected = 17,
  kHybridPaperJam = 18,
  kHybridPaperPulledOut = 19,
  kHybridCancelFailed = 20,
  kHybridWrongPaperType = 21,
  kHybridInsertionRunning = 22,
  kHybridPaperInserted = 23,
  kHybridRemovalWaiting = 24,
};

// Where a wait for insertion expects the sheet (StepContext_t::paperType).
enum HybridInsertionKind : int32_t {
  kInsertionSlip = 1,
  kInsertionValidation = 2,
  kInsertionMicr = 3,
};

// The printer's own insertion wait goes out in steps of 100 ms, at most this long.
inline constexpr int32_t kMaxInsertionWaitMs = 6400;

// Claims the flag of method 0, 4 or 5 for the caller: false once claimed (the
// caller owns the flag and clears it when queueing fails); true when the
// operation already runs, after reporting 22 through the hybrid result
// callback (logged when there is none). The test and the set are one step
// under the flag's lock, so of two racing callers exactly one goes on.
bool ReportHybridBusy(PrintHandle_t* handle, int32_t method);

// 0 queued (or refused as busy, reported through the callback); 1 for a bad
// argument or a timeout above 600000 ms; 5 when the context cannot be
// prepared; 255 when a step cannot be queued. A wait time above 6400 ms
// reaches the callback as 1, nothing written.
int QueueWaitInsertionHybdPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                  int32_t insertionKind, int32_t insertionWaitMs, int32_t timeoutMs,
                                  uint8_t removalPending);
// Results as QueueWaitInsertionHybdPrinter; the job times out after 2000 ms.
int QueueCancelInsertionHybdPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle);
// Runs the chain, waits for it and reports its result through the hybrid
// result callback (method 3). 0; 1 for a bad argument; 7 on the queue thread;
// 255 when the chain cannot be queued.
int QueueEjectPaperHybdPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle, uint8_t removalPending);
int QueueReadMicrDataHybdPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t micrFont,
                                 int32_t insertionWaitMs, int32_t timeoutMs,
                                 uint8_t removalPending);
// As QueueWaitInsertionHybdPrinter, except that a failed first push answers
// with its own result (1, 5 or 255).
int QueueCleanMicrReaderHybdPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle,
                                    int32_t insertionWaitMs, int32_t timeoutMs,
                                    uint8_t removalPending);
// Check and cancel, each standalone and waited for, with cancelInsertion set
// meanwhile: the first nonzero step result, else the cancel's (0 once the
// printer reported the insertion ended, 4 after 500 ms). 7 on the queue thread.
int QueueCancelInsertionHybdPrinterSync(TdcBackendEnv_t* env, PrintHandle_t* handle);

// The steps run under their labels: InitWaitInsertionHybdPrinterCmd as
// "Init_WaitInsertionHybdPrinter_Cmd", WaitInsertionHybdPrinterCmd as
// "WaitInsertionHybdPrinter_Cmd", and likewise for the others.
int32_t InitWaitInsertionHybdPrinterCmd(StepContext_t* context);
int32_t CheckWaitInsertionHybdPrinterCmd(StepContext_t* context);
// Kind in paperType, wait in insertionWaitMs; removalPending set leaves out
// the prologue (cueing). 6 for an unknown kind, 1 for a wait above 6400 ms.
int32_t WaitInsertionHybdPrinterCmd(StepContext_t* context);
int32_t InitCancelInsertionHybdPrinterCmd(StepContext_t* context);
int32_t CheckCancelInsertionHybdPrinterCmd(StepContext_t* context);
int32_t CancelInsertionHybdPrinterCmd(StepContext_t* context);
// Writes the cancel and waits 500 ms for the printer to end the insertion.
int32_t CancelInsertionHybdPrinterSyncCmd(StepContext_t* context);
int32_t InitEjectPaperHybdPrinterCmd(StepContext_t* context);
int32_t CheckEjectPaperHybdPrinterCmd(StepContext_t* context);
int32_t EjectPaperHybdPrinterCmd(StepContext_t* context);
int32_t ExitEjectPaperHybdPrinterCmd(StepContext_t* context);
int32_t InitReadMicrDataHybdPrinterCmd(StepContext_t* context);
int32_t CheckReadMicrDataHybdPrinterCmd(StepContext_t* context);
int32_t ReadMicrDataHybdPrinterCmd(StepContext_t* context);
int32_t InitCleanMicrReaderHybdPrinterCmd(StepContext_t* context);
int32_t CheckCleanMicrReaderHybdPrinterCmd(StepContext_t* context);
int32_t CleanMicrReaderHybdPrinterCmd(StepContext_t* context);
// The Exit step of the wait, cancel, MICR read and cleaning chains.
int32_t ExitHybdPrinterCmd(StepContext_t* context);
// The end of every passed hybrid Check step: response enable goes out once,
// unless the printer is offline with a reason that no extended status block
// explains. 0 when nothing was written, else the write's result.
int ResponseEnableRule(PrintHandle_t* handle, const uint8_t raw[4]);
// ---- end of the insertion, cancel, eject, MICR read and cleaning chains ----

// ---- The hybrid send, the paper-type cueing and the hybrid status ----

// Paper types of a hybrid send and of the cueing.
enum HybridPaperType : int32_t {
  kPaperReceipt = 0,
  kPaperSlip = 1,
  kPaperEndorse = 2,
  kPaperValidation = 3,
};

// The path a paper type's sheet comes in by: slip and endorsement share the
// slip path; a receipt has none (0, which the wait's check refuses).
inline int32_t InsertionKindOfPaper(int32_t paperType) {
  switch (paperType) {
    case kPaperSlip:
    case kPaperEndorse:
      return kInsertionSlip;
    case kPaperValidation:
      return kInsertionValidation;
    default:
      return 0;
  }
}

// Queues "Init_SendHybdPrinter_Cmd", "Check_SendHybdPrinter_Cmd",
// "SendPrinter_Cmd" and "Exit_SendHybdPrinter_Cmd" on a private copy of the
// builder and returns at once: 0 queued, 5 when the copy fails, 1 for a
// missing handle, queue or builder or a timeout outside 0..600000, 255 when a
// request cannot be queued. The outcome arrives through the hybrid result
// callback as method 1.
int QueueSendHybdPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle, PrinterBuilder_t* builder,
                         int32_t paperType, int32_t timeoutMs, int32_t sendOption,
                         uint8_t removalPending);
int32_t InitSendHybdPrinterCmd(StepContext_t* context);   // "Init_SendHybdPrinter_Cmd"
int32_t CheckSendHybdPrinterCmd(StepContext_t* context);  // "Check_SendHybdPrinter_Cmd"
int32_t ExitSendHybdPrinterCmd(StepContext_t* context);   // "Exit_SendHybdPrinter_Cmd"

// Runs while a paper type is selected (slipCueing set by the caller): the
// printer's check, a slip insertion without prologue and the wait for the
// sheet to be cued, each standalone and waited for. 0 once the insertion went
// out, whatever the cueing read gives; else the failure of the check or the
// insertion, which also reaches the hybrid result callback (method 1) before
// the printer is recovered. 1 without handle or queue; 7 on the queue thread.
int QueueCuePaper(TdcBackendEnv_t* env, PrintHandle_t* handle, int32_t paperType);
int32_t CheckCuePaper(StepContext_t* context);  // "Check_CuePaper"

// The four raw status bytes into statusOut: on TCP from the printer's network
// interface, otherwise from the automatic status that answers a status
// request. 0, or the exchange's failure.
int32_t GetHybdCommandAsb(StepContext_t* context);
// Reads until the cueing of paperType (1 or 2) is over: 0 done (or nothing to
// cue), 255 on a cueing error or a read failure, 4 when it is not over within
// ten seconds.
int32_t CheckCueingPaper(StepContext_t* context);

}  // namespace tilo2::core
