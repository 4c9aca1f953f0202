// Reply stream splitter: the packets (kind and bytes, in order) and the final
// remainder must not depend on how the stream is cut into reads. The input is
// split at boundaries derived from it and compared with feeding it whole; a
// copied remainder must carry on exactly as the original.
//
// Layout: byte 0 flags (bits 0-4 chunking seed, bits 5 to 7 all set: insert
// a long filler), then with the filler: filler length 65504 + byte, filler byte, insert position
// byte; then the stream.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "encoding/reply/reply_splitter.h"
#include "fuzz_input.h"

using namespace tilo2::core;

namespace {

using Bytes = std::vector<uint8_t>;

// Each packet has the form its kind names.
void CheckForm(int kind, const uint8_t* b, size_t size) {
  FUZZ_CHECK(size != 0);
  const auto nulBlock = [&](size_t bodyFrom) {
    FUZZ_CHECK(size >= bodyFrom + 1 && b[size - 1] == 0);
    FUZZ_CHECK(std::memchr(b + bodyFrom, 0, size - bodyFrom - 1) == nullptr);
    FUZZ_CHECK(size <= kPrnReplyRemainderMax);
  };
  switch (kind) {
    case kPrnReplyAutoStatus:
      FUZZ_CHECK(size == 4 && (b[0] & 0x93) == 0x10);
      for (size_t i = 1; i < 4; ++i) FUZZ_CHECK((b[i] & 0x90) == 0);
      break;
    case kPrnReplyBlock9:
    case kPrnReplyBlock5:
      FUZZ_CHECK(size == 4 && b[0] == (kind == kPrnReplyBlock9 ? 0x39 : 0x35));
      FUZZ_CHECK(b[1] >= 0x40 && b[1] <= 0x7F && b[2] >= 0x40 && b[2] <= 0x7F && b[3] == 0);
      break;
    case kPrnReplyStatusByte:
      FUZZ_CHECK(size == 1 && (b[0] & 0x90) == 0);
      break;
    case kPrnReplyRealtimeByte:
      FUZZ_CHECK(size == 1 && (b[0] & 0x93) == 0x12);
      break;
    case kPrnReplyUnderscore:
      FUZZ_CHECK(b[0] == 0x5F);
      nulBlock(1);
      break;
    case kPrnReplySemicolon:
    case kPrnReplyEquals:
    case kPrnReplySeven:
    case kPrnReplyBrace: {
      const uint8_t lead = kind == kPrnReplySemicolon ? 0x3B
                           : kind == kPrnReplyEquals  ? 0x3D
                           : kind == kPrnReplySeven   ? 0x37
                                                      : 0x7B;
      FUZZ_CHECK(b[0] == lead && size >= 3 && b[1] != 0);
      nulBlock(2);
      break;
    }
    case kPrnReplyS:
      FUZZ_CHECK(size >= 6 && b[0] == 0x53);
      FUZZ_CHECK(size == size_t{b[3]} + 256u * b[4] + 5);
      break;
    default:
      FuzzFail("unknown packet kind");
  }
}

// Packets in arrival order as a chained hash of kind, length and bytes, with
// their count: a long stream of status bytes gives tens of thousands of them
// per run, too many to keep one by one at a useful speed.
struct PacketLog {
  uint64_t hash = 1469598103934665603ull;
  size_t count = 0;
  size_t bytes = 0;
  bool operator==(const PacketLog&) const = default;

  void Add(int kind, const uint8_t* b, uint32_t length) {
    const auto mix = [this](uint64_t v) { hash = (hash ^ v) * 1099511628211ull; };
    mix(static_cast<uint64_t>(kind));
    mix(length);
    for (uint32_t i = 0; i < length; ++i) mix(b[i]);
    ++count;
    bytes += length;
  }
};

struct Run {
  PrnReplyRemainder_t rem{nullptr, 0};
  PacketLog packets;
  ~Run() { PrnReplyRemainderFree(&rem); }

  static void Record(int kind, const uint8_t* bytes, uint32_t length, void* user) {
    CheckForm(kind, bytes, length);
    static_cast<Run*>(user)->packets.Add(kind, bytes, length);
  }
  // Feeds the chunk from an exactly sized heap block, so a read past it trips
  // the address sanitizer.
  void Feed(const uint8_t* bytes, size_t length) {
    std::unique_ptr<uint8_t[]> exact(new uint8_t[length == 0 ? 1 : length]);
    if (length != 0) std::memcpy(exact.get(), bytes, length);
    FUZZ_CHECK(
        PrnSplitReplyStream(&rem, exact.get(), static_cast<uint32_t>(length), Record, this) == 0);
    FUZZ_CHECK(rem.length >= 0 && static_cast<uint32_t>(rem.length) <= kPrnReplyRemainderMax);
    FUZZ_CHECK((rem.length == 0) == (rem.bytes == nullptr));
  }
  Bytes Remainder() const { return rem.bytes ? Bytes(rem.bytes, rem.bytes + rem.length) : Bytes(); }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t flags = in.U8();
  Bytes stream;
  if ((flags & 0xE0) == 0xE0) {
    const size_t fillerLength = 65504 + in.U8();
    const uint8_t filler = in.U8();
    const uint8_t where = in.U8();
    stream = in.Rest();
    const size_t at = stream.size() * where / 256;
    stream.insert(stream.begin() + static_cast<std::ptrdiff_t>(at), fillerLength, filler);
  } else {
    stream = in.Rest();
  }

  Run whole;
  whole.Feed(stream.data(), stream.size());
  // Packets and remainder never hold more than the stream did.
  FUZZ_CHECK(whole.packets.bytes + whole.Remainder().size() <= stream.size());

  // Chunk sizes follow from the input; long streams get larger chunks so one
  // run stays fast (a byte-wise feed rescans the remainder every call).
  static const size_t kMaxChunk[] = {1, 2, 3, 7, 17, 64, 257, 4099, 70000};
  const size_t modes = sizeof kMaxChunk / sizeof kMaxChunk[0];
  size_t maxChunk = kMaxChunk[(flags & 0x1F) % modes];
  if (stream.size() > 8192 && maxChunk < 4096) maxChunk = 4096;
  FuzzRng rng(FuzzHash(data, size));
  Run chunked;
  std::unique_ptr<Run> copy;
  const size_t copyAt = stream.empty() ? 0 : rng.Next() % stream.size();
  for (size_t at = 0; at < stream.size() || at == 0;) {
    // Empty reads happen too; they must change nothing.
    const size_t n = (rng.Next() % 16 == 0) ? 0 : 1 + rng.Next() % maxChunk;
    const size_t take = n < stream.size() - at ? n : stream.size() - at;
    chunked.Feed(stream.data() + at, take);
    if (copy) copy->Feed(stream.data() + at, take);
    at += take;
    if (!copy && at >= copyAt) {
      copy = std::make_unique<Run>();
      FUZZ_CHECK(PrnReplyRemainderCopy(&copy->rem, &chunked.rem) == 0);
      FUZZ_CHECK(copy->Remainder() == chunked.Remainder());
      copy->packets = chunked.packets;  // the copy continues the same sequence
    }
    if (stream.empty()) break;
  }
  FUZZ_CHECK(chunked.packets == whole.packets);
  FUZZ_CHECK(chunked.Remainder() == whole.Remainder());
  if (copy) {
    FUZZ_CHECK(copy->packets == chunked.packets);
    FUZZ_CHECK(copy->Remainder() == chunked.Remainder());
  }
  return 0;
}
