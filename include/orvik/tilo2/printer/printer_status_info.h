#pragma once
// A printer's status at one moment: what the printer reported when a status
// query ran or a print job ended. Made only by the library; immutable.
// Threads, handlers and what a handler may call: docs/threading.md.

#include <cstdint>

#include "orvik/tilo2/export.h"
#include "orvik/tilo2/object.h"
#include "orvik/tilo2/printer/printer_enums.h"
#include "orvik/tilo2/string.h"

namespace Orvik::Tilo::Tilo2::detail {
struct EventArgsFactory;
}  // namespace Orvik::Tilo::Tilo2::detail

namespace Orvik::Tilo::Tilo2::Printer {

class TILO2_EXPORT PrinterStatusInfo final : public Object {
 public:
  ~PrinterStatusInfo() override;

  // A printer that did not answer reads Connection False and Unknown everywhere else.
  ::Orvik::Tilo::Tilo2::Printer::Connection Connection() const noexcept { return connection_; }
  ::Orvik::Tilo::Tilo2::Printer::Online Online() const noexcept { return online_; }
  ::Orvik::Tilo::Tilo2::Printer::CoverOpen CoverOpen() const noexcept { return coverOpen_; }
  ::Orvik::Tilo::Tilo2::Printer::Paper Paper() const noexcept { return paper_; }
  ::Orvik::Tilo::Tilo2::Printer::PanelSwitch PanelSwitch() const noexcept { return panelSwitch_; }
  ::Orvik::Tilo::Tilo2::Printer::PaperFeed PaperFeed() const noexcept { return paperFeed_; }
  ::Orvik::Tilo::Tilo2::Printer::WaitOnline WaitOnline() const noexcept { return waitOnline_; }
  DrawerStatus Drawer() const noexcept { return drawer_; }
  PrinterErrorStatus ErrorStatus() const noexcept { return errorStatus_; }
  ::Orvik::Tilo::Tilo2::Printer::AutoRecoverError AutoRecoverError() const noexcept {
    return autoRecoverError_;
  }
  ::Orvik::Tilo::Tilo2::Printer::Buzzer Buzzer() const noexcept { return buzzer_; }
  ::Orvik::Tilo::Tilo2::Printer::Adapter Adapter() const noexcept { return adapter_; }
  ::Orvik::Tilo::Tilo2::Printer::BatteryLevel BatteryLevel() const noexcept {
    return batteryLevel_;
  }

  // "Orvik.Tilo.Tilo2.Printer.PrinterStatusInfo"
  String GetRuntimeClassName() const override;

  // Every property's value, in the order of the properties above.
  struct Values {
    ::Orvik::Tilo::Tilo2::Printer::Connection connection;
    ::Orvik::Tilo::Tilo2::Printer::Online online;
    ::Orvik::Tilo::Tilo2::Printer::CoverOpen coverOpen;
    ::Orvik::Tilo::Tilo2::Printer::Paper paper;
    ::Orvik::Tilo::Tilo2::Printer::PanelSwitch panelSwitch;
    ::Orvik::Tilo::Tilo2::Printer::PaperFeed paperFeed;
    ::Orvik::Tilo::Tilo2::Printer::WaitOnline waitOnline;
    DrawerStatus drawer;
    PrinterErrorStatus errorStatus;
    ::Orvik::Tilo::Tilo2::Printer::AutoRecoverError autoRecoverError;
    ::Orvik::Tilo::Tilo2::Printer::Buzzer buzzer;
    ::Orvik::Tilo::Tilo2::Printer::Adapter adapter;
    ::Orvik::Tilo::Tilo2::Printer::BatteryLevel batteryLevel;
  };

 private:
  friend struct ::Orvik::Tilo::Tilo2::detail::EventArgsFactory;
  explicit PrinterStatusInfo(const Values& values);

  ::Orvik::Tilo::Tilo2::Printer::Connection connection_;
  ::Orvik::Tilo::Tilo2::Printer::Online online_;
  ::Orvik::Tilo::Tilo2::Printer::CoverOpen coverOpen_;
  ::Orvik::Tilo::Tilo2::Printer::Paper paper_;
  ::Orvik::Tilo::Tilo2::Printer::PanelSwitch panelSwitch_;
  ::Orvik::Tilo::Tilo2::Printer::PaperFeed paperFeed_;
  ::Orvik::Tilo::Tilo2::Printer::WaitOnline waitOnline_;
  DrawerStatus drawer_;
  PrinterErrorStatus errorStatus_;
  ::Orvik::Tilo::Tilo2::Printer::AutoRecoverError autoRecoverError_;
  ::Orvik::Tilo::Tilo2::Printer::Buzzer buzzer_;
  ::Orvik::Tilo::Tilo2::Printer::Adapter adapter_;
  ::Orvik::Tilo::Tilo2::Printer::BatteryLevel batteryLevel_;
};

}  // namespace Orvik::Tilo::Tilo2::Printer
