#pragma once
// Readers of the device service's JSON answers: the device list, the port
// list and the system version. Parsing is strict: a text that is not
// well-formed JSON (truncated, a bare word, a lone surrogate) reads as no
// answer, and nothing is written to any stream. Numbers are read without the
// locale. Each reader is safe to call from any thread at once.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tilo2::core {

// One device of a device list, as the service named it.
struct TdevDeviceRecord_t {
  std::string deviceType;
  std::string deviceId;
  std::optional<std::string> modelName;  // only when the service gave a string
};

// The top level is one object (one record) or an array of objects, each with
// the string members "deviceId" and "deviceType". Nothing when the text does
// not parse or any item fails; "[]" gives an empty list.
std::optional<std::vector<TdevDeviceRecord_t>> TdevParseDeviceList(const char* text, size_t length);

// {"NativeSocket", "SSLNativeSocket"}: a number truncated to an integer; a
// member missing, not a number or outside the int32 range reads as 0.
// Nothing when the top level is not an object.
struct TdevPortList_t {
  int32_t plainPort;
  int32_t tlsPort;
};
std::optional<TdevPortList_t> TdevParsePortList(const char* text, size_t length);

// {endorsement, validation, MICR}: each 1 only when some object of the
// "Services" array carries the string "1" for its unit, item by item in
// order (a later item's other string resets it to 0; an item without the
// member leaves it). Nothing when the top level is not an object.
std::optional<std::array<uint8_t, 3>> TdevParseSystemVersion(const char* text, size_t length);

}  // namespace tilo2::core
