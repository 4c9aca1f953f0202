#pragma once
// The "APIIO" lines of the runtime classes: an entry line when a public method's
// work starts, an exit line with its result when it ends, an event line when a
// core callback raises an event, and the pairing check's information lines.
// A method's arguments appear as one rendered text, "(a, b, ...)". Nothing is
// rendered unless the logger will write the line, so a call with logging off
// costs one look at the settings.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "component/enum_info.h"
#include "orvik/tilo2/object.h"
#include "orvik/tilo2/string.h"

namespace tilo2::core {

// A native pointer in an argument list, shown as "0x" and 16 upper-case hex digits.
struct Pointer {
  const void* value;
};

// An enumeration value in an argument list: its member's name, or the
// enumeration's type name for a value without a member.
struct LogEnum {
  std::string_view text;
};

template <class E>
LogEnum EnumArgument(E value) {
  return LogEnum{EnumText(value)};
}

// One element. Byte and int arrays are views: an argument list lives only
// while its line is written, and the data it shows outlives that.
using LogArgument =
    std::variant<std::nullptr_t, ::Orvik::Tilo::Tilo2::String, int64_t, bool, double, LogEnum,
                 Pointer, std::span<const uint8_t>, std::span<const int32_t>,
                 std::shared_ptr<const ::Orvik::Tilo::Tilo2::Object>>;

// A method's arguments in declaration order; a method without arguments has an
// empty list, which renders as "()".
using LogArguments = std::vector<LogArgument>;

// Trace kinds of the lines written here.
inline constexpr int kLogApiEntry = 0;  // "->"
inline constexpr int kLogApiExit = 1;   // "<-"
inline constexpr int kLogApiEvent = 3;  // "<<"
inline constexpr int kLogApiInfo = 4;   // "-i"

// What the pairing check's information lines name as their method.
inline constexpr char kConnectBtDeviceAsyncName[] =
    "Orvik::Tilo::Tilo2::CommonUtils::ConnectBtDeviceAsync";

namespace CommonUtils {

// True when an "APIIO" line would be written now (logging is on).
bool ApiLogWanted() noexcept;

// "(" + the elements separated by ", " + ")": a string as its text (the empty
// string as "null"), null as "null", an integer in decimal, a double in its
// shortest round-trip form, a bool as "true" or "false", an enumeration as
// its member name, a Pointer as "0x" and 16 upper-case hex digits, each byte or
// int of an array as "0x%02X " (space included), an object as its runtime
// class name ("null" when it has none).
::Orvik::Tilo::Tilo2::String FormatLogArguments(const LogArguments& args);

// The same text in UTF-8. Rendering may stop once the text is longer than
// `limit` bytes: a line is cut there anyway.
std::string FormatLogArgumentsUtf8(const LogArguments& args, size_t limit = std::string::npos);

// Entry (kind 0) or event (kind 3) line. The writers never fail their caller.
void LogApiIn(int kind, const void* handle, const char* method, const LogArguments& args) noexcept;
// Exit line with result 0 or the HRESULT.
void LogApiOut(const void* handle, const char* method, int32_t result,
               const LogArguments& args) noexcept;
// Information line of the Bluetooth pairing check: the message, then the arguments.
void LogBtInfo(const char* message, const LogArguments& args) noexcept;

// The same, building the arguments with `makeArgs` only when the line will be
// written.
// A list that cannot be built (no memory) loses its line, never the caller's work.
template <class MakeArgs>
void LogApiInWith(int kind, const void* handle, const char* method,
                  const MakeArgs& makeArgs) noexcept {
  if (!ApiLogWanted()) return;
  try {
    LogApiIn(kind, handle, method, makeArgs());
  } catch (...) {
  }
}
template <class MakeArgs>
void LogApiOutWith(const void* handle, const char* method, int32_t result,
                   const MakeArgs& makeArgs) noexcept {
  if (!ApiLogWanted()) return;
  try {
    LogApiOut(handle, method, result, makeArgs());
  } catch (...) {
  }
}

// The app's local data folder, where the log lives; empty when there is none.
::Orvik::Tilo::Tilo2::String GetLocalFolderPath();

// Hands the log header values (local folder, operating system, product name,
// free bytes of the folder's volume) to the logger. Throws ErrFailure when the
// folder path or a text takes 260 bytes or more.
void InitializeLog();

}  // namespace CommonUtils

}  // namespace tilo2::core
