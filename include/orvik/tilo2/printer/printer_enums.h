#pragma once
// The enumerations of the printer classes. Each comes from one list macro
// (see orvik/tilo2/enum_list.h): MEMBER(name, value, coreValue) gives the
// member, its value and the device API value it stands for, so the enum and
// its translation table cannot drift apart. Where a member stands for "use
// the printer's setting" its core value is -2, for "leave unchanged" -1, and
// for "the printer did not say" (status values) -3.
// Threads, handlers and what a handler may call: docs/threading.md.

#include <cstdint>

#include "orvik/tilo2/enum_list.h"

// ---- Construction -----------------------------------------------------------

#define TILO2_PRINTER_SERIES_LIST(MEMBER, ROW) \
  MEMBER(RP_k2, 0, 0)                          \
  MEMBER(RP_k4, 1, 1)                          \
  MEMBER(RP_M3, 2, 2)                          \
  MEMBER(RP_M5, 3, 3)                          \
  MEMBER(RP_M5B, 4, 4)                         \
  MEMBER(RP_M7, 5, 5)                          \
  MEMBER(RP_S3, 6, 6)                          \
  MEMBER(RP_S5, 7, 7)                          \
  MEMBER(RP_S6, 8, 8)                          \
  MEMBER(RP_S8, 9, 9)                          \
  MEMBER(RP_S9, 10, 10)                        \
  MEMBER(RP_S11, 11, 11)                       \
  MEMBER(RP_S12, 12, 12)                       \
  MEMBER(RP_S14, 13, 13)                       \
  MEMBER(RP_S14K, 14, 14)                      \
  MEMBER(RP_D4, 15, 15)                        \
  MEMBER(RP_D6, 16, 16)                        \
  MEMBER(RP_B2, 17, 17)                        \
  MEMBER(RP_X5, 18, 18)

#define TILO2_PRINTER_MODEL_LANG_LIST(MEMBER, ROW) \
  MEMBER(Ank, 0, 0)                                \
  MEMBER(Japanese, 1, 1)                           \
  MEMBER(Chinese, 2, 2)                            \
  MEMBER(Taiwan, 3, 3)                             \
  MEMBER(Korean, 4, 4)                             \
  MEMBER(Thai, 5, 5)                               \
  MEMBER(SouthAsia, 6, 6)

// ---- Text, layout and page commands ----------------------------------------

#define TILO2_PRINTER_ALIGNMENT_LIST(MEMBER, ROW) \
  MEMBER(Left, 0, 0)                              \
  MEMBER(Center, 1, 1)                            \
  MEMBER(Right, 2, 2)                             \
  MEMBER(Default, 3, -2)

// True comes first yet stands for 1.
#define TILO2_PRINTER_ROTATE_LIST(MEMBER, ROW) \
  MEMBER(True, 0, 1)                           \
  MEMBER(False, 1, 0)                          \
  MEMBER(Default, 2, -2)

#define TILO2_PRINTER_LANG_LIST(MEMBER, ROW) \
  MEMBER(EN, 0, 0)                           \
  MEMBER(JA, 1, 1)                           \
  MEMBER(ZH_CN, 2, 2)                        \
  MEMBER(ZH_TW, 3, 3)                        \
  MEMBER(KO, 4, 4)                           \
  MEMBER(TH, 5, 5)                           \
  MEMBER(VI, 6, 6)                           \
  MEMBER(Default, 7, -2)

#define TILO2_PRINTER_FONT_LIST(MEMBER, ROW) \
  MEMBER(FontA, 0, 0)                        \
  MEMBER(FontB, 1, 1)                        \
  MEMBER(FontC, 2, 2)                        \
  MEMBER(FontD, 3, 3)                        \
  MEMBER(FontE, 4, 4)                        \
  MEMBER(Unspecified, 5, -1)                 \
  MEMBER(Default, 6, -2)

