#include "orvik/tilo2/exceptions.h"

#include <cstdio>
#include <utility>

namespace Orvik::Tilo::Tilo2 {

namespace {

std::string DefaultMessage(int32_t hresult) {
  char text[48];
  std::snprintf(text, sizeof text, "runtime error 0x%08X", static_cast<uint32_t>(hresult));
  return text;
}

}  // namespace

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
