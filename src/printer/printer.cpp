// The Printer: construction and teardown of its device record, connection,
// jobs, status queries, the forwarders to the CommonPrinter, and its
// activation factory.

#include "orvik/tilo2/printer/printer.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "component/activation.h"
#include "component/api_log.h"
#include "component/async_frame.h"
#include "component/env_data.h"
#include "component/result_codes.h"
#include "component/thread_pool.h"
#include "component/utf8_buffer.h"
#include "device/command_list.h"
#include "device/printer_module.h"
#include "device/printer_operations.h"
#include "device/printer_send.h"
#include "device/target.h"
#include "printer/common_frame.h"
#include "printer/printer_internal.h"

namespace tilo2::core {

namespace {

namespace api = ::Orvik::Tilo::Tilo2;
namespace prn = ::Orvik::Tilo::Tilo2::Printer;

constexpr char kConnectCheckName[] = TILO2_PRINTER_NAME("ConnectAsync::Check");
constexpr char kConnectName[] = TILO2_PRINTER_NAME("ConnectAsync::Connect");
constexpr char kDisconnectName[] = TILO2_PRINTER_NAME("DisconnectAsync::Body");
constexpr char kGetStatusName[] = TILO2_PRINTER_NAME("GetStatusAsync::Body");
constexpr char kSendDataName[] = TILO2_PRINTER_NAME("SendDataAsync::Body");
constexpr char kRequestPrintJobStatusName[] =
    TILO2_PRINTER_NAME("RequestPrintJobStatusAsync::Body");

// The device API's series (0 to 18) and model languages (0 to 6).
constexpr int32_t kLastSeries = 18;
constexpr int32_t kLastModelLang = 6;

// Connect timeouts: 1000 to 300000 ms, -2 the default.
void CheckConnectTimeout(int32_t timeout) {
  CommonUtils::CheckRange(timeout, 1000, 300000, true, false, "timeout");
}

// A target the app may hand on: not empty, no NUL (the device layer would
// connect to its prefix), and of the form <kind>:<address>[<id>].
void CheckTarget(const api::String& target) {
  if (target.empty()) throw CommonUtils::MakeException(kPrinterErrParameter, "target is empty");
  if (const size_t nul = target.u16().find(u'\0'); nul != std::u16string_view::npos) {
    throw CommonUtils::MakeException(
        kPrinterErrParameter,
        "target holds a NUL at character " + std::to_string(nul) + ", which would cut it there");
  }
  std::string reason;
  if (TdcCheckTargetForm(target.utf8().c_str(), &reason) != 0) {
    throw CommonUtils::MakeException(kPrinterErrParameter, reason);
  }
}

// Why a connect to `target` failed, in the app's words.
std::string ConnectFailure(ErrorNumber number, const std::string& target, int32_t timeout) {
  const std::string within =
      timeout == -2 ? "within the default time" : "within " + std::to_string(timeout) + " ms";
  switch (number) {
    case 1:
      return "the device layer refused target \"" + target + "\"";
    case 2:
      return "no printer answered at " + target + " " + within;
    case 3:
      return "the printer at " + target + " did not answer " + within;
    case 8:
      return target + " is in use by another connection";
    case 9:
      return "this printer's series cannot be driven through " + target;
    case 11:
      return "already connected; disconnect before connecting to " + target;
    default:
      return std::string(CommonUtils::DescribeErrorNumber(number)) + " (target " + target + ")";
  }
}

void ConnectionCallback(void* record, int32_t event, void* userData) noexcept {
  PrinterFrame::OnConnectionEvent(static_cast<TdcPrinter_t*>(record), event, userData);
}

// The status record of TdcGetPrinterStatus, freed with free().
struct FreeStatus {
  void operator()(TdcStatus_t* status) const noexcept { std::free(status); }
};

constexpr int kCallerOwnThread = 1;
constexpr int kCallerServiceCallback = 2;

// Where a call on the record is made (TdcPrinterCallerThread): 0 a thread
// that may wait for the printer, else kCallerOwnThread or
// kCallerServiceCallback.
int CallerThread(TdcPrinter_t* record) { return TdcPrinterCallerThread(record, InCoreCallback()); }

api::String Labelled(const char* label, std::string_view member) {
  std::string text(label);
  text.append(member);
  return api::String(text);
}

// GetStatusAsync's exit line: the core record's order, paper feed before panel switch.
LogArguments StatusLogArguments(const prn::PrinterStatusInfo& s) {
  return LogArguments{Labelled("connection->", EnumText(s.Connection())),
                      Labelled("online->", EnumText(s.Online())),
                      Labelled("coverOpen->", EnumText(s.CoverOpen())),
                      Labelled("paper->", EnumText(s.Paper())),
                      Labelled("paperFeed->", EnumText(s.PaperFeed())),
                      Labelled("panelSwitch->", EnumText(s.PanelSwitch())),
                      Labelled("waitOnline->", EnumText(s.WaitOnline())),
                      Labelled("drawer->", EnumText(s.Drawer())),
                      Labelled("errorStatus->", EnumText(s.ErrorStatus())),
                      Labelled("autoRecoverError->", EnumText(s.AutoRecoverError())),
                      Labelled("buzzer->", EnumText(s.Buzzer())),
                      Labelled("adapter->", EnumText(s.Adapter())),
                      Labelled("batteryLevel->", EnumText(s.BatteryLevel()))};
}

class PrinterFactory final : public ActivationFactory, public prn::IPrinterFactory {
 public:
  int32_t CreateInstance(prn::Series series, prn::ModelLang lang,
                         std::shared_ptr<prn::Printer>* instance) noexcept override {
    if (instance == nullptr) return api::kEPointer;
    instance->reset();
    try {
      *instance = prn::Printer::Create(series, lang);
      return api::kSOk;
    } catch (const api::RuntimeException& e) {
      return e.HResult();
    } catch (const std::bad_alloc&) {
      return api::kEOutOfMemory;
    } catch (...) {
      return api::kEFail;
    }
  }

