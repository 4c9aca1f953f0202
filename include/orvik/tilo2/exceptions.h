#pragma once
// Errors of the runtime classes. Every error carries an HRESULT; the standard
// codes are the k-constants below (kEFail is the conventional E_FAIL, and so on).
// Threads, handlers and what a handler may call: docs/threading.md.

#include <cstdint>
#include <exception>
#include <string>

#include "orvik/tilo2/export.h"

namespace Orvik::Tilo::Tilo2 {

inline constexpr int32_t kSOk = 0;
// E_FAIL: unspecified failure; also what any exception other than a
// RuntimeException (std::bad_alloc included) reports as its code.
inline constexpr int32_t kEFail = static_cast<int32_t>(0x80004005u);
// E_INVALIDARG
inline constexpr int32_t kEInvalidArg = static_cast<int32_t>(0x80070057u);
// E_NOTIMPL
inline constexpr int32_t kENotImpl = static_cast<int32_t>(0x80004001u);
// E_POINTER: a required handler or object was null.
inline constexpr int32_t kEPointer = static_cast<int32_t>(0x80004003u);
// E_ILLEGAL_METHOD_CALL: the call is not allowed in the object's state.
inline constexpr int32_t kEIllegalMethodCall = static_cast<int32_t>(0x8000000Eu);
// E_OUTOFMEMORY
inline constexpr int32_t kEOutOfMemory = static_cast<int32_t>(0x8007000Eu);
// ERROR_CANCELLED as an HRESULT: the code of OperationCanceledException.
inline constexpr int32_t kECanceled = static_cast<int32_t>(0x800704C7u);

class TILO2_EXPORT RuntimeException : public std::exception {
 public:
  explicit RuntimeException(int32_t hresult, std::string message = {});
  ~RuntimeException() override;
  RuntimeException(const RuntimeException&) = default;
  RuntimeException& operator=(const RuntimeException&) = default;

  int32_t HResult() const noexcept { return hresult_; }
  // The message, UTF-8. Without one: "<name> (0x<code>)" for a code that
  // ErrorStatus::ToString names, else "runtime error 0x<code>".
  const char* what() const noexcept override;

 private:
  int32_t hresult_;
  std::string message_;
};

// A cancelled task: what get() of a cancelled operation throws. Its code is kECanceled.
class TILO2_EXPORT OperationCanceledException : public RuntimeException {
 public:
  OperationCanceledException();
  ~OperationCanceledException() override;
  OperationCanceledException(const OperationCanceledException&) = default;
  OperationCanceledException& operator=(const OperationCanceledException&) = default;
};

}  // namespace Orvik::Tilo::Tilo2
