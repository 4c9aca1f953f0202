#include "component/device_information.h"

#include <sys/utsname.h>

#include <atomic>
#include <fstream>
#include <iterator>
#include <mutex>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "component/test_hooks.h"

namespace tilo2::core {

namespace {

struct Sources {
  std::vector<std::string> osReleasePaths{std::begin(kOsReleasePaths), std::end(kOsReleasePaths)};
  std::string productNamePath = kProductNamePath;
};

std::mutex& InformationMutex() {
  static std::mutex mutex;
  return mutex;
}
Sources& CurrentSources() {
  static Sources sources;
  return sources;
}
// Set by tests to stand in for the whole read; null reads the sources.
std::atomic<DeviceInformationProvider> gProvider{nullptr};

std::shared_ptr<const DeviceInformation>& Cached() {
  static std::shared_ptr<const DeviceInformation> cached;
  return cached;
}

std::optional<std::string> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return std::nullopt;
  return text;
}

std::string_view Trim(std::string_view text) {
  constexpr std::string_view kSpace = " \t\r\n\v\f";
  const size_t first = text.find_first_not_of(kSpace);
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(kSpace);
  return text.substr(first, last - first + 1);
}

// Cuts to at most kDeviceInformationTextMax bytes, backing off to the start of a
// UTF-8 sequence so the text stays well-formed.
std::string Cut(std::string_view text) {
  if (text.size() <= kDeviceInformationTextMax) return std::string(text);
  size_t end = kDeviceInformationTextMax;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return std::string(text.substr(0, end));
}

// The value of PRETTY_NAME in os-release's shell-like syntax: quotes removed,
// backslash escapes resolved.
std::optional<std::string> PrettyName(const std::string& osRelease) {
  constexpr std::string_view kKey = "PRETTY_NAME=";
  size_t lineStart = 0;
  while (lineStart < osRelease.size()) {
    size_t lineEnd = osRelease.find('\n', lineStart);
    if (lineEnd == std::string::npos) lineEnd = osRelease.size();
    const std::string_view line =
        Trim(std::string_view(osRelease).substr(lineStart, lineEnd - lineStart));
    lineStart = lineEnd + 1;
    if (line.substr(0, kKey.size()) != kKey) continue;
    std::string_view value = line.substr(kKey.size());
    std::string out;
    char quote = 0;
    if (!value.empty() && (value.front() == '"' || value.front() == '\'')) {
      quote = value.front();
      value.remove_prefix(1);
    }
    for (size_t i = 0; i < value.size(); ++i) {
      const char c = value[i];
      if (c == quote) break;
      if (c == '\\' && quote != '\'' && i + 1 < value.size()) {
        out.push_back(value[++i]);
        continue;
      }
      out.push_back(c);
    }
    return out;
  }
  return std::nullopt;
}

std::string OperatingSystem(const std::vector<std::string>& osReleasePaths) {
  for (const std::string& path : osReleasePaths) {
    const std::optional<std::string> text = ReadFile(path);
    if (!text) continue;
    std::optional<std::string> name = PrettyName(*text);
    if (name && !name->empty()) return *name;
  }
  struct utsname names {};
  if (uname(&names) != 0) return {};
  return std::string(names.sysname) + " " + names.release;
}

std::shared_ptr<const DeviceInformation> Read(const Sources& sources) {
  auto information = std::make_shared<DeviceInformation>();
  information->operatingSystem = Cut(OperatingSystem(sources.osReleasePaths));
  if (std::optional<std::string> product = ReadFile(sources.productNamePath)) {
    information->systemProductName = Cut(Trim(*product));
  }
  return information;
}

}  // namespace

std::shared_ptr<const DeviceInformation> GetDeviceInformation() {
  if (const DeviceInformationProvider provider = gProvider.load(std::memory_order_acquire)) {
    return provider();
  }
  std::lock_guard<std::mutex> lock(InformationMutex());
  if (!Cached()) Cached() = Read(CurrentSources());
  return Cached();
}

void TiloComponentSetDeviceInformationSources(std::string osReleasePath,
                                              std::string productNamePath) {
  std::lock_guard<std::mutex> lock(InformationMutex());
  Sources sources;
  if (!osReleasePath.empty()) sources.osReleasePaths = {std::move(osReleasePath)};
  if (!productNamePath.empty()) sources.productNamePath = std::move(productNamePath);
  CurrentSources() = std::move(sources);
  Cached().reset();
}

void TiloComponentSetDeviceInformationProvider(DeviceInformationProvider provider) {
  gProvider.store(provider, std::memory_order_release);
}

}  // namespace tilo2::core