 private:
  ~PrinterFactory() override = default;
};

}  // namespace

void PrinterKind::RegisterRecord(TdcPrinter_t* record) { TdcRegisterPrinter(record); }

void PrinterKind::StoreCallbacks(TdcPrinter_t& record, void* userData) {
  record.statusCallback = &PrinterOnStatusChangeEvent;
  record.statusUser = userData;
  record.receiveCallback = &PrinterOnReceiveEvent;
  record.receiveUser = userData;
  record.connectionCallback = &ConnectionCallback;
  record.connectionUser = userData;
}

void PrinterKind::DestroyRecord(TdcPrinter_t* record) noexcept { TdcDestroyPrinter(record); }

namespace {

// How long a teardown keeps retrying the disconnect of a connection whose jobs
// are still out: past the longest job wait (600000 ms) with room to spare.
constexpr auto kJobDrainLimit = std::chrono::minutes(15);
// A refusal with no job left (requests still queued) is tried again after the
// next change of the job list, or after this long at most.
constexpr int32_t kQueuedRequestWaitMs = 100;

void FreeRecord(TdcPrinter_t* record) noexcept {
  TdcClearPrinterCommands(&record->commands.commandList);
  TdcDestroyPrinter(record);
}

// Disconnects once the connection's jobs have ended, then frees the record.
// The object is gone already: the jobs' results reach no handler. Each retry
// follows the end of the jobs (an event), not a poll.
void DrainAndFree(TdcPrinter_t* record) noexcept {
  const auto deadline = std::chrono::steady_clock::now() + kJobDrainLimit;
  while (TdcDisconnectPrinter(nullptr, record) == TDC_ERR_PROCESSING) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    const auto waitMs = static_cast<int32_t>(std::min<int64_t>(left.count(), INT32_MAX));
    // Jobs out: the wait ends with the last one. None: a request still queued
    // refused, and the next change of the job list (or a short bound) comes
    // before the next try.
    TdcWaitPrinterJobsEnded(record, std::min(waitMs, kQueuedRequestWaitMs), true);
    TdcWaitPrinterJobsEnded(record, waitMs);
  }
  FreeRecord(record);
}

}  // namespace

void PrinterKind::TearDown(TdcPrinter_t* record) noexcept {
  // A closed printer answers 5 and stays as it is. A direct connection with
  // jobs still out refuses (2): freeing the record then would leave the
  // connection open for the life of the process and its address unusable, so
  // a pool worker waits for the jobs to end and disconnects then.
  if (TdcDisconnectPrinter(nullptr, record) == TDC_ERR_PROCESSING) {
    try {
      PoolSubmit([record] { DrainAndFree(record); });
      return;
    } catch (...) {
      // No worker: free it now, as a teardown without one would.
    }
  }
  FreeRecord(record);
}

