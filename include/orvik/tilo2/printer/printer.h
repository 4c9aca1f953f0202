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
// ...Async methods they come through the operation. Each what() reads
// "<status> (0x<code>): <method>: <reason>", e.g. "ErrParameter (0xA0048200):
// AddBarcode: EAN13 takes 12 or 13 digits" (see error_status.h).
//
// The Add methods build the job on the calling thread and work on an
// unconnected printer; the command list survives sending until
// ClearCommandBuffer. Await AddImageAsync before adding the next command, so
// the image keeps its place in the job. Every Add refuses a value it cannot
// take with ErrParameter and appends nothing: an argument outside its range
// (named below), a value outside its enumeration, and text or data that is
// empty or holds a NUL character (never cut short). An Add that cannot be
// appended for lack of memory raises ErrMemory; on a Printer whose record is
// gone every member raises ErrFailure.
//
// Events are raised synchronously on the library's threads, never on the
// caller of a method (a job's result on the thread that saw the job end;
// status changes on the connection's queue or status monitor thread, the
// first report after StartMonitor on the monitor thread). A handler that
// blocks holds that thread up. In a handler, GetStatusAsync and SendDataAsync
// may be waited for; a DisconnectAsync started on the printer's own threads
// fails at once with ErrIllegalState. Which thread runs which handler, what a
// handler may call and wait for, and how to capture the sender: see
// docs/threading.md.

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

