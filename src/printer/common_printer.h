#pragma once
// What both printer classes share: the job builders (text, layout, page, cut,
// pulse, logo, raw bytes, image, barcode, symbol), the status monitor switch
// and its interval, transactions and the forced operations. An owner (Printer,
// later HybridPrinter) creates one CommonPrinter, points it at its device
// record and forwards each shared member after its own object check.
//
// The builders only append to the record's command list (whose own lock
// orders them against a clear and a replay); they work on an unconnected
// printer. Every method logs under
// "Orvik::Tilo::Tilo2::Printer::CommonPrinter::<Member>" with the record as
// its handle, checks the record (null: ErrFailure), then its arguments
// (ErrParameter); a refused call appends nothing and leaves the page-mode flag
// as it was.
//
// Lifetime: the record belongs to the owner, which destroys it and then
// releases this object. Every asynchronous operation holds a strong reference
// to this object and to the owner (SetOwner) until it ends, so the owner and
// its record outlive every operation it started.

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>

#include "device/device_types.h"
#include "orvik/tilo2/async.h"
#include "orvik/tilo2/imaging.h"
#include "orvik/tilo2/object.h"
#include "orvik/tilo2/printer/printer_enums.h"
#include "orvik/tilo2/string.h"
#include "printer/common_enum_info.h"

