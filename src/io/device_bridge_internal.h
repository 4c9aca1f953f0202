#pragma once
// What the bridge keeps per connection, and its exception guard; for the
// bridge itself and its tests.

#include <memory>
#include <new>

#include "io/device_errors.h"
#include "io/device_io.h"
#include "io/io_types.h"

namespace tilo2::core {

// Shared ownership of one device object; owned by the connection record.
struct IoHolder {
  std::shared_ptr<OrvikDeviceIo> device;
};

// Runs a device operation and turns whatever it throws into a result code.
template <class Operation>
int TiloIoGuarded(bool open, Operation&& operation) noexcept {
  try {
    operation();
    return TILOIO_SUCCESS;
  } catch (const hal::Cancelled&) {
    return open ? TILOIO_CONNECT_ERROR : TILOIO_IO_ERROR;
  } catch (const hal::Error& error) {
    if (open && error.hresult() == hal::kHrAccessDenied) return TILOIO_CONNECT_ERROR;
    return TiloIoHresultToResult(error.hresult());
  } catch (const std::bad_alloc&) {
    return TILOIO_OUT_OF_MEMORY;
  } catch (...) {
    return TILOIO_FAILURE;
  }
}

}  // namespace tilo2::core