#define TILO2_PRINTER_SMOOTH_LIST(MEMBER, ROW) \
  MEMBER(True, 0, 1)                           \
  MEMBER(False, 1, 0)                          \
  MEMBER(Default, 2, -2)

// Reverse, Underline and Emphasis share these members.
#define TILO2_PRINTER_SWITCH_LIST(MEMBER, ROW) \
  MEMBER(False, 0, 0)                          \
  MEMBER(True, 1, 1)                           \
  MEMBER(Unspecified, 2, -1)                   \
  MEMBER(Default, 3, -2)
#define TILO2_PRINTER_REVERSE_LIST TILO2_PRINTER_SWITCH_LIST
#define TILO2_PRINTER_UNDERLINE_LIST TILO2_PRINTER_SWITCH_LIST
#define TILO2_PRINTER_EMPHASIS_LIST TILO2_PRINTER_SWITCH_LIST

#define TILO2_PRINTER_COLOR_LIST(MEMBER, ROW) \
  MEMBER(None, 0, 0)                          \
  MEMBER(Color1, 1, 1)                        \
  MEMBER(Color2, 2, 2)                        \
  MEMBER(Color3, 3, 3)                        \
  MEMBER(Color4, 4, 4)                        \
  MEMBER(Unspecified, 5, -1)                  \
  MEMBER(Default, 6, -2)

#define TILO2_PRINTER_DIRECTION_LIST(MEMBER, ROW) \
  MEMBER(LeftToRight, 0, 0)                       \
  MEMBER(BottomToTop, 1, 1)                       \
  MEMBER(RightToLeft, 2, 2)                       \
  MEMBER(TopToBottom, 3, 3)                       \
  MEMBER(Default, 4, -2)

#define TILO2_PRINTER_LINE_STYLE_LIST(MEMBER, ROW) \
  MEMBER(Thin, 0, 0)                               \
  MEMBER(Medium, 1, 1)                             \
  MEMBER(Thick, 2, 2)                              \
  MEMBER(ThinDouble, 3, 3)                         \
  MEMBER(MediumDouble, 4, 4)                       \
  MEMBER(ThickDouble, 5, 5)                        \
  MEMBER(Default, 6, -2)

// NoFeed comes first yet stands for 1, Feed for 0.
#define TILO2_PRINTER_CUT_LIST(MEMBER, ROW) \
  MEMBER(NoFeed, 0, 1)                      \
  MEMBER(Feed, 1, 0)                        \
  MEMBER(Reserve, 2, 2)                     \
  MEMBER(Default, 3, -2)

#define TILO2_PRINTER_DRAWER_LIST(MEMBER, ROW) \
  MEMBER(Drawer2Pin, 0, 0)                     \
  MEMBER(Drawer5Pin, 1, 1)                     \
  MEMBER(Default, 2, -2)

#define TILO2_PRINTER_PULSE_LIST(MEMBER, ROW) \
  MEMBER(Pulse100, 0, 0)                      \
  MEMBER(Pulse200, 1, 1)                      \
  MEMBER(Pulse300, 2, 2)                      \
  MEMBER(Pulse400, 3, 3)                      \
  MEMBER(Pulse500, 4, 4)                      \
  MEMBER(Default, 5, -2)

// ---- Image, barcode and symbol commands -------------------------------------

#define TILO2_PRINTER_MODE_LIST(MEMBER, ROW) \
  MEMBER(Mono, 0, 0)                         \
  MEMBER(Gray16, 1, 1)                       \
  MEMBER(HighDensity, 2, 2)                  \
  MEMBER(Default, 3, -2)

#define TILO2_PRINTER_HALFTONE_LIST(MEMBER, ROW) \
  MEMBER(Dither, 0, 0)                           \
  MEMBER(ErrorDiffusion, 1, 1)                   \
  MEMBER(Threshold, 2, 2)                        \
  MEMBER(Default, 3, -2)

