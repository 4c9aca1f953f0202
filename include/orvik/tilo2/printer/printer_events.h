#pragma once
// The arguments of a Printer's Received and StatusChanged events. Made only
// by the library; immutable.
// Threads, handlers and what a handler may call: docs/threading.md.

#include <memory>

#include "orvik/tilo2/callback_code.h"
#include "orvik/tilo2/export.h"
#include "orvik/tilo2/object.h"
#include "orvik/tilo2/printer/printer_enums.h"
#include "orvik/tilo2/printer/printer_status_info.h"
#include "orvik/tilo2/string.h"

namespace Orvik::Tilo::Tilo2::Printer {

// A print job ended (or its status was asked for): how, the printer's status
// then, and the job's id ("" when the connection gives none).
class TILO2_EXPORT ReceivedEventArgs final : public Object {
 public:
  ~ReceivedEventArgs() override;

  CallbackCode Code() const noexcept { return code_; }
  const std::shared_ptr<const PrinterStatusInfo>& Status() const noexcept { return status_; }
  const String& PrintJobId() const noexcept { return printJobId_; }

  // "Orvik.Tilo.Tilo2.Printer.ReceivedEventArgs"
  String GetRuntimeClassName() const override;

 private:
  friend struct ::Orvik::Tilo::Tilo2::detail::EventArgsFactory;
  ReceivedEventArgs(CallbackCode code, std::shared_ptr<const PrinterStatusInfo> status,
                    String printJobId);

  CallbackCode code_;
  std::shared_ptr<const PrinterStatusInfo> status_;
  String printJobId_;
};

// The printer's state changed (reported only while the status monitor runs).
class TILO2_EXPORT StatusChangedEventArgs final : public Object {
 public:
  ~StatusChangedEventArgs() override;

  ::Orvik::Tilo::Tilo2::Printer::EventType EventType() const noexcept { return eventType_; }

  // "Orvik.Tilo.Tilo2.Printer.StatusChangedEventArgs"
  String GetRuntimeClassName() const override;

 private:
  friend struct ::Orvik::Tilo::Tilo2::detail::EventArgsFactory;
  explicit StatusChangedEventArgs(::Orvik::Tilo::Tilo2::Printer::EventType eventType);

  ::Orvik::Tilo::Tilo2::Printer::EventType eventType_;
};

}  // namespace Orvik::Tilo::Tilo2::Printer
