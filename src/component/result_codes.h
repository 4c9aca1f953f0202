#pragma once
// How failures become the SDK's HRESULTs. Inside the runtime layer a failure is
// first an error number (0 success, 1 to 16 the ErrorStatus values
// ErrParameter to ErrFailure), picked by an argument check or found for a
// device-API result in ErrorCodeTable; it leaves as a RuntimeException with
// that number's HRESULT. Completion codes of the core become CallbackCode
// through CallbackCodeTable.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "component/enum_info.h"
#include "orvik/tilo2/callback_code.h"
#include "orvik/tilo2/exceptions.h"

namespace tilo2::core {

TILO2_DEFINE_ENUM_INFO(::Orvik::Tilo::Tilo2::CallbackCode, "Orvik.Tilo.Tilo2.CallbackCode",
                       TILO2_CALLBACK_CODE_LIST);

using ErrorNumber = int;

// {errorNumber, device-API result}; every runtime class shares these rows.
inline constexpr std::array<CodePair, 17> ErrorCodeTable{{{0, 0},
                                                          {1, 1},
                                                          {2, 3},
                                                          {3, 4},
                                                          {4, 10},
                                                          {5, 5},
                                                          {6, 2},
                                                          {7, 6},
                                                          {8, 8},
                                                          {9, 7},
                                                          {10, 9},
                                                          {11, 20},
                                                          {12, 21},
                                                          {13, 22},
                                                          {14, 23},
                                                          {15, 28},
                                                          {16, 255}}};

// {CallbackCode, core completion code}: 0 to 33 unchanged, 255 and -3 to ErrorFailure.
inline constexpr std::span<const CodePair> CallbackCodeTable =
    PairTable<::Orvik::Tilo::Tilo2::CallbackCode>();

namespace CommonUtils {

// The core value of the first row whose public value matches. Throws
// ErrParameter for a null table or when no row matches.
int32_t ConvertToCore(std::span<const CodePair> rows, int32_t publicValue);
// The public value of the first row whose core value matches; throws as ConvertToCore.
int32_t ConvertFromCore(std::span<const CodePair> rows, int32_t coreValue);

// value when it is -1 and -1 is allowed, -2 and -2 is allowed, or min <= value
// <= max; else throws ErrParameter. (-1 marks an unspecified value, -2 the
// default of a numeric argument.) With a name, the reason reads
// "<name> is <value>; it takes <min>..<max>[, -1][ or -2]".
int32_t CheckRange(int32_t value, int32_t min, int32_t max, bool rejectMinusOne,
                   bool rejectMinusTwo);
int32_t CheckRange(int32_t value, int32_t min, int32_t max, bool rejectMinusOne,
                   bool rejectMinusTwo, std::string_view name);

// 1 to 15 give ErrParameter to ErrUnsupported; every other number ErrFailure.
int32_t ToHResult(ErrorNumber errorNumber) noexcept;

// The public method whose work runs on this thread while the scope lives: the
// exceptions made meanwhile name it before their reason. `method` is a log
// name ("Orvik::Tilo::Tilo2::Printer::Printer::SendDataAsync::Body") or a
// member name; the member alone is shown. Scopes nest; the innermost names.
class ErrorScope {
 public:
  explicit ErrorScope(const char* method) noexcept;
  ~ErrorScope();
  ErrorScope(const ErrorScope&) = delete;
  ErrorScope& operator=(const ErrorScope&) = delete;

 private:
  const char* previous_;
};

// The member the innermost scope of this thread names; empty without one.
std::string_view CurrentMethod() noexcept;

// What every exception of the SDK reads: "<name> (0x<code>)", then
// ": <method>" when a scope is open, then ": <reason>" when there is one.
std::string DescribeError(int32_t hresult, std::string_view reason);

// Without a reason the exception gives its status in words ("out of memory").
::Orvik::Tilo::Tilo2::RuntimeException MakeException(ErrorNumber errorNumber);
::Orvik::Tilo::Tilo2::RuntimeException MakeException(ErrorNumber errorNumber,
                                                     std::string_view reason);
// A short phrase for an error number: "a value was refused", "out of memory", ...
std::string_view DescribeErrorNumber(ErrorNumber errorNumber) noexcept;

// e itself when its HRESULT is one the SDK raises (ErrParameter to ErrFailure),
// else MakeException(errorNumber).
::Orvik::Tilo::Tilo2::RuntimeException PassOrMapException(
    const ::Orvik::Tilo::Tilo2::RuntimeException& e, ErrorNumber errorNumber);

// Nothing for 0; any other device-API result throws the exception of its
// error number (ErrParameter for a result without a row). With a subject the
// reason reads "<subject>: <the status in words>".
void ThrowIfFailed(int32_t tdcResult);
void ThrowIfFailed(int32_t tdcResult, std::string_view subject);
// The error number of a device-API result (ErrParameter's for one without a row).
ErrorNumber ErrorNumberOf(int32_t tdcResult);

// The CallbackCode of a core completion code; throws ErrParameter for a code
// without a row.
::Orvik::Tilo::Tilo2::CallbackCode ToCallbackCode(int32_t tdcCallbackCode);

}  // namespace CommonUtils

}  // namespace tilo2::core
