#include "engine/print_result.h"

namespace tilo2::core {

int ConvertIoResult(int ioResult) {
  return ioResult >= 0 && ioResult <= 7 ? ioResult : TILOPRN_FAILURE;
}

int ConvertBuilderResult(int builderResult) {
  switch (builderResult) {
    case 0:
      return TILOPRN_SUCCESS;
    case 1:
      return TILOPRN_PARAMETER_ERROR;
    case 2:
      return TILOPRN_NOT_SUPPORTED;
    case 3:
      return TILOPRN_MEMORY_ERROR;
    default:
      return TILOPRN_FAILURE;
  }
}

int ConvertBuilderResultLenient(int builderResult) {
  const int result = ConvertBuilderResult(builderResult);
  return result == TILOPRN_NOT_SUPPORTED ? TILOPRN_SUCCESS : result;
}

}  // namespace tilo2::core