// One receipt printer; its threads, events and the calls its handlers may
// make are in docs/threading.md.
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

  // target: "TCP:<address>", "TCPS:<address>", "BT:<address>" or "USB:<path>",
  // with "[<device id>]" for a device behind a device service. timeout: 1000
  // to 300000 ms, -2 the default.
  // ErrParameter: a target not of that form (text before the kind, a TCP
  // address with a port such as "TCP:127.0.0.1:9100", a BT address other than
  // six hex pairs, anything after "]"), an empty target or one holding a NUL,
  // a timeout out of range. ErrConnect: nobody answered at the target within
  // the timeout. ErrTypeInvalid: the series cannot be driven that way.
  // ErrInUse: another connection holds the printer.
  IAsyncAction ConnectAsync(const String& target, int32_t timeout);
  IAsyncAction DisconnectAsync();
  // Never fails for an unconnected or silent printer: Connection is False then.
  IAsyncOperation<std::shared_ptr<const PrinterStatusInfo>> GetStatusAsync();
  // Sends the command list as one job; completes once the job is handed over.
  // The job is what was added before this call: Adds and a
  // ClearCommandBuffer that follow it are not in it, even while it waits.
  // timeout: 5000 to 600000 ms, -2 the default.
  // ErrParameter: the timeout, or a command the connected printer cannot take
  // (for example a sound repeated 0 times on a direct connection): nothing of
  // the job is sent then. ErrIllegalState: nothing was added, or the printer
  // is not connected.
  IAsyncAction SendDataAsync(int32_t timeout);
  // ErrParameter: printJobId empty or holding a NUL.
  IAsyncAction RequestPrintJobStatusAsync(const String& printJobId);
  // ErrParameter: x1 or x2 outside 0..65535.
  void AddHLine(int32_t x1, int32_t x2, LineStyle style);
  // *lineId (null: ErrParameter) names the line for AddVLineEnd.
  // ErrParameter: x outside 0..65535.
  void AddVLineBegin(int32_t x, LineStyle style, int32_t* lineId);
  // ErrParameter: lineId not one AddVLineBegin gives.
  void AddVLineEnd(int32_t lineId);
  // ErrParameter: repeat outside 0..255 and not -2; cycle outside
  // 1000..25500 and not -2.
  void AddSound(Pattern pattern, int32_t repeat, int32_t cycle);
  void AddFeedPosition(Feed position);
  // ErrParameter: width outside 290..600; height not 0 nor 284..1550;
  // marginTop outside -150..1500; marginBottom outside -15..15; offsetCut
  // outside -290..50; offsetLabel outside 0..15; or values the layout type
  // does not combine (a Receipt takes height, margins and offsets 0).
  void AddLayout(Layout type, int32_t width, int32_t height, int32_t marginTop,
                 int32_t marginBottom, int32_t offsetCut, int32_t offsetLabel);
  IAsyncAction ForceStopSoundAsync(int32_t timeout);
  void StartMonitor();
  void StopMonitor();
  IAsyncAction BeginTransactionAsync();
  IAsyncAction EndTransactionAsync();
  void ClearCommandBuffer();
  void AddTextAlign(Alignment align);
  // ErrParameter: linespc outside 0..255.
  void AddLineSpace(int32_t linespc);
  void AddTextRotate(Rotate rotate);
  // ErrParameter: data empty or holding a NUL (text is never cut short).
  void AddText(const String& data);
  void AddTextLang(Lang lang);
  // ErrParameter: font Unspecified.
  void AddTextFont(Font font);
  void AddTextSmooth(Smooth smooth);
  // ErrParameter: width or height outside 1..8 and not -1 (unchanged) or -2
  // (default); both -1.
  void AddTextSize(int32_t width, int32_t height);
  // ErrParameter: all four Unspecified.
  void AddTextStyle(Reverse reverse, Underline ul, Emphasis em, Color color);
  // ErrParameter: x outside 0..65535.
  void AddHPosition(int32_t x);
  // ErrParameter: unit outside 0..255.
  void AddFeedUnit(int32_t unit);
  // ErrParameter: line outside 0..255.
  void AddFeedLine(int32_t line);
  // Through the operation: ErrParameter for a null bitmap, x or y outside
  // 0..65534, width or height outside 1..65535, color Unspecified, brightness
  // outside 0.1..10.0 and not -2; ErrFailure for a bitmap whose pixels do not
  // match its size; a bitmap's own failure with its own code.
  IAsyncAction AddImageAsync(std::shared_ptr<Imaging::IBitmapFrame> data, int32_t x, int32_t y,
                             int32_t width, int32_t height, Color color, Mode mode,
                             Halftone halftone, double brightness, Compression compress);
  // ErrParameter: key1 outside 1..255 (key2 is the printer's to judge).
  void AddLogo(int32_t key1, int32_t key2);
  // data may carry escapes ("\\" a backslash, "\xHH" a byte); its bytes
  // once decoded are judged. ErrParameter: data empty, holding a NUL, or
  // longer than 255 bytes; the symbology's own rules: UPC_A 11 or 12 digits,
  // UPC_E 6, 7, 8, 11 or 12 digits, EAN13 and JAN13 12 or 13 digits, EAN8 and
  // JAN8 7 or 8 digits, ITF an even count of digits, Code39 0-9, A-Z, space
  // and $ % * + - . /, Codabar 0-9, A-D, a-d and $ + - . / :, Code93, Code128
  // and GS1_128 ASCII only; width outside 2..6 and not -1; height outside
  // 1..255 and not -1.
  void AddBarcode(const String& data, BarcodeType type, Hri hri, Font font, int32_t width,
                  int32_t height);
  // Aztec types take levelPercent and ignore level; the others the reverse.
  // ErrParameter: data empty, holding a NUL or longer than 65531 bytes once
  // its escapes are decoded; a level the type does not take; levelPercent
  // outside 5..95 and not -1 or -2 (Aztec); width or height outside 1..255
  // and not -1; size outside 0..65535 and not -1.
  void AddSymbol(const String& data, SymbolType type, Level level, int32_t levelPercent,
                 int32_t width, int32_t height, int32_t size);
  void AddPageBegin();
  void AddPageEnd();
  // ErrParameter: x or y outside 0..65535; width or height outside 1..65535.
  void AddPageArea(int32_t x, int32_t y, int32_t width, int32_t height);
  void AddPageDirection(Direction direction);
  // ErrParameter: x or y outside 0..65535 and not -1; both -1.
  void AddPagePosition(int32_t x, int32_t y);
  // ErrParameter: a coordinate outside 0..65535.
  void AddPageLine(int32_t x1, int32_t y1, int32_t x2, int32_t y2, LineStyle style);
  // ErrParameter: a coordinate outside 0..65535.
  void AddPageRectangle(int32_t x1, int32_t y1, int32_t x2, int32_t y2, LineStyle style);
  void AddCut(Cut type);
  void AddPulse(Drawer drawer, Pulse time);
  // The bytes are copied at the call; NUL bytes are data like any other.
  // ErrParameter: no bytes.
  void AddCommand(std::span<const uint8_t> data);
  // The Force operations (ForceStopSoundAsync too): ErrParameter for a
  // timeout outside 0..600000 and not -2; ErrUnsupported on a direct
  // connection (they reach a printer behind a device service only).
  IAsyncAction ForceRecoverAsync(int32_t timeout);
  IAsyncAction ForcePulseAsync(Drawer drawer, Pulse time, int32_t timeout);
  // The bytes are copied at the call. ErrParameter: no bytes.
  IAsyncAction ForceCommandAsync(std::span<const uint8_t> data, int32_t timeout);
  IAsyncAction ForceResetAsync(int32_t timeout);
  // The status monitor's period in ms: 3000 until set; -2 or 1000 to 60000
  // (ErrParameter otherwise).
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
