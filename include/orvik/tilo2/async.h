#pragma once
// Asynchronous actions and operations of the runtime classes.
//
// IAsyncAction and IAsyncOperation<T> are copyable handles over one shared
// state; the state lives as long as a handle or the running work holds it.
//
// then(f) attaches a continuation that runs on the thread pool once the
// antecedent has finished, however it finished: f receives the antecedent's
// handle and returns a value, nothing, or another operation (whose outcome
// becomes the continuation's). A step that needs its antecedent's success starts
// with antecedent.get(), so failures and cancellation flow down the chain.
//
// Cancel() before the current step has started skips it: the operation ends
// Canceled at once and get() throws OperationCanceledException. A step already
// running is not interrupted and its outcome stands; when that step returned an
// operation, the cancel request is passed on to it.
//
// ErrorCode() is the HRESULT of the stored exception: a RuntimeException's own
// code, kECanceled for a cancelled operation, kEFail for any other exception
// (std::bad_alloc included), kSOk when the operation completed.

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "orvik/tilo2/exceptions.h"
#include "orvik/tilo2/export.h"
#include "orvik/tilo2/module.h"

namespace Orvik::Tilo::Tilo2 {

enum class AsyncStatus : int32_t { Started = 0, Completed = 1, Canceled = 2, Error = 3 };

class IAsyncAction;
template <class T>
class IAsyncOperation;

using AsyncActionCompletedHandler = std::function<void(const IAsyncAction&, AsyncStatus)>;
template <class T>
using AsyncOperationCompletedHandler = std::function<void(const IAsyncOperation<T>&, AsyncStatus)>;

namespace detail {

// Runs `work` on the library's thread pool.
TILO2_EXPORT void ScheduleOnPool(std::function<void()> work);

inline int32_t HResultOf(const std::exception_ptr& error) noexcept {
  if (!error) return kSOk;
  try {
    std::rethrow_exception(error);
  } catch (const RuntimeException& e) {
    return e.HResult();
  } catch (...) {
    return kEFail;
  }
}

inline bool IsCancellation(const std::exception_ptr& error) noexcept {
  try {
    std::rethrow_exception(error);
  } catch (const OperationCanceledException&) {
    return true;
  } catch (...) {
    return false;
  }
}

template <class T>
class AsyncState : public std::enable_shared_from_this<AsyncState<T>> {
 public:
  using Value = std::conditional_t<std::is_void_v<T>, std::monostate, T>;
  using Handler = std::function<void(const std::shared_ptr<AsyncState>&, AsyncStatus)>;

  // Claims the state for its step; false when the step must not run (cancelled).
  bool TryStart() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (status_ != AsyncStatus::Started || started_) return false;
    started_ = true;
    return true;
  }

  void SetValue(Value value) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (status_ != AsyncStatus::Started) return;
    value_.emplace(std::move(value));
    Finish(lock, AsyncStatus::Completed);
  }

