#pragma once
// The result a completion event carries (printers, line display, message box).
// Threads, handlers and what a handler may call: docs/threading.md.

#include <cstdint>

#include "orvik/tilo2/enum_list.h"

// The core's callback codes 0 to 33 keep their number; 255 and -3 are failures.
#define TILO2_CALLBACK_CODE_LIST(MEMBER, ROW) \
  MEMBER(Success, 0, 0)                       \
  MEMBER(ErrorTimeout, 1, 1)                  \
  MEMBER(ErrorNotFound, 2, 2)                 \
  MEMBER(ErrorAutorecover, 3, 3)              \
  MEMBER(ErrorCoverOpen, 4, 4)                \
  MEMBER(ErrorCutter, 5, 5)                   \
  MEMBER(ErrorMechanical, 6, 6)               \
  MEMBER(ErrorEmpty, 7, 7)                    \
  MEMBER(ErrorUnrecoverable, 8, 8)            \
  MEMBER(ErrorSystem, 9, 9)                   \
  MEMBER(ErrorPort, 10, 10)                   \
  MEMBER(ErrorInvalidWindow, 11, 11)          \
  MEMBER(ErrorJobNotFound, 12, 12)            \
  MEMBER(Printing, 13, 13)                    \
  MEMBER(ErrorSpooler, 14, 14)                \
  MEMBER(ErrorBatteryLow, 15, 15)             \
  MEMBER(ErrorTooManyRequests, 16, 16)        \
  MEMBER(ErrorRequestEntityTooLarge, 17, 17)  \
  MEMBER(Canceled, 18, 18)                    \
  MEMBER(ErrorNoMicrData, 19, 19)             \
  MEMBER(ErrorIllegalLength, 20, 20)          \
  MEMBER(ErrorNoMagneticData, 21, 21)         \
  MEMBER(ErrorRecognition, 22, 22)            \
  MEMBER(ErrorRead, 23, 23)                   \
  MEMBER(ErrorNoiseDetected, 24, 24)          \
  MEMBER(ErrorPaperJam, 25, 25)               \
  MEMBER(ErrorPaperPulledOut, 26, 26)         \
  MEMBER(ErrorCancelFailed, 27, 27)           \
  MEMBER(ErrorPaperType, 28, 28)              \
  MEMBER(ErrorWaitInsertion, 29, 29)          \
  MEMBER(ErrorIllegal, 30, 30)                \
  MEMBER(ErrorInserted, 31, 31)               \
  MEMBER(ErrorWaitRemoval, 32, 32)            \
  MEMBER(ErrorDeviceBusy, 33, 33)             \
  MEMBER(ErrorFailure, 34, 255)               \
  ROW(34, -3)

namespace Orvik::Tilo::Tilo2 {

enum class CallbackCode : int32_t {
  TILO2_CALLBACK_CODE_LIST(TILO2_ENUM_MEMBER, TILO2_ENUM_NO_ROW)
};

}  // namespace Orvik::Tilo::Tilo2
