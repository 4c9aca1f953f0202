#pragma once
// The stream device I/O shared by the Bluetooth and USB transports: a derived
// class opens its transport and hands this base an input and an output
// stream; the base keeps the newest received bytes in a bounded buffer (one
// receive thread per object, blocked in a load while idle), writes in stored
// (and, on Bluetooth, flushed) chunks with retries inside a time limit,
// answers reads from the buffer, and reconnects a lost link before the next
// write or read.
//
// Failures are hal::Error with the HRESULTs of TiloIoResultToException, or
// hal::Cancelled. One caller at a time drives an object (the connection
// interface's caller serialises the calls on one connection).

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "foundation/platform.h"
#include "hal/hal.h"

namespace tilo2::core {

class OrvikDeviceIo {
 public:
  static constexpr size_t kReceiveBufferBytes = 1024;
  static constexpr size_t kChunkBytes = 4096;
  static constexpr int kMaxTimeLimitMs = 600000;
  static constexpr uint32_t kRetryPauseMs = 10;
  static constexpr uint32_t kReadPollMs = 10;

  OrvikDeviceIo();
  virtual ~OrvikDeviceIo();
  OrvikDeviceIo(const OrvikDeviceIo&) = delete;
  OrvikDeviceIo& operator=(const OrvikDeviceIo&) = delete;

  // Opens the transport at the address (the derived classes); the base's
  // opens do nothing.
  virtual void Open(const std::string& address, int timeoutMs);
  virtual void Open(const std::string& address);
  virtual void Control(const std::string& text, int value);
  virtual void GetStatus(const std::string& text, const std::shared_ptr<int>& out);

  // Stops the receive thread, then closes and releases the streams and the
  // transport, so the object can be opened again.
  void Close();
  // Bytes delivered; fewer than length when the time limit ran out.
  size_t Write(const std::shared_ptr<const uint8_t[]>& data, int length, int timeoutMs,
               int connectionType);
  // Bytes placed at the start of buffer (at most size).
  size_t Read(const std::shared_ptr<uint8_t[]>& buffer, int size, int timeoutMs);
  // Closes and opens again at the stored address; false when the open failed.
  bool Reconnect();

  void SetClosing(bool closing) { closing_ = closing; }
  bool Closing() const { return closing_; }
  bool ConnectionLost() const { return connectionLost_; }
  // Bytes received and not yet read.
  size_t BufferedBytes();
  // Bytes received since the object was made, kept or dropped.
  uint64_t ReceivedTotal() const { return receivedTotal_; }

 protected:
  // Wires the derived open's streams and starts the receive thread.
  void StartReceiving(std::shared_ptr<hal::InputStream> reader,
                      std::shared_ptr<hal::OutputStream> writer);
  // Called by Open before it enumerates: the address, an empty buffer, the
  // connection-lost flag clear.
  void BeginOpen(const std::string& address);
  // Releases what the derived transport holds (its service, socket or device);
  // runs in Close once the streams are gone.
  virtual void ReleaseTransport() {}
  const std::string& StoredAddress() const { return address_; }
  // As the receive thread does when the link ends.
  void MarkLost() { connectionLost_ = true; }

 private:
  void ReceiveLoop(std::shared_ptr<hal::InputStream> reader);
  void Gate();
  std::shared_ptr<hal::OutputStream> CurrentWriter();
  bool HasReader();

  std::string address_;
  // Guards the stream and thread fields against a Close or Reconnect swapping them.
  PlatformMutex_t streamsLock_;
  std::shared_ptr<hal::InputStream> reader_;
  std::shared_ptr<hal::OutputStream> writer_;
  std::thread receiver_;
  // Guards received_.
  PlatformMutex_t bufferLock_;
  std::deque<uint8_t> received_;
  std::atomic<uint64_t> receivedTotal_{0};
  std::atomic<bool> connectionLost_{false};
  std::atomic<bool> closing_{false};
};

// The failure mapping both transports end their operations with: a kept
// HRESULT or a cancellation passes unchanged, anything else becomes the
// exception TiloIoResultToException makes from code. Call inside a catch.
[[noreturn]] void ObserveException(int code);

}  // namespace tilo2::core