  void SetError(std::exception_ptr error) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (status_ != AsyncStatus::Started) return;
    error_ = std::move(error);
    errorCode_ = HResultOf(error_);
    Finish(lock, IsCancellation(error_) ? AsyncStatus::Canceled : AsyncStatus::Error);
  }

  // Takes over the outcome of `inner`, the operation a step returned.
  void SetFrom(const std::shared_ptr<AsyncState>& inner) {
    std::unique_lock<std::mutex> innerLock(inner->mutex_);
    // The value is copied only once it is known to be there: copying an empty
    // optional of a non-trivial type makes optimisers warn about its payload.
    if (inner->status_ == AsyncStatus::Completed && inner->value_) {
      Value value = *inner->value_;
      innerLock.unlock();
      SetValue(std::move(value));
      return;
    }
    std::exception_ptr error = inner->error_;
    innerLock.unlock();
    SetError(error);
  }

  void Cancel() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (status_ != AsyncStatus::Started) return;
    if (!started_) {
      error_ = std::make_exception_ptr(OperationCanceledException());
      errorCode_ = kECanceled;
      Finish(lock, AsyncStatus::Canceled);
      return;
    }
    std::function<void()> forward = cancelInner_;
    lock.unlock();
    if (forward) forward();
  }

  // Where a running step's cancel request goes: the operation the step returned.
  void ForwardCancelTo(std::function<void()> cancelInner) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (status_ != AsyncStatus::Started) return;
    cancelInner_ = std::move(cancelInner);
  }

  void SetCompleted(Handler handler) {
    if (!handler) throw RuntimeException(kEPointer, "completion handler is empty");
    std::unique_lock<std::mutex> lock(mutex_);
    if (handlerSet_) {
      throw RuntimeException(kEIllegalMethodCall, "the completion handler is already set");
    }
    handlerSet_ = true;
    if (status_ == AsyncStatus::Started) {
      handler_ = std::move(handler);
      return;
    }
    const AsyncStatus status = status_;
    lock.unlock();
    Call(handler, status);
  }

  // Internal continuations (then, unwrapping); called once the state finished.
  void OnFinished(std::function<void()> continuation) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (status_ == AsyncStatus::Started) {
      continuations_.push_back(std::move(continuation));
      return;
    }
    lock.unlock();
    continuation();
  }

  void Wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return status_ != AsyncStatus::Started; });
  }

  Value Get() {
    std::unique_lock<std::mutex> lock(mutex_);
    done_.wait(lock, [&] { return status_ != AsyncStatus::Started; });
    if (status_ != AsyncStatus::Completed) std::rethrow_exception(error_);
    return *value_;
  }

  AsyncStatus Status() {
    std::lock_guard<std::mutex> lock(mutex_);
    return status_;
  }

  int32_t ErrorCode() {
    std::lock_guard<std::mutex> lock(mutex_);
    return errorCode_;
  }

 private:
  void Finish(std::unique_lock<std::mutex>& lock, AsyncStatus status) {
    status_ = status;
    Handler handler = std::move(handler_);
    handler_ = nullptr;
    std::vector<std::function<void()>> continuations = std::move(continuations_);
    continuations_.clear();
    cancelInner_ = nullptr;
    done_.notify_all();
    lock.unlock();
    if (handler) Call(handler, status);
    for (auto& continuation : continuations) continuation();
  }

  void Call(const Handler& handler, AsyncStatus status) {
    // A throwing handler must not unwind the completing thread (often a pool
    // worker) nor keep the continuations from running.
    try {
      handler(this->shared_from_this(), status);
    } catch (...) {
    }
  }

  std::mutex mutex_;
  std::condition_variable done_;
  AsyncStatus status_ = AsyncStatus::Started;
  bool started_ = false;
  bool handlerSet_ = false;
  std::optional<Value> value_;
  std::exception_ptr error_;
  int32_t errorCode_ = kSOk;
  Handler handler_;
  std::vector<std::function<void()>> continuations_;
  std::function<void()> cancelInner_;
  // An operation alive keeps the library in use.
  ModuleReference module_;
};

template <class T>
struct HandleFor {
  using Type = IAsyncOperation<T>;
};
template <>
struct HandleFor<void> {
  using Type = IAsyncAction;
};

// What a step returning R completes with: an operation's own result type when R
// is an operation (unwrapped), otherwise R itself.
template <class R>
struct StepResult {
  using Type = R;
  static constexpr bool kUnwraps = false;
};
template <class U>
struct StepResult<IAsyncOperation<U>> {
  using Type = U;
  static constexpr bool kUnwraps = true;
};
template <>
struct StepResult<IAsyncAction> {
  using Type = void;
  static constexpr bool kUnwraps = true;
};

template <class Handle>
std::shared_ptr<typename Handle::State> StateOf(const Handle& handle) {
  return handle.state_;
}

// Runs one step into `state`, unless the state was cancelled before it started.
template <class F>
void RunStep(
    const std::shared_ptr<AsyncState<typename StepResult<std::invoke_result_t<F&>>::Type>>& state,
    F& step) {
  using R = std::invoke_result_t<F&>;
  if (!state->TryStart()) return;
  try {
    if constexpr (StepResult<R>::kUnwraps) {
      R inner = step();
      auto innerState = StateOf(inner);
      if (!innerState) throw RuntimeException(kEPointer, "a step returned an empty operation");
      std::weak_ptr<std::remove_reference_t<decltype(*innerState)>> weakInner = innerState;
      state->ForwardCancelTo([weakInner] {
        if (auto s = weakInner.lock()) s->Cancel();
      });
      innerState->OnFinished([state, innerState] { state->SetFrom(innerState); });
    } else if constexpr (std::is_void_v<R>) {
      step();
      state->SetValue(std::monostate{});
    } else {
      state->SetValue(step());
    }
  } catch (...) {
    state->SetError(std::current_exception());
  }
}

