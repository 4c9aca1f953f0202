#pragma once
// The scripted client's test interface for keyboards, barcode scanners,
// simple serial devices and message boxes: which notifiers a handle or box
// has installed, its prefix set, and calls of the layer's notifiers on a
// thread of the fake, as the client's receive thread makes them.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "service_fake/fake_service.h"

namespace tilo2::fake {

// Notifier slots of keyboard, scanner and serial handles in IsInstalled.
inline constexpr int kKeyPressSlot = 0;
inline constexpr int kStringSlot = 1;
inline constexpr int kDataSlot = 0;  // scanner and serial data

// The keyboard handle's prefix set as the client keeps it.
std::string PrefixOf(const void* handle);
// Whether a live box entry has its receive notifier installed.
bool IsReceiveInstalled(const core::TdevCommBoxEntry_t* entry);
// The member id a live entry was opened with ("" for none).
std::string MemberOf(const core::TdevCommBoxEntry_t* entry);
// Whether the entry is open (false for a closed or unknown one).
bool IsBoxOpen(const core::TdevCommBoxEntry_t* entry);

// One message as the client hands it over; nullopt is a null string.
struct Message {
  std::optional<std::string> senderId;
  std::optional<std::string> receiverId;
  std::optional<std::string> message;
};

// Each Fire* calls the layer's notifier on a new thread of the fake and
// returns once it returned (wait false: at once; see WaitIdle). False, and
// nothing called, when the handle or entry is not live or its notifier is
// not installed. Texts and bytes live on the fake's heap only for the call.
bool FireKeyPress(const void* handle, int32_t keyCode, std::optional<std::string> text,
                  bool wait = true);
bool FireReadString(const void* handle, std::optional<std::string> text, int32_t prefix);
bool FireScanData(const void* handle, std::optional<std::string> data);
// nullData: the bytes pointer is null (count still passed).
bool FireSerialData(const void* handle, const std::vector<uint8_t>& bytes, bool nullData = false);
// A history reply: nullItems passes a null array with the given count.
bool FireCommHistory(const core::TdevCommBoxEntry_t* entry, int32_t code,
                     const std::vector<Message>& items, int32_t sequence, bool nullItems = false,
                     int32_t count = -1);
bool FireCommSendResult(const core::TdevCommBoxEntry_t* entry, int32_t code, int32_t count,
                        int32_t sequence);
// nullMessage: the message pointer itself is null.
bool FireCommReceive(const core::TdevCommBoxEntry_t* entry, const Message& message,
                     bool nullMessage = false);

// The string pointers of the items of the last history or receive call,
// freed since; a layer that kept them would show under AddressSanitizer.
std::vector<const void*> LastItemPointers();

}  // namespace tilo2::fake