#define TILO2_PRINTER_COMPRESSION_LIST(MEMBER, ROW) \
  MEMBER(Deflate, 0, 0)                             \
  MEMBER(None, 1, 1)                                \
  MEMBER(Auto, 2, 2)                                \
  MEMBER(Default, 3, -2)

#define TILO2_PRINTER_BARCODE_TYPE_LIST(MEMBER, ROW) \
  MEMBER(UPC_A, 0, 0)                                \
  MEMBER(UPC_E, 1, 1)                                \
  MEMBER(EAN13, 2, 2)                                \
  MEMBER(JAN13, 3, 3)                                \
  MEMBER(EAN8, 4, 4)                                 \
  MEMBER(JAN8, 5, 5)                                 \
  MEMBER(Code39, 6, 6)                               \
  MEMBER(ITF, 7, 7)                                  \
  MEMBER(Codabar, 8, 8)                              \
  MEMBER(Code93, 9, 9)                               \
  MEMBER(Code128, 10, 10)                            \
  MEMBER(GS1_128, 11, 11)                            \
  MEMBER(GS1DatabarOmnidirectional, 12, 12)          \
  MEMBER(GS1DatabarTruncated, 13, 13)                \
  MEMBER(GS1DatabarLimited, 14, 14)                  \
  MEMBER(GS1DatabarExpanded, 15, 15)

#define TILO2_PRINTER_HRI_LIST(MEMBER, ROW) \
  MEMBER(None, 0, 0)                        \
  MEMBER(Above, 1, 1)                       \
  MEMBER(Below, 2, 2)                       \
  MEMBER(Both, 3, 3)                        \
  MEMBER(Unspecified, 4, -1)                \
  MEMBER(Default, 5, -2)

#define TILO2_PRINTER_SYMBOL_TYPE_LIST(MEMBER, ROW) \
  MEMBER(Pdf417Standard, 0, 0)                      \
  MEMBER(Pdf417Truncated, 1, 1)                     \
  MEMBER(QRCodeModel1, 2, 2)                        \
  MEMBER(QRCodeModel2, 3, 3)                        \
  MEMBER(QRCodeMicro, 4, 4)                         \
  MEMBER(MaxiCodeMode2, 5, 5)                       \
  MEMBER(MaxiCodeMode3, 6, 6)                       \
  MEMBER(MaxiCodeMode4, 7, 7)                       \
  MEMBER(MaxiCodeMode5, 8, 8)                       \
  MEMBER(MaxiCodeMode6, 9, 9)                       \
  MEMBER(GS1DataBarStacked, 10, 10)                 \
  MEMBER(GS1DataBarStackedOmnidirectional, 11, 11)  \
  MEMBER(GS1DataBarExpandedStacked, 12, 12)         \
  MEMBER(AztecCodeFullRange, 13, 13)                \
  MEMBER(AztecCodeCompact, 14, 14)                  \
  MEMBER(DataMatrixSquare, 15, 15)                  \
  MEMBER(DataMatrixRectangle8, 16, 16)              \
  MEMBER(DataMatrixRectangle12, 17, 17)             \
  MEMBER(DataMatrixRectangle16, 18, 18)

// Default comes before Unspecified here, unlike the other enumerations.
#define TILO2_PRINTER_LEVEL_LIST(MEMBER, ROW) \
  MEMBER(Level0, 0, 96)                       \
  MEMBER(Level1, 1, 97)                       \
  MEMBER(Level2, 2, 98)                       \
  MEMBER(Level3, 3, 99)                       \
  MEMBER(Level4, 4, 100)                      \
  MEMBER(Level5, 5, 101)                      \
  MEMBER(Level6, 6, 102)                      \
  MEMBER(Level7, 7, 103)                      \
  MEMBER(Level8, 8, 104)                      \
  MEMBER(LevelL, 9, 105)                      \
  MEMBER(LevelM, 10, 106)                     \
  MEMBER(LevelQ, 11, 107)                     \
  MEMBER(LevelH, 12, 108)                     \
  MEMBER(Default, 13, -2)                     \
  MEMBER(Unspecified, 14, -1)

