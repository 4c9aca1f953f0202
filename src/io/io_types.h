#pragma once
// Types shared by every direct connection: the connection record, its kind,
// the result codes of the connection layer, and the records of discovery.

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "foundation/platform.h"

namespace tilo2::core {

// Result of every operation of the connection layer and the control protocol.
enum TiloIoResult : int {
  TILOIO_SUCCESS = 0,
  TILOIO_PARAMETER_ERROR = 1,
  TILOIO_CONNECT_ERROR = 2,
  TILOIO_IO_ERROR = 3,
  TILOIO_TIMEOUT = 4,
  TILOIO_OUT_OF_MEMORY = 5,
  TILOIO_ILLEGAL_STATE = 6,
  TILOIO_BUSY = 7,
  TILOIO_PROBE_FAILED = 9,  // only from TiloIoCheckOnline
  TILOIO_FAILURE = 255,
};

enum TiloIoConnectionType : int {
  TILOIO_TYPE_TCP = 257,
  TILOIO_TYPE_BLUETOOTH = 258,
  TILOIO_TYPE_USB = 259,
};

// One open connection: created by the transport's open, freed by its close.
struct TiloIoConnection_t {
  int type;                     // TiloIoConnectionType
  int socket;                   // TCP: connected non-blocking socket, -1 once closed
  char* address;                // owned copy of the opened address
  void* device;                 // Bluetooth and USB: holder of the device object
  PlatformMutex_t sendLock;     // TCP: tried by writes and the close
  PlatformMutex_t receiveLock;  // TCP: tried by reads and the close
  // TCP: the peer closed or reset the link, or a write failed; cleared when
  // the link is opened again.
  std::atomic<bool> linkLost;
  // TCP: the open skipped the owner check (virtual machine); a reconnect does too.
  bool virtualEnv;
  std::atomic<bool> aborted;  // TCP: set by TiloIoAbort; reads then fail at once
};

// What the device API layer hands every backend call of the direct backend.
struct TdcBackendEnv_t {
  void* context1;
  void* context2;
  void* portContext;
  int64_t isVirtual;  // set in a virtual machine: the TCP open skips the owner check
};

// The print engine's connection kinds, as handed to the online probe.
enum : int32_t {
  TILOIO_KIND_TCP = 0,
  TILOIO_KIND_BLUETOOTH = 1,
  TILOIO_KIND_USB = 2,
};

// What the online probe needs of a print handle; the print engine fills it
// from its handle (connection kind, open connection, Bluetooth online state).
struct TiloIoProbeTarget_t {
  int32_t connectionKind;
  TiloIoConnection_t* connection;
  int32_t onlineState;
};

// Discovery.
enum : int {
  TILOIO_FINDER_UDP = 1,
  TILOIO_FINDER_BLUETOOTH = 2,
  TILOIO_FINDER_USB = 4,
  TILOIO_FINDER_ALL = 0xFFFF,
};

struct TiloIoDiscoveryRequest_t {
  int finderMask;
  char* broadcastAddress;
  int listFilter;
};

// One finder poll: five parallel arrays of n rows, owned by the finder until
// its next poll or its stop.
struct TiloIoDeviceArrays_t {
  int* connectionType;
  char** name;
  char** target;
  char** ip;
  char** mac;
};

using TiloIoFoundDeviceCallback = void (*)(int connectionType, const char* name, const char* target,
                                           const char* ip, const char* mac);

}  // namespace tilo2::core
