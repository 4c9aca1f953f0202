// CommonPrinter: the status monitor switch and its interval, transactions and
// the forced operations.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "component/api_log.h"
#include "component/async_frame.h"
#include "component/env_data.h"
#include "component/result_codes.h"
#include "device/printer_operations.h"
#include "printer/common_frame.h"
#include "printer/common_printer.h"

namespace tilo2::core {

using namespace common_printer;
namespace P = ::Orvik::Tilo::Tilo2::Printer;
using ::Orvik::Tilo::Tilo2::IAsyncAction;

namespace {

constexpr int32_t kMaxForceTimeout = 600000;

// -2 (the operation's default) or 0..600000 ms.
void CheckForceTimeout(int32_t timeout) {
  if (timeout != -2 && static_cast<uint32_t>(timeout) > static_cast<uint32_t>(kMaxForceTimeout)) {
    ThrowParameter("timeout is " + std::to_string(timeout) + "; it takes 0..600000 or -2");
  }
}

// One device API call that reaches the backend, with a fresh environment record.
template <class Call>
void CallWithEnv(const Call& call) {
  const auto env = CommonUtils::CreateEnvData();
  CommonUtils::ThrowIfFailed(call(env.get()));
}

}  // namespace

void CommonPrinter::StartMonitor() {
  TdcPrinter_t* record = Record();
  const CommonUtils::ErrorScope scope("StartMonitor");
  RunApiCall(record, TILO2_COMMON_PRINTER_NAME("StartMonitor"), NoLogArguments, [&] {
    TdcPrinter_t& r = EnsureHandle();
    // On a direct connection the current status is reported on this thread
    // before the call returns.
    CallWithEnv([&](TdcEnvData_t* env) { return TdcStartMonitor(env, &r); });
  });
}

void CommonPrinter::StopMonitor() {
  TdcPrinter_t* record = Record();
  const CommonUtils::ErrorScope scope("StopMonitor");
  RunApiCall(record, TILO2_COMMON_PRINTER_NAME("StopMonitor"), NoLogArguments, [&] {
    TdcPrinter_t& r = EnsureHandle();
    CallWithEnv([&](TdcEnvData_t* env) { return TdcStopMonitor(env, &r); });
  });
}

// The frame of the asynchronous members: on a pool thread, the entry line,
// the owner and record checks, work(record), the exit line; then the filter.
// The operation holds this object and the owner until it ends.
#define TILO2_START_OPERATION(member, makeArgs, work)                                         \
  StartHeldOperation(KeepAlive(), [keep = KeepAlive(), makeArgs, work]() {                    \
    const CommonPrinter& self = *keep.self;                                                   \
    TdcPrinter_t* record = self.Record();                                                     \
    const CommonUtils::ErrorScope scope(member);                                              \
    RunApiCall(record, TILO2_COMMON_PRINTER_NAME(member), makeArgs, [&] {                     \
      if (keep.ownerLost) {                                                                   \
        throw CommonUtils::MakeException(kErrFailureNumber, "the printer has been released"); \
      }                                                                                       \
      work(self.EnsureHandle());                                                              \
    });                                                                                       \
  })

IAsyncAction CommonPrinter::BeginTransactionAsync() {
  auto makeArgs = NoLogArguments;
  auto work = [](TdcPrinter_t& r) {
    CallWithEnv([&](TdcEnvData_t* env) { return TdcBeginTransaction(env, &r); });
  };
  return TILO2_START_OPERATION("BeginTransactionAsync", makeArgs, work);
}

IAsyncAction CommonPrinter::EndTransactionAsync() {
  auto makeArgs = NoLogArguments;
  auto work = [](TdcPrinter_t& r) {
    // On a direct connection this waits for the engine's end-of-transaction steps.
    CallWithEnv([&](TdcEnvData_t* env) { return TdcEndTransaction(env, &r); });
  };
  return TILO2_START_OPERATION("EndTransactionAsync", makeArgs, work);
}

IAsyncAction CommonPrinter::ForceRecoverAsync(int32_t timeout) {
  auto makeArgs = [timeout] { return Args(timeout); };
  auto work = [timeout](TdcPrinter_t& r) {
    CheckForceTimeout(timeout);
    CallWithEnv([&](TdcEnvData_t* env) { return TdcForceRecover(env, &r, timeout); });
  };
  return TILO2_START_OPERATION("ForceRecoverAsync", makeArgs, work);
}

IAsyncAction CommonPrinter::ForcePulseAsync(P::Drawer drawer, P::Pulse time, int32_t timeout) {
  auto makeArgs = [drawer, time, timeout] { return Args(drawer, time, timeout); };
  auto work = [drawer, time, timeout](TdcPrinter_t& r) {
    const int32_t coreDrawer = ToCore(drawer);
    const int32_t corePulse = ToCore(time);
    CheckForceTimeout(timeout);
    CallWithEnv(
        [&](TdcEnvData_t* env) { return TdcForcePulse(env, &r, coreDrawer, corePulse, timeout); });
  };
  return TILO2_START_OPERATION("ForcePulseAsync", makeArgs, work);
}

IAsyncAction CommonPrinter::ForceResetAsync(int32_t timeout) {
  auto makeArgs = [timeout] { return Args(timeout); };
  auto work = [timeout](TdcPrinter_t& r) {
    CheckForceTimeout(timeout);
    CallWithEnv([&](TdcEnvData_t* env) { return TdcForceReset(env, &r, timeout); });
  };
  return TILO2_START_OPERATION("ForceResetAsync", makeArgs, work);
}

#undef TILO2_START_OPERATION

int32_t CommonPrinter::Interval() const noexcept {
  return interval_.load(std::memory_order_acquire);
}

void CommonPrinter::Interval(int32_t interval) {
  TdcPrinter_t* record = Record();
  const CommonUtils::ErrorScope scope("Interval");
  RunApiCall(
      record, TILO2_COMMON_PRINTER_NAME("Interval::set"), [&] { return Args(interval); },
      [&] {
        TdcPrinter_t& r = EnsureHandle();
        CommonUtils::CheckRange(interval, 1000, 60000, true, false, "interval");
        // Whether the backend took it or not: the owner hands the value again
        // after the next connect.
        (void)TdcSetInterval(&r, interval);
        interval_.store(interval, std::memory_order_release);
      });
}

}  // namespace tilo2::core
