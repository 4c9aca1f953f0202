#include "component/result_codes.h"

#include "orvik/tilo2/error_status.h"

namespace tilo2::core::CommonUtils {

namespace {

using ::Orvik::Tilo::Tilo2::ErrorStatus;
using ::Orvik::Tilo::Tilo2::RuntimeException;

constexpr ErrorNumber kErrParameterNumber = 1;

[[noreturn]] void ThrowParameterError() { throw MakeException(kErrParameterNumber); }

}  // namespace

int32_t ConvertToCore(std::span<const CodePair> rows, int32_t publicValue) {
  if (rows.data() == nullptr) ThrowParameterError();
  for (const CodePair& row : rows) {
    if (row.publicValue == publicValue) return row.coreValue;
  }
  ThrowParameterError();
}

int32_t ConvertFromCore(std::span<const CodePair> rows, int32_t coreValue) {
  if (rows.data() == nullptr) ThrowParameterError();
  for (const CodePair& row : rows) {
    if (row.coreValue == coreValue) return row.publicValue;
  }
  ThrowParameterError();
}

int32_t CheckRange(int32_t value, int32_t min, int32_t max, bool rejectMinusOne,
                   bool rejectMinusTwo) {
  if (!rejectMinusOne && value == -1) return value;
  if (!rejectMinusTwo && value == -2) return value;
  if (min <= value && value <= max) return value;
  ThrowParameterError();
}

int32_t ToHResult(ErrorNumber errorNumber) noexcept {
  if (errorNumber >= 1 && errorNumber <= 15) return ErrorStatus::ErrParameter + (errorNumber - 1);
  return ErrorStatus::ErrFailure;
}

RuntimeException MakeException(ErrorNumber errorNumber) {
  return RuntimeException(ToHResult(errorNumber));
}

RuntimeException PassOrMapException(const RuntimeException& e, ErrorNumber errorNumber) {
  const uint32_t offset =
      static_cast<uint32_t>(e.HResult()) - static_cast<uint32_t>(ErrorStatus::ErrParameter);
  const uint32_t last = static_cast<uint32_t>(ErrorStatus::ErrFailure) -
                        static_cast<uint32_t>(ErrorStatus::ErrParameter);
  if (offset <= last) return e;
  return MakeException(errorNumber);
}

void ThrowIfFailed(int32_t tdcResult) {
  if (tdcResult == 0) return;
  throw MakeException(ConvertFromCore(ErrorCodeTable, tdcResult));
}

::Orvik::Tilo::Tilo2::CallbackCode ToCallbackCode(int32_t tdcCallbackCode) {
  return static_cast<::Orvik::Tilo::Tilo2::CallbackCode>(
      ConvertFromCore(CallbackCodeTable, tdcCallbackCode));
}

}  // namespace tilo2::core::CommonUtils
