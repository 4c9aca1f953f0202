#pragma once
// The context every queued step receives, and the step's signature.

#include <cstdint>

#include "encoding/builder/cmd_data.h"
#include "io/io_types.h"

namespace tilo2::core {

struct PrintHandle_t;
struct PrinterBuilder_t;
struct DisplayBuilder_t;
struct JobWait_t;
struct ReplyWaitContext;

// What "GetDeviceInformation" is asked to learn, filled by the code that queues
// it (the open and the end of a transaction).
struct DeviceInfoRequest {
  uint8_t batteryQuery;  // send the battery query
  uint8_t infoQuery;     // send the information query
  uint8_t settingQuery;  // send the setting query
  uint8_t infoKnown;     // with paperSupport other than FFFFFFFFh: skip QueryPrinterInfo
  uint32_t paperSupport;
  int32_t replyTimeoutMs;   // wait for the model id reply
  uint8_t responseEnabled;  // copies of the handle's flags
  uint8_t asbSettingDone;
};

// A plain record: chain and standalone pushes copy it whole, so the queue owns
// its copy. The pusher zeroes it before filling it in.
struct StepContext_t {
  PrintHandle_t* handle;
  uint8_t* statusOut;  // raw status read by status steps
  int32_t statusOutLength;
  TdcBackendEnv_t* env;  // null while a step runs on the queue thread
  int32_t timeoutMs;
  uint8_t* sendData;  // a job's bytes, set by its Init step
  int32_t sendLength;
  ReplyWaitContext* replyWait;  // owned by the pusher
  int32_t* online;
  PrintHandle_t* jobHandle;
  PrinterBuilder_t* printerBuilder;  // the job's private copy
  uint8_t* noAnswer;
  int32_t* resultOut;
  uint8_t printJob;  // 1 in a print, hybrid or display job chain: the reordering pop holds it
  int32_t stepResult;
  CmdData_t* builtData;
  JobWait_t* jobWait;
  uint8_t* jobStatus;  // the job's four 4-byte work buffers
  uint8_t* jobRawStatus;
  uint8_t* jobForcedStatus;
  uint8_t* jobBattery;
  uint32_t* flagsOut;
  DisplayBuilder_t* displayBuilder;  // the display job's private copy

  // Step-owned inputs.
  int32_t extraWaitMs;      // GetCommandAsb, GetBatteryStatus: added to the reply wait
  int32_t readTimeoutMs;    // CheckDisplayConnection: per read
  int32_t paperType;        // hybrid paper type or insertion kind; CheckCueingPaper
  int32_t insertionWaitMs;  // hybrid: the printer's own insertion wait, 0..6400
  int32_t micrFont;         // MICR read: font selector
  int32_t sendOption;       // hybrid send: the endorse variant the builder was set up for
  // The last sheet must be removed first; in the cueing chain it tells the
  // insertion step to leave out the prologue.
  uint8_t removalPending;
  DeviceInfoRequest deviceInfo;
  // A platform_tick_ms tick that bounds the step's control-protocol
  // exchanges (the caller's limit of an open); 0 for none.
  uint64_t deadlineMs;
};

// Returns a TiloPrintResult; a non-zero result skips the chain's later steps.
using StepFunc = int32_t (*)(StepContext_t* context);

// A step's last word: its result, kept where the chain's Exit step reads it.
inline int32_t Finish(StepContext_t* context, int32_t result) {
  context->stepResult = result;
  return result;
}

}  // namespace tilo2::core
