#pragma once
// A receipt printer: connect it to a target, build a job with the Add
// methods, send it, and hear the job's result and the printer's status
// changes as events.
//
//   auto printer = Printer::Create(Series::RP_S3, ModelLang::Ank);
//   printer->ConnectAsync("TCP:192.0.2.10", -2).get();
//   printer->AddText("Hello\n");
//   printer->AddCut(Cut::Feed);
//   printer->SendDataAsync(-2).get();  // the result arrives as Received
//
// Failures are RuntimeExceptions carrying an ErrorStatus HRESULT; for the
// ...Async methods they come through the operation. The Add methods build the
// job on the calling thread and work on an unconnected printer; the command
// list survives sending until ClearCommandBuffer. Await AddImageAsync before
// adding the next command, so the image keeps its place in the job.
//
// Events are raised synchronously on the library's threads (a job's result on
// the thread that saw the job end; status changes on the status monitor's
// thread, or once on the thread calling StartMonitor). A handler that blocks
// holds that thread up.

#include <cstdint>
#include <memory>
#include <span>

#include "orvik/tilo2/async.h"
#include "orvik/tilo2/device.h"
#include "orvik/tilo2/event.h"
#include "orvik/tilo2/export.h"
#include "orvik/tilo2/imaging.h"
#include "orvik/tilo2/object.h"
#include "orvik/tilo2/printer/printer_enums.h"
#include "orvik/tilo2/printer/printer_events.h"
#include "orvik/tilo2/printer/printer_status_info.h"
#include "orvik/tilo2/string.h"

namespace Orvik::Tilo::Tilo2::detail {
// The library's access to a Printer's inner state.
struct PrinterAccess;
}  // namespace Orvik::Tilo::Tilo2::detail

namespace Orvik::Tilo::Tilo2::Printer {

class Printer;

using ReceivedHandler = TypedEventHandler<Printer, ReceivedEventArgs>;
using StatusChangedHandler = TypedEventHandler<Printer, StatusChangedEventArgs>;

// The constructor of "Orvik.Tilo.Tilo2.Printer.Printer" behind activation:
// dynamic_cast the IActivationFactory that DllGetActivationFactory gives.
class TILO2_EXPORT IPrinterFactory {
 public:
  // kSOk with the new printer in *instance; the HRESULT Printer::Create would
  // raise otherwise (kEPointer for a null instance), *instance then null.
  virtual int32_t CreateInstance(Series series, ModelLang lang,
                                 std::shared_ptr<Printer>* instance) noexcept = 0;

 protected:
  virtual ~IPrinterFactory();
};

class TILO2_EXPORT Printer final : public Object, public IDevice {
 public:
  // ErrParameter for a value outside its enumeration, ErrMemory when the
  // printer's record cannot be made.
  static std::shared_ptr<Printer> Create(Series series, ModelLang lang);
  ~Printer() override;
  Printer(const Printer&) = delete;
  Printer& operator=(const Printer&) = delete;

  // The Received and StatusChanged events: add gives a token, remove takes it.
  EventToken Received(ReceivedHandler handler);
  void Received(EventToken token);
  EventToken StatusChanged(StatusChangedHandler handler);
  void StatusChanged(EventToken token);

