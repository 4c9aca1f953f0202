#pragma once
// The inside of a Printer: its device kind for the device frame, its state
// (event sources, the shared CommonPrinter, the frame with the record), the
// callbacks it stores in its record, and the log names of its members.

#include <cstdint>
#include <memory>
#include <string>

#include "component/device_frame.h"
#include "device/device_types.h"
#include "orvik/tilo2/activation.h"
#include "orvik/tilo2/event.h"
#include "orvik/tilo2/printer/printer.h"
#include "orvik/tilo2/printer/printer_events.h"
#include "orvik/tilo2/printer/printer_status_info.h"
#include "printer/common_enum_info.h"
#include "printer/common_printer.h"

namespace tilo2::core {

// "Orvik::Tilo::Tilo2::Printer::Printer::" + member, as the log names it.
#define TILO2_PRINTER_NAME(member) "Orvik::Tilo::Tilo2::Printer::Printer::" member

struct PrinterKind {
  using Record = TdcPrinter_t;
  using Device = ::Orvik::Tilo::Tilo2::Printer::Printer;

  static constexpr char kConstructorName[] = TILO2_PRINTER_NAME("Printer");
  static constexpr char kDestructorName[] = TILO2_PRINTER_NAME("~Printer");
  static constexpr char kAdminName[] = TILO2_PRINTER_NAME("Admin::get");
  static constexpr char kLocationName[] = TILO2_PRINTER_NAME("Location::get");
  static constexpr char kOnConnectionEventName[] = TILO2_PRINTER_NAME("OnConnectionEvent");

  static void RegisterRecord(TdcPrinter_t* record);
  static void StoreCallbacks(TdcPrinter_t& record, void* userData);
  static void DestroyRecord(TdcPrinter_t* record) noexcept;
  static void TearDown(TdcPrinter_t* record) noexcept;
  static std::string AdminName(const TdcPrinter_t& record);
  static std::string LocationName(const TdcPrinter_t& record);
  static DeviceFrame<PrinterKind>& FrameOf(Device& device);
};

using PrinterFrame = DeviceFrame<PrinterKind>;

// The error numbers of ErrParameter and ErrIllegalState.
inline constexpr ErrorNumber kPrinterErrParameter = 1;
inline constexpr ErrorNumber kPrinterErrIllegalState = 5;

// The record's status and print-result callbacks (the connection callback is
// the frame's).
void PrinterOnStatusChangeEvent(void* record, int32_t eventType, void* userData) noexcept;
void PrinterOnReceiveEvent(void* record, int32_t code, TdcStatus_t* status, const char* printJobId,
                           void* userData) noexcept;

// A status snapshot from a core status record: ErrFailure for a null record,
// ErrParameter for a field without a row.
std::shared_ptr<const ::Orvik::Tilo::Tilo2::Printer::PrinterStatusInfo> MakePrinterStatusInfo(
    const TdcStatus_t* status);

// The factory of "Orvik.Tilo.Tilo2.Printer.Printer" for the activation table.
::Orvik::Tilo::Tilo2::IActivationFactory* MakePrinterFactory();

}  // namespace tilo2::core

namespace Orvik::Tilo::Tilo2::Printer {

struct Printer::State {
  // Torn down in the reverse order: the frame (disconnect, clear, destroy the
  // record), then the CommonPrinter, then the event sources.
  Event<Printer, ReceivedEventArgs> received;
  Event<Printer, StatusChangedEventArgs> statusChanged;
  std::shared_ptr<::tilo2::core::CommonPrinter> common;
  ::tilo2::core::PrinterFrame frame;
};

}  // namespace Orvik::Tilo::Tilo2::Printer

namespace Orvik::Tilo::Tilo2::detail {

struct PrinterAccess {
  using Printer = ::Orvik::Tilo::Tilo2::Printer::Printer;
  static Printer::State& StateOf(Printer& printer) { return *printer.state_; }
  static const Printer::State& StateOf(const Printer& printer) { return *printer.state_; }
  // The record, for tests that read the command list; null after teardown.
  static ::tilo2::core::TdcPrinter_t* Record(const Printer& printer) {
    return printer.state_->frame.Handle();
  }
};

}  // namespace Orvik::Tilo::Tilo2::detail
