#pragma once
// What the CommonPrinter sources share: the log names, the argument checks and
// the frame of the asynchronous members. Private to src/printer/common_*.cpp.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "component/api_log.h"
#include "component/async_frame.h"
#include "component/result_codes.h"
#include "printer/common_printer.h"

namespace tilo2::core::common_printer {

// "Orvik::Tilo::Tilo2::Printer::CommonPrinter::" member, as one literal.
#define TILO2_COMMON_PRINTER_NAME(member) "Orvik::Tilo::Tilo2::Printer::CommonPrinter::" member

inline constexpr ErrorNumber kErrParameterNumber = 1;

// ErrParameter with its reason (the method comes from the open ErrorScope).
[[noreturn]] inline void ThrowParameter(std::string_view reason) {
  throw CommonUtils::MakeException(kErrParameterNumber, reason);
}

// The value read as unsigned is at most max (so every negative value fails).
inline void CheckUnsignedMax(int32_t value, uint32_t max, std::string_view name) {
  if (static_cast<uint32_t>(value) > max) {
    ThrowParameter(std::string(name) + " is " + std::to_string(value) + "; it takes 0.." +
                   std::to_string(max));
  }
}

// min..max, nothing else.
inline void CheckBetween(int32_t value, int32_t min, int32_t max, std::string_view name) {
  CommonUtils::CheckRange(value, min, max, true, true, name);
}

// A text argument the device layer carries as a C string: not empty, and no
// NUL inside (which would cut it silently). Answers nothing; throws ErrParameter.
inline void CheckText(const ::Orvik::Tilo::Tilo2::String& text, std::string_view name) {
  if (text.empty()) ThrowParameter(std::string(name) + " is empty");
  if (const size_t nul = text.u16().find(u'\0'); nul != std::u16string_view::npos) {
    ThrowParameter(std::string(name) + " holds a NUL at character " + std::to_string(nul) +
                   ", which would cut it there");
  }
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
  const CommonUtils::ErrorScope scope(method);
  RunApiCall(record, method, makeArgs, [&] {
    if (record == nullptr) {
      throw CommonUtils::MakeException(kErrFailureNumber, "the printer has been released");
    }
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
