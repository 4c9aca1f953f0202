#include "orvik/tilo2/log.h"

#include <memory>

#include "component/api_log.h"
#include "component/enum_info.h"
#include "component/result_codes.h"
#include "component/utf8_buffer.h"
#include "foundation/log_settings.h"
#include "orvik/tilo2/version.h"

namespace tilo2::core {

TILO2_DEFINE_ENUM_INFO(::Orvik::Tilo::Tilo2::LogPeriod, "Orvik.Tilo.Tilo2.LogPeriod",
                       TILO2_LOG_PERIOD_LIST);
TILO2_DEFINE_ENUM_INFO(::Orvik::Tilo::Tilo2::LogOutput, "Orvik.Tilo.Tilo2.LogOutput",
                       TILO2_LOG_OUTPUT_LIST);
TILO2_DEFINE_ENUM_INFO(::Orvik::Tilo::Tilo2::LogLevel, "Orvik.Tilo.Tilo2.LogLevel",
                       TILO2_LOG_LEVEL_LIST);

namespace {

constexpr ErrorNumber kErrParameterNumber = 1;
constexpr ErrorNumber kErrFailureNumber = 16;
constexpr uint32_t kPortMax = 65535;
// The logger allows up to 200 MB at the full level; the API keeps one limit.
constexpr int32_t kLogSizeMin = 1;
constexpr int32_t kLogSizeMax = 50;

template <class E>
int32_t ToCore(E value) {
  return CommonUtils::ConvertToCore(PairTable<E>(), static_cast<int32_t>(value));
}

}  // namespace

}  // namespace tilo2::core

namespace Orvik::Tilo::Tilo2 {

String Log::GetSdkVersion() {
  try {
    return String(Version());
  } catch (...) {
    return String();
  }
}

void Log::SetLogSettings(LogPeriod period, LogOutput output, const String& ipAddress, int32_t port,
                         int32_t logSize, LogLevel logLevel) {
  using namespace tilo2::core;
  const int32_t corePeriod = ToCore(period);
  const int32_t coreOutput = ToCore(output);
  const int32_t coreLevel = ToCore(logLevel);
  // Compared unsigned, so a negative port is out of range too.
  if (static_cast<uint32_t>(port) > kPortMax) throw CommonUtils::MakeException(kErrParameterNumber);
  if (logSize < kLogSizeMin || logSize > kLogSizeMax) {
    throw CommonUtils::MakeException(kErrParameterNumber);
  }
  const String folder = CommonUtils::GetLocalFolderPath();
  if (folder.empty()) throw CommonUtils::MakeException(kErrFailureNumber);
  const std::shared_ptr<char[]> folderUtf8 = CommonUtils::ToUtf8(folder);
  std::shared_ptr<char[]> addressUtf8;
  if (output == LogOutput::Tcp) {
    if (ipAddress.empty()) throw CommonUtils::MakeException(kErrParameterNumber);
    addressUtf8 = CommonUtils::ToUtf8(ipAddress);
  }
  CommonUtils::ThrowIfFailed(log_set_settings(folderUtf8.get(), corePeriod, coreOutput,
                                              addressUtf8.get(), port, logSize, coreLevel));
}

}  // namespace Orvik::Tilo::Tilo2
