#pragma once
// The SDK's own log: its version text and the settings that switch logging on.
// Static only: the class has no instances.
// Threads, handlers and what a handler may call: docs/threading.md.

#include <cstdint>

#include "orvik/tilo2/enum_list.h"
#include "orvik/tilo2/export.h"
#include "orvik/tilo2/string.h"

// How long settings last: this process only, or also in the settings file
// "Tilo2LogSettings.ini" of the local folder.
#define TILO2_LOG_PERIOD_LIST(MEMBER, ROW) \
  MEMBER(Temporary, 0, 0)                  \
  MEMBER(Permanent, 1, 1)

// Where lines go: nowhere, the log file in the local folder, or a TCP listener.
#define TILO2_LOG_OUTPUT_LIST(MEMBER, ROW) \
  MEMBER(Disable, 0, 0)                    \
  MEMBER(File, 1, 1)                       \
  MEMBER(Tcp, 2, 2)

// Normal cuts each line at 1024 characters; Full keeps whole lines.
#define TILO2_LOG_LEVEL_LIST(MEMBER, ROW) \
  MEMBER(Normal, 0, 0)                    \
  MEMBER(Full, 255, 255)

namespace Orvik::Tilo::Tilo2 {

enum class LogPeriod : int32_t { TILO2_LOG_PERIOD_LIST(TILO2_ENUM_MEMBER, TILO2_ENUM_NO_ROW) };
enum class LogOutput : int32_t { TILO2_LOG_OUTPUT_LIST(TILO2_ENUM_MEMBER, TILO2_ENUM_NO_ROW) };
enum class LogLevel : int32_t { TILO2_LOG_LEVEL_LIST(TILO2_ENUM_MEMBER, TILO2_ENUM_NO_ROW) };

class TILO2_EXPORT Log {
 public:
  Log() = delete;

  // "Ver.2.7.0" for this release; never throws (an empty string if the text
  // cannot be made).
  static String GetSdkVersion();

  // Applies the settings process-wide. Throws RuntimeException with
  // ErrorStatus::ErrParameter for a value outside its enumeration, a port
  // above 65535 or below 0, a logSize outside 1 to 50 (MB, at both levels), or
  // an empty or unusable ipAddress with output Tcp (the address is used only
  // then): nothing is applied. Throws ErrorStatus::ErrFailure when there is no
  // local folder (nothing applied) or when a Permanent settings file cannot be
  // written (the settings apply for this process all the same).
  static void SetLogSettings(LogPeriod period, LogOutput output, const String& ipAddress,
                             int32_t port, int32_t logSize, LogLevel logLevel);
};

}  // namespace Orvik::Tilo::Tilo2
