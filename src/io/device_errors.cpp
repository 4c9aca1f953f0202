#include "io/device_errors.h"

namespace tilo2::core {

using namespace hal;

bool TiloIoIsKeptHresult(int32_t hresult) {
  switch (hresult) {
    case kHrInvalidArg:
    case kHrAccessDenied:
    case kHrAbort:
    case kHrOutOfMemory:
    case kHrIllegalMethodCall:
    case kHrPending:
      return true;
    default:
      return false;
  }
}

int TiloIoHresultToResult(int32_t hresult) {
  switch (hresult) {
    case kHrInvalidArg:
      return 1;
    case kHrAccessDenied:
      return 3;
    case kHrAbort:
      return 4;
    case kHrOutOfMemory:
      return 5;
    case kHrIllegalMethodCall:
      return 6;
    case kHrPending:
      return 7;
    default:
      return 255;
  }
}

int32_t TiloIoResultToHresult(int result) {
  switch (result) {
    case 1:
      return kHrInvalidArg;
    case 2:
    case 3:
      return kHrAccessDenied;
    case 4:
      return kHrAbort;
    case 5:
      return kHrOutOfMemory;
    case 6:
      return kHrIllegalMethodCall;
    case 7:
      return kHrPending;
    default:
      return kHrFail;
  }
}

std::exception_ptr TiloIoResultToException(int result) {
  return std::make_exception_ptr(hal::Error(TiloIoResultToHresult(result)));
}

}  // namespace tilo2::core
