#pragma once
// Starts an operation from a body run on the thread pool: what the runtime
// classes use to implement their ...Async methods.

#include <utility>

#include "orvik/tilo2/async.h"

namespace tilo2::core {

// `body` returns a value (IAsyncOperation<T>), nothing (IAsyncAction) or an
// operation, whose outcome becomes the returned one's. An exception leaving the
// body is the operation's error.
template <class F>
auto RunAsync(F body) {
  return ::Orvik::Tilo::Tilo2::detail::StartOnPool(std::move(body));
}

}  // namespace tilo2::core
