#include "component/result_codes.h"

#include <cstdio>
#include <string>

#include "orvik/tilo2/error_status.h"

namespace tilo2::core::CommonUtils {

namespace {

using ::Orvik::Tilo::Tilo2::ErrorStatus;
using ::Orvik::Tilo::Tilo2::RuntimeException;

constexpr ErrorNumber kErrParameterNumber = 1;

[[noreturn]] void ThrowParameterError() { throw MakeException(kErrParameterNumber); }

thread_local const char* gMethod = nullptr;

// The member of a log name: "Orvik::Tilo::Tilo2::Printer::Printer::SendDataAsync::Body"
// gives "SendDataAsync"; a name without "::" is a member already.
std::string_view MemberOf(std::string_view name) {
  constexpr size_t kLeading = 5;  // Orvik, Tilo, Tilo2, the namespace, the class
  if (name.find("::") == std::string_view::npos) return name;
  size_t start = 0;
  for (size_t i = 0; i < kLeading; ++i) {
    const size_t next = name.find("::", start);
    if (next == std::string_view::npos) return name.substr(start);
    start = next + 2;
  }
  const std::string_view rest = name.substr(start);
  return rest.substr(0, rest.find("::"));
}

}  // namespace

ErrorScope::ErrorScope(const char* method) noexcept : previous_(gMethod) { gMethod = method; }

ErrorScope::~ErrorScope() { gMethod = previous_; }

std::string_view CurrentMethod() noexcept {
  return gMethod != nullptr ? MemberOf(gMethod) : std::string_view();
}

std::string DescribeError(int32_t hresult, std::string_view reason) {
  char code[32];
  std::snprintf(code, sizeof code, " (0x%08X)", static_cast<uint32_t>(hresult));
  std::string text(ErrorStatus::ToString(hresult));
  text += code;
  const std::string_view method = CurrentMethod();
  if (!method.empty()) {
    text += ": ";
    text += method;
  }
  if (!reason.empty()) {
    text += ": ";
    text += reason;
  }
  return text;
}

std::string_view DescribeErrorNumber(ErrorNumber errorNumber) noexcept {
  switch (errorNumber) {
    case 1:
      return "a value was refused";
    case 2:
      return "the printer could not be reached";
    case 3:
      return "the printer did not answer in time";
    case 4:
      return "out of memory";
    case 5:
      return "the printer is not connected";
    case 6:
      return "another operation is in progress";
    case 7:
      return "not found";
    case 8:
      return "in use by another connection";
    case 9:
      return "the device is of another type";
    case 10:
      return "the printer could not be disconnected";
    case 11:
      return "already connected";
    case 12:
      return "already in use";
    case 13:
      return "too many boxes";
    case 14:
      return "too many members of the box";
    case 15:
      return "not supported on this connection";
    default:
      return "failed";
  }
}

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
  return CheckRange(value, min, max, rejectMinusOne, rejectMinusTwo, std::string_view());
}

int32_t CheckRange(int32_t value, int32_t min, int32_t max, bool rejectMinusOne,
                   bool rejectMinusTwo, std::string_view name) {
  if (!rejectMinusOne && value == -1) return value;
  if (!rejectMinusTwo && value == -2) return value;
  if (min <= value && value <= max) return value;
  if (name.empty()) ThrowParameterError();
  std::string reason(name);
  reason += " is " + std::to_string(value) + "; it takes " + std::to_string(min) + ".." +
            std::to_string(max);
  if (!rejectMinusOne && !rejectMinusTwo) {
    reason += ", -1 or -2";
  } else if (!rejectMinusOne) {
    reason += " or -1";
  } else if (!rejectMinusTwo) {
    reason += " or -2";
  }
  throw MakeException(kErrParameterNumber, reason);
}

int32_t ToHResult(ErrorNumber errorNumber) noexcept {
  if (errorNumber >= 1 && errorNumber <= 15) return ErrorStatus::ErrParameter + (errorNumber - 1);
  return ErrorStatus::ErrFailure;
}

RuntimeException MakeException(ErrorNumber errorNumber) {
  return MakeException(errorNumber, DescribeErrorNumber(errorNumber));
}

RuntimeException MakeException(ErrorNumber errorNumber, std::string_view reason) {
  const int32_t hresult = ToHResult(errorNumber);
  return RuntimeException(hresult, DescribeError(hresult, reason));
}

RuntimeException PassOrMapException(const RuntimeException& e, ErrorNumber errorNumber) {
  const uint32_t offset =
      static_cast<uint32_t>(e.HResult()) - static_cast<uint32_t>(ErrorStatus::ErrParameter);
  const uint32_t last = static_cast<uint32_t>(ErrorStatus::ErrFailure) -
                        static_cast<uint32_t>(ErrorStatus::ErrParameter);
  if (offset <= last) return e;
  return MakeException(errorNumber);
}

ErrorNumber ErrorNumberOf(int32_t tdcResult) {
  for (const CodePair& row : ErrorCodeTable) {
    if (row.coreValue == tdcResult) return row.publicValue;
  }
  return kErrParameterNumber;
}

void ThrowIfFailed(int32_t tdcResult) {
  if (tdcResult == 0) return;
  throw MakeException(ConvertFromCore(ErrorCodeTable, tdcResult));
}

void ThrowIfFailed(int32_t tdcResult, std::string_view subject) {
  if (tdcResult == 0) return;
  const ErrorNumber number = ErrorNumberOf(tdcResult);
  std::string reason(subject);
  if (!reason.empty()) reason += ": ";
  reason += DescribeErrorNumber(number);
  throw MakeException(number, reason);
}

::Orvik::Tilo::Tilo2::CallbackCode ToCallbackCode(int32_t tdcCallbackCode) {
  return static_cast<::Orvik::Tilo::Tilo2::CallbackCode>(
      ConvertFromCore(CallbackCodeTable, tdcCallbackCode));
}

}  // namespace tilo2::core::CommonUtils
