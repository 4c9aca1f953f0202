#pragma once
// Types shared by the printer builder and the reply stream splitter.

#include <cstdint>

// Called once per reply packet; the bytes are valid only during the call.
using PrnReplyHandler = void (*)(int kind, const uint8_t* bytes, uint32_t length, void* user);

// The unconsumed tail of a printer's reply stream, owned by the builder
// between splitter calls.
struct PrnReplyRemainder_t {
  uint8_t* bytes;  // owned (std::malloc); null when empty
  int32_t length;
};
