#pragma once
// The frame of the runtime classes' public methods.
//
// A method's work runs inside RunApiCall: the entry line, a guarded region that
// catches only RuntimeException (writing the exit line with its HRESULT and
// throwing it on), and the exit line with 0. Synchronous methods run it on the
// caller's thread; ...Async methods run it as the body of a chain of pool steps
// that ends in an exception filter, so nothing is checked or logged on the
// app's thread and every failure reaches the app through the operation.
//
// Cancel() on the app's operation skips every step not yet started (the
// operation ends Canceled); a started step (a blocking core call) runs to its
// end and its outcome stands, so a connect that happened is never reported as
// cancelled. The filter itself always runs.

#include <atomic>
#include <exception>
#include <memory>
#include <type_traits>
#include <utility>

#include "component/api_log.h"
#include "component/bluetooth_pairing_check.h"
#include "component/result_codes.h"
#include "component/run_async.h"
#include "orvik/tilo2/async.h"
#include "orvik/tilo2/exceptions.h"
#include "orvik/tilo2/string.h"

namespace tilo2::core {

inline constexpr ErrorNumber kErrConnectNumber = 2;
inline constexpr ErrorNumber kErrFailureNumber = 16;

// IAsyncAction for void, else IAsyncOperation<T>.
template <class T>
using AsyncHandleOf = typename ::Orvik::Tilo::Tilo2::detail::HandleFor<T>::Type;

// The filter after every ordinary operation: cancellation passes, the SDK's own
// HRESULTs pass, a standard-library exception becomes ErrFailure and any other
// failure the filter's error number.
template <class T>
struct Tilo2ObserveException {
  ErrorNumber errorNumber = kErrFailureNumber;

  AsyncHandleOf<T> operator()(const AsyncHandleOf<T>& antecedent) const {
    try {
      antecedent.get();
    } catch (const ::Orvik::Tilo::Tilo2::OperationCanceledException&) {
      // Handed on below: the operation ends Canceled.
    } catch (const ::Orvik::Tilo::Tilo2::RuntimeException& e) {
      const auto passed = CommonUtils::PassOrMapException(e, errorNumber);
      if (passed.HResult() == e.HResult()) throw;  // the very exception, message and all
      throw passed;
    } catch (const std::exception&) {
      throw CommonUtils::MakeException(kErrFailureNumber);
    } catch (...) {
      throw CommonUtils::MakeException(errorNumber);
    }
    return antecedent;
  }
};

// The filter after a status query: the outcome passes unchanged, foreign
// HRESULTs included.
template <class T>
struct Tilo2ObserveStatusInfoException {
  AsyncHandleOf<T> operator()(const AsyncHandleOf<T>& antecedent) const {
    antecedent.wait();
    return antecedent;
  }
};

// The app's cancel request, seen by every step of one chain as it starts.
class ChainCancel {
 public:
  void Request() noexcept { requested_.store(true, std::memory_order_release); }
  bool Requested() const noexcept { return requested_.load(std::memory_order_acquire); }

