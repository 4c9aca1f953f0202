#include "engine/display_chain.h"

#include <cstring>

#include "encoding/builder/cmd_buffer.h"
#include "encoding/display/dsp_cmd_handle.h"
#include "engine/engine_log.h"
#include "engine/exchange.h"
#include "engine/job_id.h"
#include "engine/job_wait.h"
#include "engine/print_result.h"
#include "engine/request_queue.h"
#include "engine/send_chain.h"

namespace tilo2::core {

namespace {

constexpr const char* kInitName = "Init_SendDisplay_Cmd";
constexpr const char* kSendName = "SendDisplay_Cmd";
constexpr const char* kExitName = "Exit_SendDisplay_Cmd";

// DspCmdBuild's answers.
constexpr int kBuildParameterError = 1;
constexpr int kBuildMemoryError = 3;
constexpr int kBuildWindowError = 4;

// Print jobs still waiting for their end hold a display job back: with two
// jobs allowed at once (reorder mode 1) one of them may be out.
bool PrintJobsInTheWay(const PrintHandle_t* handle) {
  const int32_t allowed = handle->queue->reorderMode.load() == 1 ? 1 : 0;
  return OutstandingJobs(handle) > allowed;
}

int BuildResult(int built) {
  switch (built) {
    case 0:
      return TILOPRN_SUCCESS;
    case kBuildParameterError:
      return TILOPRN_PARAMETER_ERROR;
    case kBuildMemoryError:
      EngineErrorLine(kSendReceiveSource, __LINE__);
      return TILOPRN_MEMORY_ERROR;
    case kBuildWindowError:
      return TILOPRN_DISPLAY_WINDOW_ERROR;
    default:
      EngineErrorLine(kSendReceiveSource, __LINE__);
      return TILOPRN_FAILURE;
  }
}

int InitJob(StepContext_t* context) {
  if (context->handle == nullptr || context->jobHandle == nullptr) {
    return TILOPRN_PARAMETER_ERROR;
  }
  if (!CheckHandleList(context->jobHandle)) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  // The job wait comes first, so that every later failure reaches the display
  // result callback through the Exit step.
  char jobId[kJobIdLength];
  NewDisplayJobId(jobId);
  context->jobWait =
      AddJobWait(context->env, context->jobHandle, jobId, context->timeoutMs, kJobKindDisplay);
  if (context->jobWait == nullptr) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  DspCmdHandle_t* builder =
      context->displayBuilder != nullptr ? context->displayBuilder->builder : nullptr;
  if (!DspCmdValid(builder)) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  std::memcpy(builder->processId, jobId, kJobIdLength);
  // The build keeps a frame made earlier, and with it that job's id: the
  // printer must be asked for this job's end.
  CmdBufferClearTrailer(&builder->cmdBuffer);
  CmdData_t* built = nullptr;
  const int result = BuildResult(DspCmdBuild(builder, &built));
  if (result != TILOPRN_SUCCESS) return result;
  TakeBuiltData(context, built);
  return TILOPRN_SUCCESS;
}

int SendJob(StepContext_t* context) {
  // An empty job writes nothing.
  if (context->sendData == nullptr || context->sendLength <= 0) return TILOPRN_SUCCESS;
  const int sent = SendCommandData(nullptr, context->handle, context->sendData,
                                   static_cast<size_t>(context->sendLength), context->timeoutMs);
  return sent == TILOPRN_SUCCESS ? TILOPRN_SUCCESS : TILOPRN_IO_ERROR;
}

// The Exit step of a chain whose send step could not be queued.
int32_t ExitIncompleteChain(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (context->stepResult == TILOPRN_SUCCESS) context->stepResult = TILOPRN_FAILURE;
  return ExitSendDisplayCmd(context);
}

// No Check step: the display job goes out whatever the printer's state.
constexpr JobChainSteps kDisplayJobChain = {
    {InitSendDisplayCmd, kInitName},  {nullptr, nullptr},
    {SendDisplayCmd, kSendName},      {ExitSendDisplayCmd, kExitName},
    {ExitIncompleteChain, kExitName},
};

}  // namespace

int QueueSendDisplay(TdcBackendEnv_t* env, PrintHandle_t* handle, DisplayBuilder_t* builder) {
  if (builder == nullptr) return TILOPRN_PARAMETER_ERROR;
  if (!CheckHandleList(handle)) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  if (handle->connection == nullptr || handle->queue == nullptr) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_ILLEGAL_STATE;
  }
  if (PrintJobsInTheWay(handle)) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_ILLEGAL_STATE;
  }
  StepContext_t context{};
  context.env = env;
  context.handle = handle;
  context.jobHandle = handle;
  context.displayBuilder = builder;
  context.timeoutMs = kDisplayJobTimeoutMs;
  context.printJob = 1;
  return QueueJobChain(&context, kDisplayJobChain);
}

int32_t InitSendDisplayCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Finish(context, InitJob(context));
}

int32_t SendDisplayCmd(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  return Finish(context, SendJob(context));
}

int32_t ExitSendDisplayCmd(StepContext_t* context) {
  // An empty job ends here with 0; a failed one ends with the chain result.
  return ExitJobChain(context, nullptr);
}

int TiloSendDisplayData(TdcBackendEnv_t* env, PrintHandle_t* handle, DisplayBuilder_t* builder) {
  if (handle == nullptr || builder == nullptr) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_PARAMETER_ERROR;
  }
  if (const int checked = CheckOpenHandle(handle); checked != TILOPRN_SUCCESS) return checked;
  const int queued = QueueSendDisplay(env, handle, builder);
  if (queued == TILOPRN_FAILURE) {
    EngineErrorLine(kPublicSource, __LINE__);
    return TILOPRN_MEMORY_ERROR;
  }
  return queued;
}

}  // namespace tilo2::core
