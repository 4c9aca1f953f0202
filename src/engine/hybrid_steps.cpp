#include "engine/hybrid_steps.h"

#include "engine/engine_log.h"
#include "engine/exchange.h"
#include "engine/print_result.h"
#include "engine/recovery.h"
#include "engine/request_queue.h"

namespace tilo2::core {

namespace {

constexpr int32_t kInitClearReplyWaitMs = 500;

}  // namespace

int32_t InitiaizeHybridPrinter(StepContext_t* context) {
  if (context == nullptr) return TILOPRN_PARAMETER_ERROR;
  PrintHandle_t* handle = context->handle;
  if (handle == nullptr) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return TILOPRN_FAILURE;
  }
  int paused = 1;
  int result = PauseReceive(context, handle, &paused);
  if (result != TILOPRN_SUCCESS) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    return result;
  }
  result = SendClearBuffer(handle);
  if (result != TILOPRN_SUCCESS) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
    if (paused == 0) ResumeReceive(handle);
    return result;
  }
  ReplyWaitContext reply{};
  reply.handle = handle;
  reply.env = context->env;
  result = ReceiveResponse(handle, kInitClearReplyWaitMs, &reply, kWaitClearReply);
  if (result == TILOPRN_TIMEOUT) {
    // A printer that does not acknowledge the clear is not a failure here.
    EngineErrorLine(kSendReceiveSource, __LINE__);
    result = TILOPRN_SUCCESS;
  }
  if (paused == 0 && ResumeReceive(handle) != TILOPRN_SUCCESS) {
    EngineErrorLine(kSendReceiveSource, __LINE__);
  }
  return result;
}

int QueueInitiaizeHybridPrinter(TdcBackendEnv_t* env, PrintHandle_t* handle) {
  if (handle == nullptr) return TILOPRN_PARAMETER_ERROR;
  StepContext_t context{};
  context.handle = handle;
  context.env = env;
  int32_t result = 0;
  const int pushed = RunStandaloneStep(handle->queue, &context, InitiaizeHybridPrinter,
                                       "InitiaizeHybridPrinter", &result);
  // On the queue's own thread the wait is refused (7) rather than deadlocked.
  if (pushed == TILOPRN_BUSY) return pushed;
  return TILOPRN_SUCCESS;
}

}  // namespace tilo2::core
