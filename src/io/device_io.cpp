#include "io/device_io.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>

#include "foundation/lock_guard.h"
#include "foundation/logger.h"
#include "io/device_errors.h"
#include "io/io_types.h"

namespace tilo2::core {

namespace {

constexpr const char* kSource = "core\\tiloprint\\MobileIO\\OrvikDeviceIo";

using Clock = std::chrono::steady_clock;

[[noreturn]] void Fail(int result) { std::rethrow_exception(TiloIoResultToException(result)); }

}  // namespace

void ObserveException(int code) {
  try {
    throw;
  } catch (const hal::Cancelled&) {
    throw;
  } catch (const hal::Error& error) {
    if (TiloIoIsKeptHresult(error.hresult())) throw;
    Fail(code);
  } catch (const std::bad_alloc&) {
    Fail(TILOIO_OUT_OF_MEMORY);
  } catch (const std::exception&) {
    Fail(TILOIO_FAILURE);
  } catch (...) {
    Fail(code);
  }
}

OrvikDeviceIo::OrvikDeviceIo() {
  platform_mutex_init(&streamsLock_);
  platform_mutex_init(&bufferLock_);
}

OrvikDeviceIo::~OrvikDeviceIo() {
  // A device dropped without Close still must not leave its thread running.
  try {
    Close();
  } catch (...) {
  }
  platform_mutex_destroy(&bufferLock_);
  platform_mutex_destroy(&streamsLock_);
}

void OrvikDeviceIo::Open(const std::string&, int) {}

void OrvikDeviceIo::Open(const std::string& address) { Open(address, 15000); }

void OrvikDeviceIo::Control(const std::string&, int) {}

void OrvikDeviceIo::GetStatus(const std::string&, const std::shared_ptr<int>&) {}

void OrvikDeviceIo::BeginOpen(const std::string& address) {
  address_ = address;
  {
    const PlatformLockGuard lock(bufferLock_);
    received_.clear();
  }
  connectionLost_ = false;
}

void OrvikDeviceIo::StartReceiving(std::shared_ptr<hal::InputStream> reader,
                                   std::shared_ptr<hal::OutputStream> writer) {
  const PlatformLockGuard lock(streamsLock_);
  reader_ = std::move(reader);
  writer_ = std::move(writer);
  if (!reader_) return;
  // A receive thread of an earlier link has ended with that link; reap it.
  if (receiver_.joinable()) receiver_.join();
  receiver_ = std::thread(&OrvikDeviceIo::ReceiveLoop, this, reader_);
}

void OrvikDeviceIo::ReceiveLoop(std::shared_ptr<hal::InputStream> reader) {
  uint8_t chunk[kReceiveBufferBytes];
  try {
    for (;;) {
      const size_t n = reader->Load(chunk, sizeof chunk);
      if (n == 0) break;  // the peer ended the stream
      const PlatformLockGuard lock(bufferLock_);
      const bool stopping = closing_;
      // The newest bytes win: a reader that falls behind loses the oldest.
      while (!received_.empty() && received_.size() + n > kReceiveBufferBytes) {
        received_.pop_front();
      }
      const size_t keep = std::min(n, kReceiveBufferBytes);
      received_.insert(received_.end(), chunk + (n - keep), chunk + n);
      receivedTotal_ += n;
      if (stopping) break;
    }
  } catch (const hal::Cancelled&) {
    // Close unblocked the load.
  } catch (...) {
    log_error_line("ERROR", kSource, __LINE__);
  }
  connectionLost_ = true;
}

void OrvikDeviceIo::Close() {
  std::shared_ptr<hal::InputStream> reader;
  std::shared_ptr<hal::OutputStream> writer;
  std::thread receiver;
  {
    const PlatformLockGuard lock(streamsLock_);
    reader = std::move(reader_);
    writer = std::move(writer_);
    receiver = std::move(receiver_);
    reader_.reset();
    writer_.reset();
  }
  // The receive thread goes first: nothing may load from a released stream.
  if (reader) reader->Close();
  if (receiver.joinable()) receiver.join();
  if (writer) writer->Close();
  reader.reset();
  writer.reset();
  ReleaseTransport();
}

bool OrvikDeviceIo::Reconnect() {
  connectionLost_ = false;
  Close();
  try {
    Open(address_);
    return true;
  } catch (...) {
    platform_sleep_ms(kRetryPauseMs);
    try {
      Close();
    } catch (...) {
    }
    return false;
  }
}

void OrvikDeviceIo::Gate() {
  if (connectionLost_ && !closing_ && !Reconnect()) Fail(TILOIO_IO_ERROR);
}

std::shared_ptr<hal::OutputStream> OrvikDeviceIo::CurrentWriter() {
  const PlatformLockGuard lock(streamsLock_);
  return writer_;
}

bool OrvikDeviceIo::HasReader() {
  const PlatformLockGuard lock(streamsLock_);
  return reader_ != nullptr;
}

size_t OrvikDeviceIo::BufferedBytes() {
  const PlatformLockGuard lock(bufferLock_);
  return received_.size();
}

size_t OrvikDeviceIo::Write(const std::shared_ptr<const uint8_t[]>& data, int length, int timeoutMs,
                            int connectionType) {
  Gate();
  const std::shared_ptr<hal::OutputStream> writer = CurrentWriter();
  if (!writer) Fail(TILOIO_IO_ERROR);
  if (!data || length < 0) Fail(TILOIO_PARAMETER_ERROR);
  if (timeoutMs < 0 || timeoutMs > kMaxTimeLimitMs) Fail(TILOIO_PARAMETER_ERROR);
  if (length == 0) return 0;

  const Clock::time_point start = Clock::now();
  const hal::Deadline deadline = start + std::chrono::milliseconds(timeoutMs);
  const bool flush = connectionType != TILOIO_TYPE_USB;
  const uint8_t* bytes = data.get();
  const size_t total = static_cast<size_t>(length);
  size_t consumed = 0;
  size_t written = 0;
  while (consumed < total) {
    const size_t chunk = std::min(total - consumed, kChunkBytes);
    size_t delivered = 0;  // of this chunk: a retry sends only the rest
    bool flushed = false;
    for (;;) {
      bool failed = false;
      try {
        if (delivered < chunk) {
          const size_t n = writer->Store(bytes + consumed + delivered, chunk - delivered, deadline);
          const size_t taken = std::min(n, chunk - delivered);
          delivered += taken;
          written += taken;
        }
        if (delivered < chunk) {
          failed = true;
        } else if (flush && !flushed) {
          flushed = writer->Flush(deadline);
          failed = !flushed;
        }
      } catch (...) {
        failed = true;
      }
      if (!failed) break;
      if (Clock::now() - start > std::chrono::milliseconds(timeoutMs)) return written;
      platform_sleep_ms(kRetryPauseMs);
    }
    consumed += chunk;
  }
  return written;
}

size_t OrvikDeviceIo::Read(const std::shared_ptr<uint8_t[]>& buffer, int size, int timeoutMs) {
  Gate();
  if (!HasReader()) Fail(TILOIO_IO_ERROR);
  if (!buffer || size < 0) Fail(TILOIO_PARAMETER_ERROR);
  if (timeoutMs < 0 || timeoutMs > kMaxTimeLimitMs) Fail(TILOIO_PARAMETER_ERROR);
  if (size == 0) return 0;

  const Clock::time_point start = Clock::now();
  const auto limit = std::chrono::milliseconds(timeoutMs);
  const size_t wanted = static_cast<size_t>(size);
  size_t seen = 0;
  for (;;) {
    const size_t now = BufferedBytes();
    // Bytes came and then one poll passed without more: the answer is complete.
    if (seen != 0 && now == seen) break;
    seen = now;
    const Clock::time_point noted = Clock::now();
    if (seen >= wanted) break;
    if (noted - start >= limit) break;
    platform_sleep_ms(kReadPollMs);
  }
  const PlatformLockGuard lock(bufferLock_);
  const size_t n = std::min({wanted, seen, received_.size()});
  std::copy_n(received_.begin(), n, buffer.get());
  received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

}  // namespace tilo2::core