// ---- Printer-only commands --------------------------------------------------

#define TILO2_PRINTER_PATTERN_LIST(MEMBER, ROW) \
  MEMBER(None, 0, 0)                            \
  MEMBER(PatternA, 1, 1)                        \
  MEMBER(PatternB, 2, 2)                        \
  MEMBER(PatternC, 3, 3)                        \
  MEMBER(PatternD, 4, 4)                        \
  MEMBER(PatternE, 5, 5)                        \
  MEMBER(Error, 6, 6)                           \
  MEMBER(PaperEmpty, 7, 7)                      \
  MEMBER(Pattern1, 8, 8)                        \
  MEMBER(Pattern2, 9, 9)                        \
  MEMBER(Pattern3, 10, 10)                      \
  MEMBER(Pattern4, 11, 11)                      \
  MEMBER(Pattern5, 12, 12)                      \
  MEMBER(Pattern6, 13, 13)                      \
  MEMBER(Pattern7, 14, 14)                      \
  MEMBER(Pattern8, 15, 15)                      \
  MEMBER(Pattern9, 16, 16)                      \
  MEMBER(Pattern10, 17, 17)                     \
  MEMBER(Default, 18, -2)

#define TILO2_PRINTER_FEED_LIST(MEMBER, ROW) \
  MEMBER(Peeling, 0, 0)                      \
  MEMBER(Cutting, 1, 1)                      \
  MEMBER(CurrentTOF, 2, 2)                   \
  MEMBER(NextTOF, 3, 3)

#define TILO2_PRINTER_LAYOUT_LIST(MEMBER, ROW) \
  MEMBER(Receipt, 0, 0)                        \
  MEMBER(Receipt_BM, 1, 1)                     \
  MEMBER(Label, 2, 2)                          \
  MEMBER(Label_BM, 3, 3)

// ---- Status and events ------------------------------------------------------
// Status values cross from the core by their core value; -3 is a value the
// printer did not report.

// A Printer raises only Online to BatteryEmpty (core events 0 to 11).
#define TILO2_PRINTER_EVENT_TYPE_LIST(MEMBER, ROW) \
  MEMBER(Online, 0, 0)                             \
  MEMBER(Offline, 1, 1)                            \
  MEMBER(PowerOff, 2, 2)                           \
  MEMBER(CoverClose, 3, 3)                         \
  MEMBER(CoverOpen, 4, 4)                          \
  MEMBER(PaperOk, 5, 5)                            \
  MEMBER(PaperNearEnd, 6, 6)                       \
  MEMBER(PaperEmpty, 7, 7)                         \
  MEMBER(DrawerHigh, 8, 8)                         \
  MEMBER(DrawerLow, 9, 9)                          \
  MEMBER(BatteryEnough, 10, 10)                    \
  MEMBER(BatteryEmpty, 11, 11)                     \
  MEMBER(InsertionWaitSlip, 12, 12)                \
  MEMBER(InsertionWaitValidation, 13, 13)          \
  MEMBER(InsertionWaitMicr, 14, 14)                \
  MEMBER(InsertionWaitNone, 15, 15)                \
  MEMBER(RemovalWaitPaper, 16, 16)                 \
  MEMBER(RemovalWaitNone, 17, 17)                  \
  MEMBER(SlipPaperOk, 18, 18)                      \
  MEMBER(SlipPaperEmpty, 19, 19)

// The status record's connection field is always known.
#define TILO2_PRINTER_CONNECTION_LIST(MEMBER, ROW) \
  MEMBER(True, 0, 1)                               \
  MEMBER(False, 1, 0)

// Online, CoverOpen, PaperFeed, WaitOnline, Buzzer and Adapter share these members.
#define TILO2_PRINTER_FLAG_LIST(MEMBER, ROW) \
  MEMBER(True, 0, 1)                         \
  MEMBER(False, 1, 0)                        \
  MEMBER(Unknown, 2, -3)
