#pragma once
// The HRESULTs the runtime classes raise, for apps to compare with
// RuntimeException::HResult(). Static only: the class has no instances.
//
// Every RuntimeException the SDK raises reads
//   "<name> (0x<code>): <method>: <reason>"
// for example "ErrParameter (0xA0048200): AddBarcode: EAN13 takes 12 or 13
// digits"; ToString gives the name alone.
// Threads, handlers and what a handler may call: docs/threading.md.

#include <cstdint>

#include "orvik/tilo2/export.h"

namespace Orvik::Tilo::Tilo2 {

class TILO2_EXPORT ErrorStatus {
 public:
  ErrorStatus() = delete;

  // The name of a code: "ErrParameter" to "ErrReserved" for the values below,
  // "E_FAIL", "E_INVALIDARG", "E_NOTIMPL", "E_POINTER", "E_ILLEGAL_METHOD_CALL",
  // "E_OUTOFMEMORY", "ERROR_CANCELLED" and "S_OK" for the standard ones
  // (exceptions.h); "Unknown" for any other code. Never null.
  static const char* ToString(int32_t hresult) noexcept;

  static constexpr int32_t ErrParameter = static_cast<int32_t>(0xA0048200u);
  static constexpr int32_t ErrConnect = static_cast<int32_t>(0xA0048201u);
  static constexpr int32_t ErrTimeout = static_cast<int32_t>(0xA0048202u);
  static constexpr int32_t ErrMemory = static_cast<int32_t>(0xA0048203u);
  static constexpr int32_t ErrIllegalState = static_cast<int32_t>(0xA0048204u);
  static constexpr int32_t ErrProcessing = static_cast<int32_t>(0xA0048205u);
  static constexpr int32_t ErrNotFound = static_cast<int32_t>(0xA0048206u);
  static constexpr int32_t ErrInUse = static_cast<int32_t>(0xA0048207u);
  static constexpr int32_t ErrTypeInvalid = static_cast<int32_t>(0xA0048208u);
  static constexpr int32_t ErrDisconnect = static_cast<int32_t>(0xA0048209u);
  static constexpr int32_t ErrAlreadyOpened = static_cast<int32_t>(0xA004820Au);
  static constexpr int32_t ErrAlreadyUsed = static_cast<int32_t>(0xA004820Bu);
  static constexpr int32_t ErrBoxCountOver = static_cast<int32_t>(0xA004820Cu);
  static constexpr int32_t ErrBoxClientOver = static_cast<int32_t>(0xA004820Du);
  static constexpr int32_t ErrUnsupported = static_cast<int32_t>(0xA004820Eu);
  static constexpr int32_t ErrFailure = static_cast<int32_t>(0xA004820Fu);
  // Defined for completeness; nothing raises it.
  static constexpr int32_t ErrReserved = static_cast<int32_t>(0xA0048210u);
};

}  // namespace Orvik::Tilo::Tilo2