namespace tilo2::core {

class CommonPrinter final : public ::Orvik::Tilo::Tilo2::Object,
                            public std::enable_shared_from_this<CommonPrinter> {
 public:
  using String = ::Orvik::Tilo::Tilo2::String;
  using IAsyncAction = ::Orvik::Tilo::Tilo2::IAsyncAction;
  using IBitmapFrame = ::Orvik::Tilo::Tilo2::Imaging::IBitmapFrame;

  static constexpr int32_t kDefaultInterval = 3000;

  // Record null, Interval 3000, no owner.
  static std::shared_ptr<CommonPrinter> Create();
  ~CommonPrinter() override;  // frees nothing

  // "Orvik.Tilo.Tilo2.Printer.CommonPrinter"
  String GetRuntimeClassName() const override;

  // The owner's record, stored right after the owner created it; null again
  // when the owner's construction fails or its teardown destroyed it. Not owned.
  void SetRecord(TdcPrinter_t* record) noexcept;
  TdcPrinter_t* Record() const noexcept;

  // The owner, once it has its shared owner (a weak reference: the owner holds
  // this object). Set once, during the owner's construction, before any other
  // member is called. Each asynchronous operation locks it when started and
  // holds it until it ends; an owner that has expired by then fails the
  // operation with ErrFailure. Without an owner (tests) an operation holds
  // only this object.
  void SetOwner(std::weak_ptr<const ::Orvik::Tilo::Tilo2::Object> owner);

  // ---- Members, in declaration order -----------------------------------------

  // Let the backend's status reports through (on a direct connection the
  // current status is reported before this returns), or stop them.
  void StartMonitor();
  void StopMonitor();

  IAsyncAction BeginTransactionAsync();
  IAsyncAction EndTransactionAsync();

  // Empties the command list; never fails, also without a record.
  void ClearCommandBuffer() noexcept;

  void AddTextAlign(::Orvik::Tilo::Tilo2::Printer::Alignment align);
  void AddLineSpace(int32_t lineSpace);  // 0..255
  void AddTextRotate(::Orvik::Tilo::Tilo2::Printer::Rotate rotate);
  void AddText(const String& data);  // not empty
  void AddTextLang(::Orvik::Tilo::Tilo2::Printer::Lang lang);
  void AddTextFont(::Orvik::Tilo::Tilo2::Printer::Font font);  // not Unspecified
  void AddTextSmooth(::Orvik::Tilo::Tilo2::Printer::Smooth smooth);
  // Each 1..8, -1 (unchanged) or -2 (default); not both -1.
  void AddTextSize(int32_t width, int32_t height);
  // Not all four Unspecified.
  void AddTextStyle(::Orvik::Tilo::Tilo2::Printer::Reverse reverse,
                    ::Orvik::Tilo::Tilo2::Printer::Underline underline,
                    ::Orvik::Tilo::Tilo2::Printer::Emphasis emphasis,
                    ::Orvik::Tilo::Tilo2::Printer::Color color);
  void AddHPosition(int32_t x);    // 0..65535
  void AddFeedUnit(int32_t unit);  // 0..255
  void AddFeedLine(int32_t line);  // 0..255

  // The image command is appended once the pixels have arrived and been
  // flattened onto white; await the action before adding the next command.
  // x, y 0..65534; width, height 1..65535 (x + width, y + height within the
  // bitmap); color not Unspecified; brightness -2.0 or 0.1..10.0.
  IAsyncAction AddImageAsync(std::shared_ptr<IBitmapFrame> image, int32_t x, int32_t y,
                             int32_t width, int32_t height,
                             ::Orvik::Tilo::Tilo2::Printer::Color color,
                             ::Orvik::Tilo::Tilo2::Printer::Mode mode,
                             ::Orvik::Tilo::Tilo2::Printer::Halftone halftone, double brightness,
                             ::Orvik::Tilo::Tilo2::Printer::Compression compress);

  // key1 1..255; key2 1..255 except on an RP_D4 record.
  void AddLogo(int32_t key1, int32_t key2);

  // width 2..6 or -1; height 1..255 or -1.
  void AddBarcode(const String& data, ::Orvik::Tilo::Tilo2::Printer::BarcodeType type,
                  ::Orvik::Tilo::Tilo2::Printer::Hri hri, ::Orvik::Tilo::Tilo2::Printer::Font font,
                  int32_t width, int32_t height);
  // Aztec types take levelPercent (5..95, -1, -2) and ignore level; the others
  // the reverse. width, height 1..255 or -1; size 0..65535 or -1.
  void AddSymbol(const String& data, ::Orvik::Tilo::Tilo2::Printer::SymbolType type,
                 ::Orvik::Tilo::Tilo2::Printer::Level level, int32_t levelPercent, int32_t width,
                 int32_t height, int32_t size);

  void AddPageBegin();  // page-mode flag 1 once appended
  void AddPageEnd();    // page-mode flag 0 once appended
  void AddPageArea(int32_t x, int32_t y, int32_t width, int32_t height);
  void AddPageDirection(::Orvik::Tilo::Tilo2::Printer::Direction direction);
  void AddPagePosition(int32_t x, int32_t y);  // each 0..65535 or -1, not both -1
  void AddPageLine(int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                   ::Orvik::Tilo::Tilo2::Printer::LineStyle style);
  void AddPageRectangle(int32_t x1, int32_t y1, int32_t x2, int32_t y2,
                        ::Orvik::Tilo::Tilo2::Printer::LineStyle style);
  void AddCut(::Orvik::Tilo::Tilo2::Printer::Cut type);
  void AddPulse(::Orvik::Tilo::Tilo2::Printer::Drawer drawer,
                ::Orvik::Tilo::Tilo2::Printer::Pulse time);
  // At least one byte; copied at the call.
  void AddCommand(std::span<const uint8_t> data);

  // Device service only; a direct connection answers ErrUnsupported. Timeouts
  // -2 or 0..600000 ms.
  IAsyncAction ForceRecoverAsync(int32_t timeout);
  IAsyncAction ForcePulseAsync(::Orvik::Tilo::Tilo2::Printer::Drawer drawer,
                               ::Orvik::Tilo::Tilo2::Printer::Pulse time, int32_t timeout);
  IAsyncAction ForceResetAsync(int32_t timeout);

  // The status-monitor interval in ms (3000 until set); the getter writes no log
  // line. The setter takes -2 or 1000..60000 and hands it to the record at
  // once; the owner hands it again after every successful connect.
  int32_t Interval() const noexcept;
  void Interval(int32_t interval);

  // "Orvik::Tilo::Tilo2::Printer::CommonPrinter::" + member.
  static constexpr char kLogPrefix[] = "Orvik::Tilo::Tilo2::Printer::CommonPrinter::";

 private:
  CommonPrinter() = default;

  // The record, or ErrFailure.
  TdcPrinter_t& EnsureHandle() const;

  // What an asynchronous operation holds until it ends: this object and the owner.
  struct Keep {
    std::shared_ptr<const CommonPrinter> self;
    std::shared_ptr<const ::Orvik::Tilo::Tilo2::Object> owner;
    bool ownerLost = false;  // an owner was set and has expired
  };
  Keep KeepAlive() const;

  std::atomic<TdcPrinter_t*> record_{nullptr};
  std::atomic<int32_t> interval_{kDefaultInterval};
  std::weak_ptr<const ::Orvik::Tilo::Tilo2::Object> owner_;
  bool ownerSet_ = false;
};

// The image path's conversion: premultiplied BGRA8 (width * height * 4 bytes
// of `source`) onto a white background as BGR (width * height * 3 bytes of
// `out`): each channel c of a pixel with alpha a becomes c + 255 - a, capped at
// 255 so that straight-alpha input (c > a) cannot wrap to a dark colour.
// ErrParameter for a width or height below 1 or a span too small.
void FlattenBgraOnWhite(std::span<const uint8_t> source, int32_t width, int32_t height,
                        std::span<uint8_t> out);

}  // namespace tilo2::core