#define TILO2_PRINTER_ONLINE_LIST TILO2_PRINTER_FLAG_LIST
#define TILO2_PRINTER_COVER_OPEN_LIST TILO2_PRINTER_FLAG_LIST
#define TILO2_PRINTER_PAPER_FEED_LIST TILO2_PRINTER_FLAG_LIST
#define TILO2_PRINTER_WAIT_ONLINE_LIST TILO2_PRINTER_FLAG_LIST
#define TILO2_PRINTER_BUZZER_LIST TILO2_PRINTER_FLAG_LIST
#define TILO2_PRINTER_ADAPTER_LIST TILO2_PRINTER_FLAG_LIST

#define TILO2_PRINTER_PAPER_LIST(MEMBER, ROW) \
  MEMBER(Ok, 0, 0)                            \
  MEMBER(NearEnd, 1, 1)                       \
  MEMBER(Empty, 2, 2)                         \
  MEMBER(Unknown, 3, -3)

#define TILO2_PRINTER_PANEL_SWITCH_LIST(MEMBER, ROW) \
  MEMBER(On, 0, 1)                                   \
  MEMBER(Off, 1, 0)                                  \
  MEMBER(Unknown, 2, -3)

#define TILO2_PRINTER_DRAWER_STATUS_LIST(MEMBER, ROW) \
  MEMBER(High, 0, 0)                                  \
  MEMBER(Low, 1, 1)                                   \
  MEMBER(Unknown, 2, -3)

#define TILO2_PRINTER_ERROR_STATUS_LIST(MEMBER, ROW) \
  MEMBER(NoErr, 0, 0)                                \
  MEMBER(MechanicalErr, 1, 1)                        \
  MEMBER(AutoCutterErr, 2, 2)                        \
  MEMBER(UnrecoverErr, 3, 3)                         \
  MEMBER(AutoRecoverErr, 4, 4)                       \
  MEMBER(Unknown, 5, -3)

#define TILO2_PRINTER_AUTO_RECOVER_ERROR_LIST(MEMBER, ROW) \
  MEMBER(HeadOverheat, 0, 0)                               \
  MEMBER(MotorOverheat, 1, 1)                              \
  MEMBER(BatteryOverheat, 2, 2)                            \
  MEMBER(WrongPaper, 3, 3)                                 \
  MEMBER(CoverOpen, 4, 4)                                  \
  MEMBER(Unknown, 5, -3)

// Level6 is a full battery.
#define TILO2_PRINTER_BATTERY_LEVEL_LIST(MEMBER, ROW) \
  MEMBER(Level6, 0, 0)                                \
  MEMBER(Level5, 1, 1)                                \
  MEMBER(Level4, 2, 2)                                \
  MEMBER(Level3, 3, 3)                                \
  MEMBER(Level2, 4, 4)                                \
  MEMBER(Level1, 5, 5)                                \
  MEMBER(Level0, 6, 6)                                \
  MEMBER(Unknown, 7, -3)