 private:
  std::atomic<bool> requested_{false};
};

// The first step of a chain, on the pool; skipped when cancelled before it starts.
template <class Step>
auto FirstStep(const std::shared_ptr<ChainCancel>& cancel, Step step) {
  return RunAsync([cancel, step = std::move(step)]() mutable {
    if (cancel->Requested()) throw ::Orvik::Tilo::Tilo2::OperationCanceledException();
    return step();
  });
}

// A step after `antecedent`: step(antecedent) runs once the antecedent ended,
// however it ended; a step needing its success starts with antecedent.get().
// When cancelled before it starts the step is skipped, but a failure of the
// step before still stands.
template <class Antecedent, class Step>
auto NextStep(const std::shared_ptr<ChainCancel>& cancel, const Antecedent& antecedent, Step step) {
  return antecedent.then([cancel, step = std::move(step)](const Antecedent& before) mutable {
    if (cancel->Requested()) {
      before.get();
      throw ::Orvik::Tilo::Tilo2::OperationCanceledException();
    }
    return step(before);
  });
}

// The operation the app gets for a chain ending in `last`: it ends as `last`
// ends, and its Cancel() goes to the chain's steps rather than ending it at once.
template <class Handle>
Handle AppOperation(const std::shared_ptr<ChainCancel>& cancel, const Handle& last) {
  auto state = std::make_shared<typename Handle::State>();
  state->TryStart();
  state->ForwardCancelTo([cancel] { cancel->Request(); });
  auto lastState = ::Orvik::Tilo::Tilo2::detail::StateOf(last);
  lastState->OnFinished([state, lastState] { state->SetFrom(lastState); });
  return Handle(state);
}

// An ordinary ...Async method: body, then Tilo2ObserveException(ErrFailure).
// `body` returns the result (nothing for an action).
template <class Body>
auto StartOperation(Body body) {
  auto cancel = std::make_shared<ChainCancel>();
  auto first = FirstStep(cancel, std::move(body));
  using T = typename ::Orvik::Tilo::Tilo2::detail::StepResult<std::invoke_result_t<Body&>>::Type;
  return AppOperation(cancel, first.then(Tilo2ObserveException<T>{kErrFailureNumber}));
}

// A status query: body, then Tilo2ObserveStatusInfoException.
template <class Body>
auto StartStatusOperation(Body body) {
  auto cancel = std::make_shared<ChainCancel>();
  auto first = FirstStep(cancel, std::move(body));
  using T = typename ::Orvik::Tilo::Tilo2::detail::StepResult<std::invoke_result_t<Body&>>::Type;
  return AppOperation(cancel, first.then(Tilo2ObserveStatusInfoException<T>{}));
}

// The connect of a device that may be reached over Bluetooth: `check` (the
// argument checks), the pairing check of `target`, then `connect`, which is
// given the pairing step's operation and starts with its get(), so a failed
// check or pairing never reaches the core; then Tilo2ObserveException(ErrFailure).
template <class Check, class Connect>
::Orvik::Tilo::Tilo2::IAsyncAction StartConnectOperation(const ::Orvik::Tilo::Tilo2::String& target,
                                                         Check check, Connect connect) {
  using ::Orvik::Tilo::Tilo2::IAsyncAction;
  auto cancel = std::make_shared<ChainCancel>();
  auto checked = FirstStep(cancel, std::move(check));
  auto paired = NextStep(cancel, checked, [target](const IAsyncAction& before) {
    before.get();
    return CommonUtils::ConnectBtDeviceAsync(target);
  });
  auto connected = NextStep(cancel, paired, std::move(connect));
  return AppOperation(cancel, connected.then(Tilo2ObserveException<void>{kErrFailureNumber}));
}

// A method without arguments.
inline LogArguments NoLogArguments() { return {}; }

// Runs `work` between the entry and exit lines of `method`. `makeArgs` builds
// the argument list for each line (only when it will be written). A
// RuntimeException writes the exit line with its HRESULT and goes on to the
// caller unchanged; any other exception leaves without an exit line.
template <class MakeArgs, class Work>
auto RunApiCall(const void* handle, const char* method, const MakeArgs& makeArgs, Work&& work)
    -> std::invoke_result_t<Work&> {
  using R = std::invoke_result_t<Work&>;
  CommonUtils::LogApiInWith(kLogApiEntry, handle, method, makeArgs);
  auto guarded = [&]() -> R {
    try {
      return work();
    } catch (const ::Orvik::Tilo::Tilo2::RuntimeException& e) {
      CommonUtils::LogApiOutWith(handle, method, e.HResult(), makeArgs);
      throw;
    }
  };
  if constexpr (std::is_void_v<R>) {
    guarded();
    CommonUtils::LogApiOutWith(handle, method, 0, makeArgs);
  } else {
    R result = guarded();
    CommonUtils::LogApiOutWith(handle, method, 0, makeArgs);
    return result;
  }
}

// The same for a method whose successful exit line shows its result:
// makeResultArgs(result) builds that line's list.
template <class MakeArgs, class Work, class MakeResultArgs>
auto RunApiCall(const void* handle, const char* method, const MakeArgs& makeArgs, Work&& work,
                const MakeResultArgs& makeResultArgs) -> std::invoke_result_t<Work&> {
  using R = std::invoke_result_t<Work&>;
  static_assert(!std::is_void_v<R>, "a result list needs a result");
  CommonUtils::LogApiInWith(kLogApiEntry, handle, method, makeArgs);
  auto guarded = [&]() -> R {
    try {
      return work();
    } catch (const ::Orvik::Tilo::Tilo2::RuntimeException& e) {
      CommonUtils::LogApiOutWith(handle, method, e.HResult(), makeArgs);
      throw;
    }
  };
  R result = guarded();
  CommonUtils::LogApiOutWith(handle, method, 0, [&] { return makeResultArgs(result); });
  return result;
}

}  // namespace tilo2::core
