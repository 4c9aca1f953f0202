#include "io/device_finder.h"

#include <exception>

#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "io/device_errors.h"
#include "io/device_text.h"
#include "io/io_types.h"

namespace tilo2::core {

namespace {

constexpr const char* kSource = "core\\tiloprint\\MobileIO\\OrvikDeviceFinder";

[[noreturn]] void FailAt(const char* source, int line, int result) {
  log_error_line("ERROR", source, line);
  std::rethrow_exception(TiloIoResultToException(result));
}

}  // namespace

OrvikDeviceFinder::OrvikDeviceFinder() { platform_mutex_init(&lock_); }

OrvikDeviceFinder::~OrvikDeviceFinder() {
  if (watcher_) {
    watcher_->Remove(addedToken_);
    watcher_->Remove(updatedToken_);
    watcher_->Stop();
  }
  platform_mutex_destroy(&lock_);
}

bool OrvikDeviceFinder::MatchesFilter(const ORVIKIoDevInfo& entry, int listFilter) {
  if ((entry.flags & ORVIKIoDevInfo::kComplete) != ORVIKIoDevInfo::kComplete) return false;
  if (listFilter == 1 || listFilter == -2) return matchesPrinterName(entry.name);
  return true;
}

DevInfoList OrvikDeviceFinder::GetDeviceList(int listFilter) {
  const PlatformLockGuard lock(lock_);
  if (!started_) FailAt(kSource, 39, TILOIO_ILLEGAL_STATE);
  DevInfoList copies;
  for (const auto& entry : found_) {
    if (!MatchesFilter(*entry, listFilter)) continue;
    auto copy = std::make_shared<ORVIKIoDevInfo>(*entry);
    copy->flags = 0;
    copies.push_back(std::move(copy));
  }
  return copies;
}

void OrvikDeviceFinder::AddOrUpdateDevice(int connectionType, const std::string& name,
                                          const std::string& address, const std::string& mac) {
  if (address.empty()) return;
  auto entry = std::make_shared<ORVIKIoDevInfo>();
  entry->connectionType = connectionType;
  entry->name = name;
  entry->address = address;
  entry->mac = mac;
  entry->flags = ORVIKIoDevInfo::kComplete;
  const PlatformLockGuard lock(lock_);
  for (const auto& listed : found_) {
    if (listed->address == address) return;  // the first report's name stays
  }
  found_.push_back(std::move(entry));
}

void OrvikDeviceFinder::StartWatching(const std::string& filter, const hal::Selector& selector,
                                      const Lines& lines, Handler handler) {
  const PlatformLockGuard lock(lock_);
  if (started_) FailAt(lines.source, lines.startedAlready, TILOIO_ILLEGAL_STATE);
  if (!filter.empty()) std::rethrow_exception(TiloIoResultToException(TILOIO_PARAMETER_ERROR));
  found_.clear();
  std::shared_ptr<hal::Watcher> watcher;
  try {
    watcher = hal::CreateWatcher(selector);
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    // No watcher: reported below.
  }
  if (watcher_) watcher_->Stop();
  watcher_ = std::move(watcher);
  if (!watcher_) FailAt(lines.source, lines.noWatcher, TILOIO_ILLEGAL_STATE);
  // Handlers hold the finder weakly: one still running after the finder was
  // let go finds nothing to write to.
  const auto wrap = [weak = weak_from_this(), handler](const hal::DeviceRecord& record) {
    const std::shared_ptr<OrvikDeviceFinder> finder = weak.lock();
    if (!finder) return;
    try {
      handler(*finder, record);
    } catch (...) {
      // A device that cannot be read is simply not listed.
    }
  };
  addedToken_ = watcher_->OnAdded(wrap);
  updatedToken_ = watcher_->OnUpdated(wrap);
  watcher_->Start();
  started_ = true;
}

void OrvikDeviceFinder::StopWatching(const Lines& lines) {
  std::shared_ptr<hal::Watcher> watcher;
  {
    const PlatformLockGuard lock(lock_);
    if (!started_) FailAt(lines.source, lines.notStarted, TILOIO_ILLEGAL_STATE);
    started_ = false;
    if (!watcher_) FailAt(lines.source, lines.stopNoWatcher, TILOIO_ILLEGAL_STATE);
    watcher = std::move(watcher_);
    watcher_.reset();
    watcher->Stop();
    watcher->Remove(addedToken_);
    watcher->Remove(updatedToken_);
  }
  // Released outside the lock: nothing here waits for a handler under it.
  watcher.reset();
}

}  // namespace tilo2::core
