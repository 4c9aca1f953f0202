#pragma once
// Cuts a printer's unframed reply stream into status packets.
//
// A printer answers on the job connection with four-byte automatic status
// blocks, single status bytes, real-time status bytes and NUL-terminated or
// length-prefixed answer blocks, in chunks of any size. The splitter delivers
// each complete packet once, in arrival order; an unfinished packet is kept
// in the builder's remainder until the next chunk completes it.

#include <cstddef>
#include <cstdint>

namespace tilo2::core {

// Kinds of packets, by their first bytes.
enum PrnReplyKind : int {
  kPrnReplyAutoStatus = 0,    // 4 bytes: (b0 & 93h) = 10h, b1..b3 with (b & 90h) = 0
  kPrnReplyBlock9 = 1,        // "9" b1 b2 00, b1 and b2 in 40h..7Fh
  kPrnReplyBlock5 = 2,        // "5" b1 b2 00
  kPrnReplyStatusByte = 3,    // one byte with (b & 90h) = 0
  kPrnReplyRealtimeByte = 4,  // one byte with (b & 93h) = 12h
  kPrnReplyUnderscore = 5,    // "_" up to and including the first 00h
  kPrnReplySemicolon = 6,     // ";" b1 != 00h, up to and including the next 00h
  kPrnReplyEquals = 7,        // "=" as ";"
  kPrnReplySeven = 8,         // "7" as ";" (answer to the job trailer)
  kPrnReplyS = 9,             // "S" with a 16-bit length in b3 (low) and b4: L + 5 bytes
  kPrnReplyBrace = 10,        // "{" as ";"
};

// Called once per packet; the bytes are valid only during the call.
using PrnReplyHandler = void (*)(int kind, const uint8_t* bytes, uint32_t length, void* user);

// The unconsumed tail of the stream, owned by the builder between calls.
struct PrnReplyRemainder_t {
  uint8_t* bytes;  // owned; null when empty
  int32_t length;
};

// Longest remainder kept: the largest "S" block (65535 + 5 bytes). A packet
// that would need more can never complete, so its first byte is dropped.
inline constexpr uint32_t kPrnReplyRemainderMax = 65540;

// Splits remainder + bytes. 0; 1 for a null remainder, bytes or handler;
// 3 when memory runs out (the bytes are kept for the next call when a packet
// copy failed, lost when the remainder itself could not be stored).
int PrnSplitReplyStream(PrnReplyRemainder_t* remainder, const uint8_t* bytes, uint32_t length,
                        PrnReplyHandler handler, void* user);

// Frees the bytes and empties the record; a null record is ignored.
void PrnReplyRemainderFree(PrnReplyRemainder_t* remainder);

// Byte-for-byte copy for a duplicated builder; dst must be empty or freed.
// 0, 1 for a null argument, 3 when memory runs out (dst stays empty).
int PrnReplyRemainderCopy(PrnReplyRemainder_t* dst, const PrnReplyRemainder_t* src);

}  // namespace tilo2::core
