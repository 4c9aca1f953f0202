// What a printer says, as the app sees it: the status snapshot, the event
// arguments, and the record callbacks that raise Received and StatusChanged.

#include <memory>
#include <utility>

#include "component/api_log.h"
#include "component/device_frame.h"
#include "component/result_codes.h"
#include "component/utf8_buffer.h"
#include "printer/printer_internal.h"

namespace Orvik::Tilo::Tilo2::Printer {

PrinterStatusInfo::PrinterStatusInfo(const Values& v)
    : connection_(v.connection),
      online_(v.online),
      coverOpen_(v.coverOpen),
      paper_(v.paper),
      panelSwitch_(v.panelSwitch),
      paperFeed_(v.paperFeed),
      waitOnline_(v.waitOnline),
      drawer_(v.drawer),
      errorStatus_(v.errorStatus),
      autoRecoverError_(v.autoRecoverError),
      buzzer_(v.buzzer),
      adapter_(v.adapter),
      batteryLevel_(v.batteryLevel) {}

PrinterStatusInfo::~PrinterStatusInfo() = default;

String PrinterStatusInfo::GetRuntimeClassName() const {
  return "Orvik.Tilo.Tilo2.Printer.PrinterStatusInfo";
}

ReceivedEventArgs::ReceivedEventArgs(CallbackCode code,
                                     std::shared_ptr<const PrinterStatusInfo> status,
                                     String printJobId)
    : code_(code), status_(std::move(status)), printJobId_(std::move(printJobId)) {}

ReceivedEventArgs::~ReceivedEventArgs() = default;

String ReceivedEventArgs::GetRuntimeClassName() const {
  return "Orvik.Tilo.Tilo2.Printer.ReceivedEventArgs";
}

StatusChangedEventArgs::StatusChangedEventArgs(::Orvik::Tilo::Tilo2::Printer::EventType eventType)
    : eventType_(eventType) {}

StatusChangedEventArgs::~StatusChangedEventArgs() = default;

String StatusChangedEventArgs::GetRuntimeClassName() const {
  return "Orvik.Tilo.Tilo2.Printer.StatusChangedEventArgs";
}

}  // namespace Orvik::Tilo::Tilo2::Printer

