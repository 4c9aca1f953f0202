// The port-error report: a send that finds its direct connection gone still
// gets a result, delivered on a thread of its own as the engine would deliver
// it, and the send returns only once that result has been handled.

#include <cstdlib>
#include <cstring>

#include "device/target.h"

namespace tilo2::core {

namespace {

// The engine's I/O-error code, and the status word of a printer that gave no answer.
constexpr int32_t kEngineIoError = 3;
constexpr uint32_t kStatusNoResponse = 0x1;

void FreeJob(TdcPortErrorJob_t* job) {
  std::free(job->address);
  std::free(job->printJobId);
  std::free(job);
}

}  // namespace

void* TdcPortErrorResultThread(void* argument) {
  const auto* job = static_cast<const TdcPortErrorJob_t*>(argument);
  if (job == nullptr || job->callback == nullptr) return nullptr;
  if (job->kind == TDC_PORT_ERROR_PRINT) {
    reinterpret_cast<PrintResultCallback>(job->callback)(job->handle, job->address, kEngineIoError,
                                                         kStatusNoResponse, 0, job->printJobId);
  } else if (job->kind == TDC_PORT_ERROR_DISPLAY) {
    reinterpret_cast<DisplayResultCallback>(job->callback)(job->handle, job->address,
                                                           kEngineIoError);
  }
  return nullptr;
}

int TdcPostPortErrorResult(PrintHandle_t* handle, const char* address, int32_t kind,
                           void* callback) {
  if (handle == nullptr || callback == nullptr) return TDC_ERR_PARAM;
  auto* job = static_cast<TdcPortErrorJob_t*>(std::calloc(1, sizeof(TdcPortErrorJob_t)));
  if (job == nullptr) return TDC_ERR_MEMORY;
  if (address != nullptr) {
    job->address = strdup(address);
    if (job->address == nullptr) {
      FreeJob(job);
      return TDC_ERR_MEMORY;
    }
  }
  job->handle = handle;
  job->printJobId = nullptr;
  job->kind = kind;
  job->callback = callback;

  PlatformThread_t thread = nullptr;
  if (platform_thread_create(&thread, &TdcPortErrorResultThread, job) != PLATFORM_OK) {
    FreeJob(job);
    return TDC_ERR_FAILURE;
  }
  // A thread that could not be joined may still read the job: it is left to
  // it rather than freed under it.
  if (platform_thread_join(thread) != PLATFORM_OK) {
    platform_thread_close(thread);
    return TDC_ERR_FAILURE;
  }
  platform_thread_close(thread);
  FreeJob(job);
  return TDC_SUCCESS;
}

}  // namespace tilo2::core