// The device-service client does not report the host's administrator and
// location texts yet, and a direct connection has none.
std::string PrinterKind::AdminName(const TdcPrinter_t&) { return std::string(); }
std::string PrinterKind::LocationName(const TdcPrinter_t&) { return std::string(); }

PrinterFrame& PrinterKind::FrameOf(prn::Printer& device) {
  return api::detail::PrinterAccess::StateOf(device).frame;
}

api::IActivationFactory* MakePrinterFactory() { return new PrinterFactory(); }

}  // namespace tilo2::core

namespace Orvik::Tilo::Tilo2::Printer {

namespace core = ::tilo2::core;
using core::LogArguments;
using core::CommonUtils::MakeException;

IPrinterFactory::~IPrinterFactory() = default;

Printer::Printer() : state_(std::make_unique<State>()) {}

Printer::~Printer() = default;

std::shared_ptr<Printer> Printer::Create(Series series, ModelLang lang) {
  const core::CommonUtils::ErrorScope scope("Create");
  std::shared_ptr<Printer> printer = core::AdoptDevice(new Printer());
  State& state = *printer->state_;
  state.frame.Construct(
      printer,
      [&] {
        return LogArguments{core::EnumArgument(series), core::EnumArgument(lang)};
      },
      [&]() -> core::TdcPrinter_t* {
        state.common = core::CommonPrinter::Create();
        const int32_t coreSeries = core::ToCore(series);
        const int32_t coreLang = core::ToCore(lang);
        core::TdcPrinter_t* record = nullptr;
        if (coreSeries > core::kLastSeries) {
          throw MakeException(core::kPrinterErrParameter,
                              "series " + std::string(core::EnumText(series)) + " is unknown here");
        }
        if (coreLang < 0 || coreLang > core::kLastModelLang) {
          throw MakeException(core::kPrinterErrParameter,
                              "lang " + std::string(core::EnumText(lang)) + " is unknown here");
        }
        core::CommonUtils::ThrowIfFailed(core::TdcCreatePrinter(&record, coreSeries, coreLang),
                                         "the printer's record could not be made");
        return record;
      });
  state.common->SetRecord(state.frame.Handle());
  state.common->SetOwner(std::weak_ptr<const Object>(printer));
  return printer;
}

String Printer::GetRuntimeClassName() const { return "Orvik.Tilo.Tilo2.Printer.Printer"; }

EventToken Printer::Received(ReceivedHandler handler) {
  return state_->received.Add(std::move(handler));
}
void Printer::Received(EventToken token) { state_->received.Remove(token); }
EventToken Printer::StatusChanged(StatusChangedHandler handler) {
  return state_->statusChanged.Add(std::move(handler));
}
void Printer::StatusChanged(EventToken token) { state_->statusChanged.Remove(token); }

EventToken Printer::ConnectionChanged(ConnectionChangedHandler handler) {
  return state_->frame.AddConnectionChanged(std::move(handler));
}
void Printer::ConnectionChanged(EventToken token) { state_->frame.RemoveConnectionChanged(token); }

String Printer::Admin() const { return state_->frame.Admin(); }
String Printer::Location() const { return state_->frame.Location(); }

IAsyncAction Printer::ConnectAsync(const String& target, int32_t timeout) {
  auto self = state_->frame.Self();
  auto makeArgs = [target, timeout] { return LogArguments{target, timeout}; };
  // The checks write no exit line: a refused target or timeout ends the action
  // with the entry line alone.
  auto check = [self, makeArgs, target, timeout] {
    State& state = *self->state_;
    const core::CommonUtils::ErrorScope scope("ConnectAsync");
    core::CommonUtils::LogApiInWith(core::kLogApiEntry, state.frame.Handle(),
                                    core::kConnectCheckName, makeArgs);
    state.frame.EnsureHandle();
    core::CheckTarget(target);
    core::CheckConnectTimeout(timeout);
  };
  auto connect = [self, makeArgs, target, timeout](const IAsyncAction& before) {
    before.get();  // a refused check or pairing never reaches the core
    State& state = *self->state_;
    const core::CommonUtils::ErrorScope scope("ConnectAsync");
    core::TdcPrinter_t* const handle = state.frame.Handle();
    try {
      core::TdcPrinter_t& record = state.frame.EnsureHandle();
      const auto utf8 = core::CommonUtils::ToUtf8(target);
      core::CheckConnectTimeout(timeout);
      const auto env = core::CommonUtils::CreateEnvData();
      const int result = core::TdcConnectPrinter(env.get(), &record, utf8.get(), nullptr, timeout);
      if (result == 0) {
        // A value set while disconnected, or refused before, takes effect now.
        core::TdcSetInterval(&record, state.common->Interval());
      } else {
        const core::ErrorNumber number = core::CommonUtils::ErrorNumberOf(result);
        throw MakeException(number, core::ConnectFailure(number, target.utf8(), timeout));
      }
    } catch (const RuntimeException& e) {
      core::CommonUtils::LogApiOutWith(handle, core::kConnectName, e.HResult(), makeArgs);
      throw;
    }
    core::CommonUtils::LogApiOutWith(handle, core::kConnectName, 0, makeArgs);
  };
  return core::StartConnectOperation(target, std::move(check), std::move(connect));
}

IAsyncAction Printer::DisconnectAsync() {
  auto self = state_->frame.Self();
  // The close waits for the printer's own threads (and, over the device
  // service, for replies read on the callback's thread): from a handler
  // running there it would wait for itself.
  const bool ownThread = core::CallerThread(state_->frame.Handle()) != 0;
  return core::StartOperation([self, ownThread] {
    State& state = *self->state_;
    const core::CommonUtils::ErrorScope scope("DisconnectAsync");
    core::RunApiCall(state.frame.Handle(), core::kDisconnectName, core::NoLogArguments, [&] {
      core::TdcPrinter_t& record = state.frame.EnsureHandle();
      if (ownThread) {
        throw MakeException(core::kPrinterErrIllegalState,
                            "called from the thread that would serve it");
      }
      const auto env = core::CommonUtils::CreateEnvData();
      core::CommonUtils::ThrowIfFailed(core::TdcDisconnectPrinter(env.get(), &record));
    });
  });
}

IAsyncOperation<std::shared_ptr<const PrinterStatusInfo>> Printer::GetStatusAsync() {
  auto self = state_->frame.Self();
  // On one of the direct connection's own threads the status is the one last
  // seen, taken here: asking the printer would wait for this very thread.
  // Over the device service the reply would have to be read on it: refused.
  const int caller = core::CallerThread(state_->frame.Handle());
  std::shared_ptr<core::TdcStatus_t> last;
  if (caller == core::kCallerOwnThread) {
    last.reset(core::TdcGetLastPrinterStatus(state_->frame.Handle()), core::FreeStatus{});
  }
  return core::StartStatusOperation(
      [self, caller, last]() -> std::shared_ptr<const PrinterStatusInfo> {
        State& state = *self->state_;
        const core::CommonUtils::ErrorScope scope("GetStatusAsync");
        core::TdcPrinter_t* const handle = state.frame.Handle();
        core::CommonUtils::LogApiInWith(core::kLogApiEntry, handle, core::kGetStatusName,
                                        core::NoLogArguments);
        std::shared_ptr<const PrinterStatusInfo> info;
        try {
          core::TdcPrinter_t& record = state.frame.EnsureHandle();
          if (caller == core::kCallerServiceCallback) {
            throw MakeException(core::kPrinterErrIllegalState,
                                "called from the thread that would serve it");
          }
          if (caller == core::kCallerOwnThread) {
            if (!last) throw MakeException(core::kErrFailureNumber, "no status has been seen yet");
            info = core::MakePrinterStatusInfo(last.get());
          } else {
            const auto env = core::CommonUtils::CreateEnvData();
            std::unique_ptr<core::TdcStatus_t, core::FreeStatus> status(
                core::TdcGetPrinterStatus(env.get(), &record));
            if (!status) {
              throw MakeException(core::kErrFailureNumber, "out of memory for the status");
            }
            info = core::MakePrinterStatusInfo(status.get());
          }
        } catch (const RuntimeException& e) {
          core::CommonUtils::LogApiOutWith(handle, core::kGetStatusName, e.HResult(),
                                           core::NoLogArguments);
          throw;
        }
        core::CommonUtils::LogApiOutWith(handle, core::kGetStatusName, 0,
                                         [&] { return core::StatusLogArguments(*info); });
        return info;
      });
}

IAsyncAction Printer::SendDataAsync(int32_t timeout) {
  auto self = state_->frame.Self();
  // The job is what was added before this call: taken now, on the app's
  // thread, so that an Add or a clear that follows the call is not in it.
  auto job = std::make_shared<core::TdcCommandSnapshot>();
  int taken = 0;
  if (core::TdcPrinter_t* record = state_->frame.Handle()) {
    taken = core::TdcTakePrinterCommands(&record->commands.commandList, job.get());
  }
  // A direct send only queues its job and may start anywhere; one through the
  // device service waits for a reply that the callback's thread would read.
  const bool serviceCallback =
      core::CallerThread(state_->frame.Handle()) == core::kCallerServiceCallback;
  return core::StartOperation([self, timeout, job, taken, serviceCallback] {
    State& state = *self->state_;
    const core::CommonUtils::ErrorScope scope("SendDataAsync");
    core::TdcPrinter_t* const handle = state.frame.Handle();
    auto makeArgs = [timeout] { return LogArguments{timeout}; };
    core::CommonUtils::LogApiInWith(core::kLogApiEntry, handle, core::kSendDataName, makeArgs);
    try {
      core::TdcPrinter_t& record = state.frame.EnsureHandle();
      core::CommonUtils::CheckRange(timeout, 5000, 600000, true, false, "timeout");
      core::CommonUtils::ThrowIfFailed(taken, "the command list could not be read");
      if (serviceCallback) {
        throw MakeException(core::kPrinterErrIllegalState,
                            "called from the thread that would serve it");
      }
      const auto env = core::CommonUtils::CreateEnvData();
      const bool empty = job->Empty();
      const int sent = core::TdcSendPrinterJob(env.get(), &record, *job, timeout);
      // The nodes go back now: a clear afterwards frees them at once.
      job->Reset();
      if (sent == core::TDC_ERR_PARAM) {
        throw MakeException(core::kPrinterErrParameter,
                            "a command of the job cannot be printed on this printer; nothing "
                            "was sent");
      }
      if (sent == core::TDC_ERR_ILLEGAL && empty) {
        throw MakeException(core::ErrorNumber{5}, "nothing was added to send");
      }
      core::CommonUtils::ThrowIfFailed(sent);
    } catch (const RuntimeException& e) {
      core::CommonUtils::LogApiOutWith(handle, core::kSendDataName, e.HResult(), makeArgs);
      throw;
    }
    core::CommonUtils::LogApiOutWith(handle, core::kSendDataName, 0, core::NoLogArguments);
  });
}

IAsyncAction Printer::RequestPrintJobStatusAsync(const String& printJobId) {
  auto self = state_->frame.Self();
  return core::StartOperation([self, printJobId] {
    State& state = *self->state_;
    const core::CommonUtils::ErrorScope scope("RequestPrintJobStatusAsync");
    core::RunApiCall(
        state.frame.Handle(), core::kRequestPrintJobStatusName,
        [&] { return LogArguments{printJobId}; },
        [&] {
          core::TdcPrinter_t& record = state.frame.EnsureHandle();
          core::common_printer::CheckText(printJobId, "printJobId");
          const auto utf8 = core::CommonUtils::ToUtf8(printJobId);
          const auto env = core::CommonUtils::CreateEnvData();
          core::CommonUtils::ThrowIfFailed(
              core::TdcRequestPrintJobStatus(env.get(), &record, utf8.get()));
        });
  });
}

int32_t Printer::Interval() const {
  const core::CommonUtils::ErrorScope scope("Interval");
  state_->frame.EnsureHandle(TILO2_PRINTER_NAME("Interval::get"));
  return state_->common->Interval();
}

void Printer::Interval(int32_t value) {
  const core::CommonUtils::ErrorScope scope("Interval");
  state_->frame.EnsureHandle(TILO2_PRINTER_NAME("Interval::set"));
  state_->common->Interval(value);
}

// ---- Forwarded to the CommonPrinter ------------------------------------------
// Each checks the object under its own name, then the CommonPrinter member of
// the same name logs and does the work. The CommonPrinter's operations hold
// this Printer (its owner) until they end.

#define TILO2_FORWARD(member, ...)                         \
  const core::CommonUtils::ErrorScope scope(#member);      \
  state_->frame.EnsureHandle(TILO2_PRINTER_NAME(#member)); \
  return state_->common->member(__VA_ARGS__)

void Printer::StartMonitor() { TILO2_FORWARD(StartMonitor); }
void Printer::StopMonitor() { TILO2_FORWARD(StopMonitor); }
IAsyncAction Printer::BeginTransactionAsync() { TILO2_FORWARD(BeginTransactionAsync); }
IAsyncAction Printer::EndTransactionAsync() { TILO2_FORWARD(EndTransactionAsync); }
void Printer::ClearCommandBuffer() { TILO2_FORWARD(ClearCommandBuffer); }
void Printer::AddTextAlign(Alignment align) { TILO2_FORWARD(AddTextAlign, align); }
void Printer::AddLineSpace(int32_t linespc) { TILO2_FORWARD(AddLineSpace, linespc); }
void Printer::AddTextRotate(Rotate rotate) { TILO2_FORWARD(AddTextRotate, rotate); }
void Printer::AddText(const String& data) { TILO2_FORWARD(AddText, data); }
void Printer::AddTextLang(Lang lang) { TILO2_FORWARD(AddTextLang, lang); }
void Printer::AddTextFont(Font font) { TILO2_FORWARD(AddTextFont, font); }
void Printer::AddTextSmooth(Smooth smooth) { TILO2_FORWARD(AddTextSmooth, smooth); }
void Printer::AddTextSize(int32_t width, int32_t height) {
  TILO2_FORWARD(AddTextSize, width, height);
}
void Printer::AddTextStyle(Reverse reverse, Underline ul, Emphasis em, Color color) {
  TILO2_FORWARD(AddTextStyle, reverse, ul, em, color);
}
void Printer::AddHPosition(int32_t x) { TILO2_FORWARD(AddHPosition, x); }
void Printer::AddFeedUnit(int32_t unit) { TILO2_FORWARD(AddFeedUnit, unit); }
void Printer::AddFeedLine(int32_t line) { TILO2_FORWARD(AddFeedLine, line); }
IAsyncAction Printer::AddImageAsync(std::shared_ptr<Imaging::IBitmapFrame> data, int32_t x,
                                    int32_t y, int32_t width, int32_t height, Color color,
                                    Mode mode, Halftone halftone, double brightness,
                                    Compression compress) {
  TILO2_FORWARD(AddImageAsync, std::move(data), x, y, width, height, color, mode, halftone,
                brightness, compress);
}
void Printer::AddLogo(int32_t key1, int32_t key2) { TILO2_FORWARD(AddLogo, key1, key2); }
void Printer::AddBarcode(const String& data, BarcodeType type, Hri hri, Font font, int32_t width,
                         int32_t height) {
  TILO2_FORWARD(AddBarcode, data, type, hri, font, width, height);
}
void Printer::AddSymbol(const String& data, SymbolType type, Level level, int32_t levelPercent,
                        int32_t width, int32_t height, int32_t size) {
  TILO2_FORWARD(AddSymbol, data, type, level, levelPercent, width, height, size);
}
void Printer::AddPageBegin() { TILO2_FORWARD(AddPageBegin); }
void Printer::AddPageEnd() { TILO2_FORWARD(AddPageEnd); }
void Printer::AddPageArea(int32_t x, int32_t y, int32_t width, int32_t height) {
  TILO2_FORWARD(AddPageArea, x, y, width, height);
}
void Printer::AddPageDirection(Direction direction) { TILO2_FORWARD(AddPageDirection, direction); }
void Printer::AddPagePosition(int32_t x, int32_t y) { TILO2_FORWARD(AddPagePosition, x, y); }
void Printer::AddPageLine(int32_t x1, int32_t y1, int32_t x2, int32_t y2, LineStyle style) {
  TILO2_FORWARD(AddPageLine, x1, y1, x2, y2, style);
}
void Printer::AddPageRectangle(int32_t x1, int32_t y1, int32_t x2, int32_t y2, LineStyle style) {
  TILO2_FORWARD(AddPageRectangle, x1, y1, x2, y2, style);
}
void Printer::AddCut(Cut type) { TILO2_FORWARD(AddCut, type); }
void Printer::AddPulse(Drawer drawer, Pulse time) { TILO2_FORWARD(AddPulse, drawer, time); }
void Printer::AddCommand(std::span<const uint8_t> data) { TILO2_FORWARD(AddCommand, data); }
IAsyncAction Printer::ForceRecoverAsync(int32_t timeout) {
  TILO2_FORWARD(ForceRecoverAsync, timeout);
}
IAsyncAction Printer::ForcePulseAsync(Drawer drawer, Pulse time, int32_t timeout) {
  TILO2_FORWARD(ForcePulseAsync, drawer, time, timeout);
}
IAsyncAction Printer::ForceResetAsync(int32_t timeout) { TILO2_FORWARD(ForceResetAsync, timeout); }

#undef TILO2_FORWARD

}  // namespace Orvik::Tilo::Tilo2::Printer