namespace tilo2::core {

namespace {

namespace api = ::Orvik::Tilo::Tilo2;
namespace prn = ::Orvik::Tilo::Tilo2::Printer;

constexpr char kOnStatusChangeEventName[] = TILO2_PRINTER_NAME("OnStatusChangeEvent");
constexpr char kOnReceiveEventName[] = TILO2_PRINTER_NAME("OnReceiveEvent");

// A Printer raises only the first twelve event types (core 0 to 11).
constexpr int32_t kPrinterEventTypes = 12;

template <class E>
E FromCore(int32_t coreValue) {
  return static_cast<E>(CommonUtils::ConvertFromCore(PairTable<E>(), coreValue));
}

}  // namespace

std::shared_ptr<const prn::PrinterStatusInfo> MakePrinterStatusInfo(const TdcStatus_t* status) {
  if (status == nullptr) throw CommonUtils::MakeException(kErrFailureNumber);
  // Looked up in the core record's order, so the first field without a row
  // is the one reported.
  prn::PrinterStatusInfo::Values v{};
  v.connection = FromCore<prn::Connection>(status->connection);
  v.online = FromCore<prn::Online>(status->online);
  v.coverOpen = FromCore<prn::CoverOpen>(status->coverOpen);
  v.paper = FromCore<prn::Paper>(status->paper);
  v.paperFeed = FromCore<prn::PaperFeed>(status->paperFeed);
  v.panelSwitch = FromCore<prn::PanelSwitch>(status->panelSwitch);
  v.waitOnline = FromCore<prn::WaitOnline>(status->waitOnline);
  v.drawer = FromCore<prn::DrawerStatus>(status->drawer);
  v.errorStatus = FromCore<prn::PrinterErrorStatus>(status->errorStatus);
  v.autoRecoverError = FromCore<prn::AutoRecoverError>(status->autoRecoverError);
  v.buzzer = FromCore<prn::Buzzer>(status->buzzer);
  v.adapter = FromCore<prn::Adapter>(status->adapter);
  v.batteryLevel = FromCore<prn::BatteryLevel>(status->batteryLevel);
  return api::detail::EventArgsFactory::Make<prn::PrinterStatusInfo>(v);
}

void PrinterOnStatusChangeEvent(void* record, int32_t eventType, void* userData) noexcept {
  PrinterFrame::RunCallback(
      record, kOnStatusChangeEventName, userData, true,
      [&] {
        return LogArguments{eventType, Pointer{userData}};
      },
      [&] {
        if (eventType < 0 || eventType >= kPrinterEventTypes) {
          throw CommonUtils::MakeException(kPrinterErrParameter);  // not a printer's event
        }
        return api::detail::EventArgsFactory::Make<prn::StatusChangedEventArgs>(
            FromCore<prn::EventType>(eventType));
      },
      [](const prn::StatusChangedEventArgs& args) {
        return LogArguments{api::String("EventType->"), EnumArgument(args.EventType())};
      },
      [](prn::Printer& printer, const std::shared_ptr<prn::Printer>& sender,
         const std::shared_ptr<const prn::StatusChangedEventArgs>& args) {
        api::detail::PrinterAccess::StateOf(printer).statusChanged.Raise(sender, args);
      });
}

void PrinterOnReceiveEvent(void* record, int32_t code, TdcStatus_t* status, const char* printJobId,
                           void* userData) noexcept {
  PrinterFrame::RunCallback(
      record, kOnReceiveEventName, userData, status != nullptr,
      [&] {
        return LogArguments{code, Pointer{status}, Pointer{printJobId}, Pointer{userData}};
      },
      [&] {
        const api::CallbackCode callbackCode = CommonUtils::ToCallbackCode(code);
        auto info = MakePrinterStatusInfo(status);
        return api::detail::EventArgsFactory::Make<prn::ReceivedEventArgs>(
            callbackCode, std::move(info), CommonUtils::FromUtf8(printJobId));
      },
      [](const prn::ReceivedEventArgs& args) {
        const prn::PrinterStatusInfo& s = *args.Status();
        // The core record's order: paper feed before panel switch.
        return LogArguments{api::String("Code->"),
                            EnumArgument(args.Code()),
                            api::String("Connection->"),
                            EnumArgument(s.Connection()),
                            api::String("Online->"),
                            EnumArgument(s.Online()),
                            api::String("CoverOpen->"),
                            EnumArgument(s.CoverOpen()),
                            api::String("Paper->"),
                            EnumArgument(s.Paper()),
                            api::String("PaperFeed->"),
                            EnumArgument(s.PaperFeed()),
                            api::String("PanelSwitch->"),
                            EnumArgument(s.PanelSwitch()),
                            api::String("WaitOnline->"),
                            EnumArgument(s.WaitOnline()),
                            api::String("Drawer->"),
                            EnumArgument(s.Drawer()),
                            api::String("ErrorStatus->"),
                            EnumArgument(s.ErrorStatus()),
                            api::String("AutoRecoverError->"),
                            EnumArgument(s.AutoRecoverError()),
                            api::String("Buzzer->"),
                            EnumArgument(s.Buzzer()),
                            api::String("Adapter->"),
                            EnumArgument(s.Adapter()),
                            api::String("BatteryLevel->"),
                            EnumArgument(s.BatteryLevel()),
                            api::String("PrintJobId->"),
                            args.PrintJobId()};
      },
      [](prn::Printer& printer, const std::shared_ptr<prn::Printer>& sender,
         const std::shared_ptr<const prn::ReceivedEventArgs>& args) {
        api::detail::PrinterAccess::StateOf(printer).received.Raise(sender, args);
      });
}

}  // namespace tilo2::core