  // target: "TCP:<address>", "BT:<address>" or "USB:<path>", with "[<device id>]"
  // for a device behind a device service. timeout: 1000 to 300000 ms, -2 the default.
  IAsyncAction ConnectAsync(const String& target, int32_t timeout);
  IAsyncAction DisconnectAsync();
  // Never fails for an unconnected or silent printer: Connection is False then.
  IAsyncOperation<std::shared_ptr<const PrinterStatusInfo>> GetStatusAsync();
  // Sends the command list as one job; completes once the job is handed over.
  // timeout: 5000 to 600000 ms, -2 the default.
  IAsyncAction SendDataAsync(int32_t timeout);
  IAsyncAction RequestPrintJobStatusAsync(const String& printJobId);
  void AddHLine(int32_t x1, int32_t x2, LineStyle style);
  // *lineId (null: ErrParameter) names the line for AddVLineEnd.
  void AddVLineBegin(int32_t x, LineStyle style, int32_t* lineId);
  void AddVLineEnd(int32_t lineId);
  void AddSound(Pattern pattern, int32_t repeat, int32_t cycle);
  void AddFeedPosition(Feed position);
  void AddLayout(Layout type, int32_t width, int32_t height, int32_t marginTop,
                 int32_t marginBottom, int32_t offsetCut, int32_t offsetLabel);
  IAsyncAction ForceStopSoundAsync(int32_t timeout);
  void StartMonitor();
  void StopMonitor();
  IAsyncAction BeginTransactionAsync();
  IAsyncAction EndTransactionAsync();
  void ClearCommandBuffer();
  void AddTextAlign(Alignment align);
  void AddLineSpace(int32_t linespc);
  void AddTextRotate(Rotate rotate);
  void AddText(const String& data);
  void AddTextLang(Lang lang);
  void AddTextFont(Font font);
  void AddTextSmooth(Smooth smooth);
  void AddTextSize(int32_t width, int32_t height);
  void AddTextStyle(Reverse reverse, Underline ul, Emphasis em, Color color);
  void AddHPosition(int32_t x);
  void AddFeedUnit(int32_t unit);
  void AddFeedLine(int32_t line);
  IAsyncAction AddImageAsync(std::shared_ptr<Imaging::IBitmapFrame> data, int32_t x, int32_t y,
                             int32_t width, int32_t height, Color color, Mode mode,
                             Halftone halftone, double brightness, Compression compress);
  void AddLogo(int32_t key1, int32_t key2);
  void AddBarcode(const String& data, BarcodeType type, Hri hri, Font font, int32_t width,
                  int32_t height);
  // Aztec types take levelPercent and ignore level; the others the reverse.
  void AddSymbol(const String& data, SymbolType type, Level level, int32_t levelPercent,
                 int32_t width, int32_t height, int32_t size);
  void AddPageBegin();
  void AddPageEnd();
  void AddPageArea(int32_t x, int32_t y, int32_t width, int32_t height);
  void AddPageDirection(Direction direction);
  void AddPagePosition(int32_t x, int32_t y);
  void AddPageLine(int32_t x1, int32_t y1, int32_t x2, int32_t y2, LineStyle style);
  void AddPageRectangle(int32_t x1, int32_t y1, int32_t x2, int32_t y2, LineStyle style);
  void AddCut(Cut type);
  void AddPulse(Drawer drawer, Pulse time);
  // The bytes are copied at the call.
  void AddCommand(std::span<const uint8_t> data);
  IAsyncAction ForceRecoverAsync(int32_t timeout);
  IAsyncAction ForcePulseAsync(Drawer drawer, Pulse time, int32_t timeout);
  // The bytes are copied at the call.
  IAsyncAction ForceCommandAsync(std::span<const uint8_t> data, int32_t timeout);
  IAsyncAction ForceResetAsync(int32_t timeout);
  // The status monitor's period in ms: 3000 until set; -2 or 1000 to 60000.
  int32_t Interval() const;
  void Interval(int32_t value);

  // IDevice: "" on a direct connection.
  String Admin() const override;
  String Location() const override;
  EventToken ConnectionChanged(ConnectionChangedHandler handler) override;
  void ConnectionChanged(EventToken token) override;

  // "Orvik.Tilo.Tilo2.Printer.Printer"
  String GetRuntimeClassName() const override;

 private:
  friend struct ::Orvik::Tilo::Tilo2::detail::PrinterAccess;
  struct State;
  Printer();

  std::unique_ptr<State> state_;
};

}  // namespace Orvik::Tilo::Tilo2::Printer
