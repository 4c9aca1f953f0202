#include "component/api_log.h"

#include <charconv>
#include <cinttypes>
#include <cstdio>
#include <type_traits>

#include "component/device_information.h"
#include "component/local_folder.h"
#include "component/result_codes.h"
#include "foundation/log_settings.h"
#include "foundation/log_state.h"
#include "foundation/logger.h"

namespace tilo2::core {

namespace {

using ::Orvik::Tilo::Tilo2::Object;
using ::Orvik::Tilo::Tilo2::String;

constexpr char kApiTag[] = "APIIO";
constexpr char kNull[] = "null";
constexpr ErrorNumber kErrFailureNumber = 16;
// Header texts must fit the logger's 260-byte buffers with their terminator.
constexpr size_t kHeaderTextLimit = 260;

// How much of the argument text is worth rendering: below the full level the
// logger cuts a line at kLogLineMax, and at the full level it leaves out an
// argument of that length or more. Rendering stops soon after.
constexpr size_t kArgumentLimit = kLogLineMax;

void AppendHexByte(std::string& out, uint32_t value) {
  char text[16];
  const int n = std::snprintf(text, sizeof text, "0x%02X ", value);
  if (n > 0) out.append(text, static_cast<size_t>(n));
}

template <class Element>
void AppendArray(std::string& out, std::span<const Element> values, size_t limit) {
  for (const Element value : values) {
    if (out.size() > limit) return;
    AppendHexByte(out, static_cast<uint32_t>(value));
  }
}

void AppendElement(std::string& out, const LogArgument& arg, size_t limit) {
  std::visit(
      [&](const auto& value) {
        using V = std::decay_t<decltype(value)>;
        if constexpr (std::is_same_v<V, std::nullptr_t>) {
          out += kNull;
        } else if constexpr (std::is_same_v<V, String>) {
          // The runtime holds an empty string as null.
          if (value.empty()) {
            out += kNull;
          } else {
            out += value.utf8();
          }
        } else if constexpr (std::is_same_v<V, int64_t>) {
          out += std::to_string(value);
        } else if constexpr (std::is_same_v<V, bool>) {
          out += value ? "true" : "false";
        } else if constexpr (std::is_same_v<V, double>) {
          char text[32];
          const auto [end, error] = std::to_chars(text, text + sizeof text, value);
          if (error == std::errc()) out.append(text, end);
        } else if constexpr (std::is_same_v<V, LogEnum>) {
          out += value.text;
        } else if constexpr (std::is_same_v<V, Pointer>) {
          char text[24];
          std::snprintf(text, sizeof text, "0x%016" PRIXPTR,
                        reinterpret_cast<uintptr_t>(value.value));
          out += text;
        } else if constexpr (std::is_same_v<V, std::span<const uint8_t>>) {
          AppendArray(out, value, limit);
        } else if constexpr (std::is_same_v<V, std::span<const int32_t>>) {
          AppendArray(out, value, limit);
        } else {
          static_assert(std::is_same_v<V, std::shared_ptr<const Object>>);
          const std::string name = value != nullptr ? value->GetRuntimeClassName().utf8() : "";
          out += name.empty() ? kNull : name;
        }
      },
      arg);
}

}  // namespace

namespace CommonUtils {

bool ApiLogWanted() noexcept { return log_settings_snapshot().output != 0; }

std::string FormatLogArgumentsUtf8(const LogArguments& args, size_t limit) {
  std::string out = "(";
  const char* separator = "";
  for (const LogArgument& arg : args) {
    if (out.size() > limit) break;
    out += separator;
    AppendElement(out, arg, limit);
    separator = ", ";
  }
  out += ")";
  return out;
}

String FormatLogArguments(const LogArguments& args) { return String(FormatLogArgumentsUtf8(args)); }

void LogApiIn(int kind, const void* handle, const char* method, const LogArguments& args) noexcept {
  try {
    const LogSettings_t settings = log_settings_snapshot();
    if (settings.output == 0) return;
    const std::string text = FormatLogArgumentsUtf8(args, kArgumentLimit);
    log_trace_rc(kApiTag, kind, handle, 0, method, LOG_ARG_STRING, text.c_str(), LOG_ARG_END);
  } catch (...) {
  }
}

void LogApiOut(const void* handle, const char* method, int32_t result,
               const LogArguments& args) noexcept {
  try {
    const LogSettings_t settings = log_settings_snapshot();
    if (settings.output == 0) return;
    const std::string text = FormatLogArgumentsUtf8(args, kArgumentLimit);
    log_trace_rc(kApiTag, kLogApiExit, handle, result, method, LOG_ARG_STRING, text.c_str(),
                 LOG_ARG_END);
  } catch (...) {
  }
}

void LogBtInfo(const char* message, const LogArguments& args) noexcept {
  try {
    const LogSettings_t settings = log_settings_snapshot();
    if (settings.output == 0) return;
    const std::string text = FormatLogArgumentsUtf8(args, kArgumentLimit);
    log_trace_rc(kApiTag, kLogApiInfo, nullptr, 0, kConnectBtDeviceAsyncName, LOG_ARG_STRING,
                 message, LOG_ARG_STRING, text.c_str(), LOG_ARG_END);
  } catch (...) {
  }
}

String GetLocalFolderPath() { return String(LocalFolderPath()); }

void InitializeLog() {
  const std::string folder = LocalFolderPath();
  const std::shared_ptr<const DeviceInformation> information = GetDeviceInformation();
  const std::string operatingSystem = information ? information->operatingSystem : std::string();
  const std::string productName = information ? information->systemProductName : std::string();
  for (const std::string* text : {&folder, &operatingSystem, &productName}) {
    if (text->size() >= kHeaderTextLimit) throw MakeException(kErrFailureNumber);
  }
  // The folder itself may not be made yet (it is, by the first log line).
  const std::string freeBytes = std::to_string(FreeBytesOfVolume(NearestExistingPath(folder)));
  // The logger keeps what it can use; its answer changes nothing for the caller.
  log_initialize(folder.c_str(), operatingSystem.c_str(), productName.c_str(), freeBytes.c_str());
}

}  // namespace CommonUtils

}  // namespace tilo2::core
