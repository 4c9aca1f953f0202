#include "orvik/tilo2/exceptions.h"

#include <cstdio>
#include <utility>

#include "orvik/tilo2/error_status.h"

namespace Orvik::Tilo::Tilo2 {

namespace {

struct CodeName {
  int32_t code;
  const char* name;
};

constexpr CodeName kNames[] = {
    {ErrorStatus::ErrParameter, "ErrParameter"},
    {ErrorStatus::ErrConnect, "ErrConnect"},
    {ErrorStatus::ErrTimeout, "ErrTimeout"},
    {ErrorStatus::ErrMemory, "ErrMemory"},
    {ErrorStatus::ErrIllegalState, "ErrIllegalState"},
    {ErrorStatus::ErrProcessing, "ErrProcessing"},
    {ErrorStatus::ErrNotFound, "ErrNotFound"},
    {ErrorStatus::ErrInUse, "ErrInUse"},
    {ErrorStatus::ErrTypeInvalid, "ErrTypeInvalid"},
    {ErrorStatus::ErrDisconnect, "ErrDisconnect"},
    {ErrorStatus::ErrAlreadyOpened, "ErrAlreadyOpened"},
    {ErrorStatus::ErrAlreadyUsed, "ErrAlreadyUsed"},
    {ErrorStatus::ErrBoxCountOver, "ErrBoxCountOver"},
    {ErrorStatus::ErrBoxClientOver, "ErrBoxClientOver"},
    {ErrorStatus::ErrUnsupported, "ErrUnsupported"},
    {ErrorStatus::ErrFailure, "ErrFailure"},
    {ErrorStatus::ErrReserved, "ErrReserved"},
    {kSOk, "S_OK"},
    {kEFail, "E_FAIL"},
    {kEInvalidArg, "E_INVALIDARG"},
    {kENotImpl, "E_NOTIMPL"},
    {kEPointer, "E_POINTER"},
    {kEIllegalMethodCall, "E_ILLEGAL_METHOD_CALL"},
    {kEOutOfMemory, "E_OUTOFMEMORY"},
    {kECanceled, "ERROR_CANCELLED"},
};

constexpr char kUnknown[] = "Unknown";

// "<name> (0x<code>)", or "runtime error 0x<code>" for a code without a name.
std::string DefaultMessage(int32_t hresult) {
  const char* name = ErrorStatus::ToString(hresult);
  char text[64];
  if (name == kUnknown) {
    std::snprintf(text, sizeof text, "runtime error 0x%08X", static_cast<uint32_t>(hresult));
  } else {
    std::snprintf(text, sizeof text, "%s (0x%08X)", name, static_cast<uint32_t>(hresult));
  }
  return text;
}

}  // namespace

const char* ErrorStatus::ToString(int32_t hresult) noexcept {
  for (const CodeName& entry : kNames) {
    if (entry.code == hresult) return entry.name;
  }
  return kUnknown;
}

RuntimeException::RuntimeException(int32_t hresult, std::string message)
    : hresult_(hresult), message_(message.empty() ? DefaultMessage(hresult) : std::move(message)) {}

// Out of line so the class's vtable and type information live in the library
// and an exception thrown there is caught by type in an app.
RuntimeException::~RuntimeException() = default;

const char* RuntimeException::what() const noexcept { return message_.c_str(); }

OperationCanceledException::OperationCanceledException()
    : RuntimeException(kECanceled, "the operation was canceled") {}

OperationCanceledException::~OperationCanceledException() = default;

}  // namespace Orvik::Tilo::Tilo2