namespace Orvik::Tilo::Tilo2::Printer {

#define TILO2_PRINTER_ENUM(Name, LIST) \
  enum class Name : int32_t { LIST(TILO2_ENUM_MEMBER, TILO2_ENUM_NO_ROW) }

TILO2_PRINTER_ENUM(Series, TILO2_PRINTER_SERIES_LIST);
TILO2_PRINTER_ENUM(ModelLang, TILO2_PRINTER_MODEL_LANG_LIST);

TILO2_PRINTER_ENUM(Alignment, TILO2_PRINTER_ALIGNMENT_LIST);
TILO2_PRINTER_ENUM(Rotate, TILO2_PRINTER_ROTATE_LIST);
TILO2_PRINTER_ENUM(Lang, TILO2_PRINTER_LANG_LIST);
TILO2_PRINTER_ENUM(Font, TILO2_PRINTER_FONT_LIST);
TILO2_PRINTER_ENUM(Smooth, TILO2_PRINTER_SMOOTH_LIST);
TILO2_PRINTER_ENUM(Reverse, TILO2_PRINTER_REVERSE_LIST);
TILO2_PRINTER_ENUM(Underline, TILO2_PRINTER_UNDERLINE_LIST);
TILO2_PRINTER_ENUM(Emphasis, TILO2_PRINTER_EMPHASIS_LIST);
TILO2_PRINTER_ENUM(Color, TILO2_PRINTER_COLOR_LIST);
TILO2_PRINTER_ENUM(Direction, TILO2_PRINTER_DIRECTION_LIST);
TILO2_PRINTER_ENUM(LineStyle, TILO2_PRINTER_LINE_STYLE_LIST);
TILO2_PRINTER_ENUM(Cut, TILO2_PRINTER_CUT_LIST);
TILO2_PRINTER_ENUM(Drawer, TILO2_PRINTER_DRAWER_LIST);
TILO2_PRINTER_ENUM(Pulse, TILO2_PRINTER_PULSE_LIST);

TILO2_PRINTER_ENUM(Mode, TILO2_PRINTER_MODE_LIST);
TILO2_PRINTER_ENUM(Halftone, TILO2_PRINTER_HALFTONE_LIST);
TILO2_PRINTER_ENUM(Compression, TILO2_PRINTER_COMPRESSION_LIST);
TILO2_PRINTER_ENUM(BarcodeType, TILO2_PRINTER_BARCODE_TYPE_LIST);
TILO2_PRINTER_ENUM(Hri, TILO2_PRINTER_HRI_LIST);
TILO2_PRINTER_ENUM(SymbolType, TILO2_PRINTER_SYMBOL_TYPE_LIST);
TILO2_PRINTER_ENUM(Level, TILO2_PRINTER_LEVEL_LIST);

TILO2_PRINTER_ENUM(Pattern, TILO2_PRINTER_PATTERN_LIST);
TILO2_PRINTER_ENUM(Feed, TILO2_PRINTER_FEED_LIST);
TILO2_PRINTER_ENUM(Layout, TILO2_PRINTER_LAYOUT_LIST);

TILO2_PRINTER_ENUM(EventType, TILO2_PRINTER_EVENT_TYPE_LIST);
TILO2_PRINTER_ENUM(Connection, TILO2_PRINTER_CONNECTION_LIST);
TILO2_PRINTER_ENUM(Online, TILO2_PRINTER_ONLINE_LIST);
TILO2_PRINTER_ENUM(CoverOpen, TILO2_PRINTER_COVER_OPEN_LIST);
TILO2_PRINTER_ENUM(Paper, TILO2_PRINTER_PAPER_LIST);
TILO2_PRINTER_ENUM(PanelSwitch, TILO2_PRINTER_PANEL_SWITCH_LIST);
TILO2_PRINTER_ENUM(PaperFeed, TILO2_PRINTER_PAPER_FEED_LIST);
TILO2_PRINTER_ENUM(WaitOnline, TILO2_PRINTER_WAIT_ONLINE_LIST);
TILO2_PRINTER_ENUM(DrawerStatus, TILO2_PRINTER_DRAWER_STATUS_LIST);
TILO2_PRINTER_ENUM(PrinterErrorStatus, TILO2_PRINTER_ERROR_STATUS_LIST);
TILO2_PRINTER_ENUM(AutoRecoverError, TILO2_PRINTER_AUTO_RECOVER_ERROR_LIST);
TILO2_PRINTER_ENUM(Buzzer, TILO2_PRINTER_BUZZER_LIST);
TILO2_PRINTER_ENUM(Adapter, TILO2_PRINTER_ADAPTER_LIST);
TILO2_PRINTER_ENUM(BatteryLevel, TILO2_PRINTER_BATTERY_LEVEL_LIST);

#undef TILO2_PRINTER_ENUM

}  // namespace Orvik::Tilo::Tilo2::Printer
