#pragma once
// What the CommonPrinter sources share: the log names, the argument checks and
// the frame of the asynchronous members. Private to src/printer/common_*.cpp.

#include <cstdint>
#include <memory>
#include <utility>

#include "component/api_log.h"
#include "component/async_frame.h"
#include "component/result_codes.h"
#include "printer/common_printer.h"

namespace tilo2::core::common_printer {

// "Orvik::Tilo::Tilo2::Printer::CommonPrinter::" member, as one literal.
#define TILO2_COMMON_PRINTER_NAME(member) "Orvik::Tilo::Tilo2::Printer::CommonPrinter::" member

inline constexpr ErrorNumber kErrParameterNumber = 1;

[[noreturn]] inline void ThrowParameter() { throw CommonUtils::MakeException(kErrParameterNumber); }

// The value read as unsigned is at most max (so every negative value fails).
inline void CheckUnsignedMax(int32_t value, uint32_t max) {
  if (static_cast<uint32_t>(value) > max) ThrowParameter();
}

// min..max, nothing else.
inline void CheckBetween(int32_t value, int32_t min, int32_t max) {
  CommonUtils::CheckRange(value, min, max, true, true);
}

template <class E>
LogArgument Arg(E value) {
  if constexpr (std::is_enum_v<E>) {
    return EnumArgument(value);
  } else if constexpr (std::is_integral_v<E>) {
    return static_cast<int64_t>(value);
  } else {
    return LogArgument(value);
  }
}

// The argument list of a method, in order.
template <class... A>
LogArguments Args(const A&... a) {
  return LogArguments{Arg(a)...};
}

// The frame of a builder: entry line; the record check (null: ErrFailure);
// work(record), which tests and translates the arguments and answers the device
// API's result, nonzero becoming its ErrorStatus; exit line. A failure writes
// the exit line with its HRESULT and reaches the caller.
template <class MakeArgs, class Work>
void BuildCommand(TdcPrinter_t* record, const char* method, const MakeArgs& makeArgs, Work&& work) {
  RunApiCall(record, method, makeArgs, [&] {
    if (record == nullptr) throw CommonUtils::MakeException(kErrFailureNumber);
    CommonUtils::ThrowIfFailed(work(*record));
  });
}

// An ordinary asynchronous member: body, then the filter, which also holds
// `keep` (the CommonPrinter and its owner) so that they are let go only once
// the app's operation has ended.
template <class Keep, class Body>
::Orvik::Tilo::Tilo2::IAsyncAction StartHeldOperation(Keep keep, Body body) {
  using ::Orvik::Tilo::Tilo2::IAsyncAction;
  auto cancel = std::make_shared<ChainCancel>();
  auto first = FirstStep(cancel, std::move(body));
  auto filtered = first.then([keep = std::move(keep)](const IAsyncAction& antecedent) {
    return Tilo2ObserveException<void>{kErrFailureNumber}(antecedent);
  });
  return AppOperation(cancel, filtered);
}

}  // namespace tilo2::core::common_printer