// Starts `step` on the pool and returns the handle of its operation.
template <class F>
auto StartOnPool(F step) {
  using Result = typename StepResult<std::invoke_result_t<F&>>::Type;
  auto state = std::make_shared<AsyncState<Result>>();
  ScheduleOnPool([state, step = std::move(step)]() mutable { RunStep(state, step); });
  return typename HandleFor<Result>::Type(state);
}

// The members both handle types share; Derived is the handle, T its result.
template <class Derived, class T>
class AsyncHandle {
 public:
  using State = AsyncState<T>;

  // Waits for the end; returns the result or throws the stored exception.
  auto get() const {
    if constexpr (std::is_void_v<T>) {
      Checked()->Get();
    } else {
      return Checked()->Get();
    }
  }
  void wait() const { Checked()->Wait(); }
  AsyncStatus Status() const { return Checked()->Status(); }
  int32_t ErrorCode() const { return Checked()->ErrorCode(); }
  void Cancel() const { Checked()->Cancel(); }

  // Attaches the one completion handler: called once, on the completing thread,
  // or at once on this thread when the operation already finished. A second call
  // throws RuntimeException(kEIllegalMethodCall); exceptions from the handler
  // are swallowed.
  template <class H>
  void Completed(H handler) const {
    std::function<void(const Derived&, AsyncStatus)> h(std::move(handler));
    if (!h) throw RuntimeException(kEPointer, "completion handler is empty");
    Checked()->SetCompleted(
        [h = std::move(h)](const std::shared_ptr<State>& s, AsyncStatus st) { h(Derived(s), st); });
  }

  template <class F>
  auto then(F continuation) const {
    using Result = typename StepResult<std::invoke_result_t<F&, const Derived&>>::Type;
    auto next = std::make_shared<AsyncState<Result>>();
    // Weak: the antecedent keeps this continuation, which must not keep it alive in turn.
    std::weak_ptr<State> weak = Checked();
    Checked()->OnFinished([next, weak, continuation = std::move(continuation)]() mutable {
      auto step = [antecedent = Derived(weak.lock()),
                   continuation = std::move(continuation)]() mutable {
        return continuation(antecedent);
      };
      try {
        ScheduleOnPool([next, step = std::move(step)]() mutable { RunStep(next, step); });
      } catch (...) {
        next->SetError(std::current_exception());
      }
    });
    return typename HandleFor<Result>::Type(next);
  }

  explicit operator bool() const noexcept { return state_ != nullptr; }
  friend bool operator==(const AsyncHandle& a, const AsyncHandle& b) noexcept {
    return a.state_ == b.state_;
  }

 protected:
  AsyncHandle() = default;
  explicit AsyncHandle(std::shared_ptr<State> state) : state_(std::move(state)) {}

 private:
  template <class Handle>
  friend std::shared_ptr<typename Handle::State> StateOf(const Handle& handle);

  const std::shared_ptr<State>& Checked() const {
    if (!state_) throw RuntimeException(kEPointer, "empty asynchronous handle");
    return state_;
  }

  std::shared_ptr<State> state_;
};

}  // namespace detail

// An operation's work and continuations run on the library's thread pool;
// which waits a handler may make: docs/threading.md.
class IAsyncAction : public detail::AsyncHandle<IAsyncAction, void> {
 public:
  IAsyncAction() = default;
  explicit IAsyncAction(std::shared_ptr<State> state) : AsyncHandle(std::move(state)) {}
};

// As IAsyncAction, with a result (docs/threading.md).
template <class T>
class IAsyncOperation : public detail::AsyncHandle<IAsyncOperation<T>, T> {
  using Base = detail::AsyncHandle<IAsyncOperation<T>, T>;

 public:
  IAsyncOperation() = default;
  explicit IAsyncOperation(std::shared_ptr<typename Base::State> state) : Base(std::move(state)) {}
};

}  // namespace Orvik::Tilo::Tilo2
