// The reply splitter against a plain model of its rules, on random streams.
//
// The model keeps the unconsumed tail in a vector, appends each chunk to it
// and classifies packets one after another by their first bytes, exactly as
// the rules in reply_splitter.h read; it shares no code with the splitter
// (no joined view, no NUL-search cache, no in-place reuse of the remainder).
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "../reply_packet.h"
#include "../sanitizer_build.h"
#include "encoding/reply/reply_splitter.h"

using namespace tilo2::core;

namespace {

using reply_test::Bytes;
using reply_test::Packet;
using reply_test::str;

// ---- the model --------------------------------------------------------------

enum class Verdict { Deliver, Wait, Drop };

struct Classified {
  Verdict verdict;
  int kind = 0;
  size_t length = 0;
};

Classified Deliver(int kind, size_t length) { return {Verdict::Deliver, kind, length}; }
constexpr Classified kWait{Verdict::Wait};
constexpr Classified kDrop{Verdict::Drop};

// Four-byte block: byte i (1..3) must satisfy ok(i, b) as far as bytes came.
template <typename Ok>
Classified FourByteBlock(const uint8_t* b, size_t n, int kind, Ok ok) {
  for (size_t i = 1; i < 4 && i < n; ++i) {
    if (!ok(i, b[i])) return kDrop;
  }
  return n < 4 ? kWait : Deliver(kind, 4);
}

// Block ended by the first 00h at or after index `from`.
Classified NulEnded(const uint8_t* b, size_t n, int kind, size_t from) {
  for (size_t k = from; k < n; ++k) {
    if (b[k] == 0x00) return Deliver(kind, k + 1);
  }
  return kWait;
}

// What the n bytes starting a packet are.
Classified Classify(const uint8_t* b, size_t n) {
  const uint8_t b0 = b[0];
  if ((b0 & 0x93) == 0x10) {
    return FourByteBlock(b, n, kPrnReplyAutoStatus,
                         [](size_t, uint8_t x) { return (x & 0x90) == 0; });
  }
  if (b0 == '9' || b0 == '5') {
    return FourByteBlock(
        b, n, b0 == '9' ? kPrnReplyBlock9 : kPrnReplyBlock5,
        [](size_t i, uint8_t x) { return i == 3 ? x == 0x00 : (x >= 0x40 && x <= 0x7F); });
  }
  if ((b0 & 0x93) == 0x12) return Deliver(kPrnReplyRealtimeByte, 1);
  if ((b0 & 0x90) == 0) return Deliver(kPrnReplyStatusByte, 1);
  if (b0 == '_') return NulEnded(b, n, kPrnReplyUnderscore, 1);
  int headerKind = -1;
  switch (b0) {
    case '7':
      headerKind = kPrnReplySeven;
      break;
    case ';':
      headerKind = kPrnReplySemicolon;
      break;
    case '=':
      headerKind = kPrnReplyEquals;
      break;
    case '{':
      headerKind = kPrnReplyBrace;
      break;
    default:
      break;
  }
  if (headerKind >= 0) {
    if (n <= 2) return kWait;
    if (b[1] == 0x00) return kDrop;
    return NulEnded(b, n, headerKind, 2);
  }
  if (b0 == 'S') {
    if (n < 5) return kWait;
    const size_t length = b[3] + 256u * b[4];
    if (length == 0) return kDrop;  // could never complete
    if (length + 5 > n) return kWait;
    return Deliver(kPrnReplyS, length + 5);
  }
  return kDrop;
}

struct ModelSplitter {
  Bytes pending;
  std::vector<Packet> packets;

  void Feed(const Bytes& chunk) {
    pending.insert(pending.end(), chunk.begin(), chunk.end());
    size_t p = 0;
    while (p < pending.size()) {
      const size_t avail = pending.size() - p;
      const Classified c = Classify(&pending[p], avail);
      if (c.verdict == Verdict::Drop) {
        ++p;
      } else if (c.verdict == Verdict::Wait) {
        // A packet still incomplete beyond the longest possible one never completes.
        if (avail <= kPrnReplyRemainderMax) break;
        ++p;
      } else if (c.length > kPrnReplyRemainderMax) {
        // Longer than any packet may be: dropped even when its end is at
        // hand, as it would be when read in smaller pieces.
        ++p;
      } else {
        packets.push_back({c.kind, Bytes(pending.begin() + p, pending.begin() + p + c.length)});
        p += c.length;
      }
    }
    pending.erase(pending.begin(), pending.begin() + p);
  }
};

// ---- the real splitter ------------------------------------------------------

struct RealSplitter {
  PrnReplyRemainder_t remainder{nullptr, 0};
  std::vector<Packet> packets;

  ~RealSplitter() { PrnReplyRemainderFree(&remainder); }

  int Feed(const Bytes& chunk) {
    static const uint8_t kNothing = 0;
    return PrnSplitReplyStream(&remainder, chunk.empty() ? &kNothing : chunk.data(),
                               static_cast<uint32_t>(chunk.size()), &Record, this);
  }
  Bytes Remainder() const {
    return remainder.length > 0 ? Bytes(remainder.bytes, remainder.bytes + remainder.length)
                                : Bytes();
  }

 private:
  static void Record(int kind, const uint8_t* bytes, uint32_t length, void* user) {
    static_cast<RealSplitter*>(user)->packets.push_back({kind, Bytes(bytes, bytes + length)});
  }
};

// ---- random streams ---------------------------------------------------------

// splitmix64: fast also in unoptimised sanitizer builds, same on every platform.
class Random {
 public:
  explicit Random(uint64_t seed) : state_(seed) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  uint32_t Below(uint32_t n) { return static_cast<uint32_t>(Next() % n); }
  uint8_t Byte() { return static_cast<uint8_t>(Next()); }
  bool OneIn(uint32_t n) { return Below(n) == 0; }

 private:
  uint64_t state_;
};

// Byte that is not 00h (block bodies).
uint8_t NonZero(Random& r) { return static_cast<uint8_t>(1 + r.Below(255)); }

// Appends one piece of reply traffic; now and then a piece is broken (a bad
// byte, a missing terminator) so the drop paths run too.
void AddPiece(Random& r, Bytes& s) {
  const bool broken = r.OneIn(6);
  switch (r.Below(13)) {
    case 0: {  // automatic status
      s.push_back(static_cast<uint8_t>(0x10 | (r.Byte() & 0x6C)));
      for (int i = 0; i < 3; ++i) s.push_back(r.Byte() & 0x6F);
      if (broken) s[s.size() - 1 - r.Below(3)] |= 0x80;
      break;
    }
    case 1: {  // blocks "9" and "5"
      s.push_back(r.OneIn(2) ? '9' : '5');
      s.push_back(static_cast<uint8_t>(0x40 + r.Below(0x40)));
      s.push_back(static_cast<uint8_t>(0x40 + r.Below(0x40)));
      s.push_back(0x00);
      if (broken) s[s.size() - 1 - r.Below(3)] = r.Byte();
      break;
    }
    case 2:  // status byte
      s.push_back(r.Byte() & 0x6F);
      break;
    case 3:  // real-time status byte
      s.push_back(static_cast<uint8_t>(0x12 | (r.Byte() & 0x6C)));
      break;
    case 4: {  // job end answer
      const char* hex = "0123456789ABCDEF";
      s.insert(s.end(), {'7', '"'});
      for (int i = 0; i < 4; ++i) s.push_back(static_cast<uint8_t>(hex[r.Below(16)]));
      if (!broken) s.push_back(0x00);
      break;
    }
    case 5: {  // "_" block
      s.push_back('_');
      for (uint32_t i = r.Below(6); i > 0; --i) s.push_back(NonZero(r));
      if (!broken) s.push_back(0x00);
      break;
    }
    case 6: {  // ";", "=", "7", "{" blocks
      static constexpr uint8_t kHeads[] = {';', '=', '7', '{'};
      s.push_back(kHeads[r.Below(4)]);
      s.push_back(broken && r.OneIn(2) ? 0x00 : NonZero(r));
      for (uint32_t i = r.Below(6); i > 0; --i) s.push_back(NonZero(r));
      if (!broken) s.push_back(0x00);
      break;
    }
    case 7: {  // "S" block, length 0 when broken
      const uint32_t length = broken ? 0 : 1 + r.Below(r.OneIn(8) ? 600 : 12);
      s.insert(s.end(), {'S', r.Byte(), r.Byte(), static_cast<uint8_t>(length),
                         static_cast<uint8_t>(length >> 8)});
      for (uint32_t i = 0; i < length; ++i) s.push_back(r.Byte());
      break;
    }
    case 8:
    case 9:  // bytes with bit 7 set: never a packet start
      for (uint32_t i = 1 + r.Below(4); i > 0; --i)
        s.push_back(static_cast<uint8_t>(0x80 | r.Byte()));
      break;
    case 10:  // any byte at all
      for (uint32_t i = 1 + r.Below(4); i > 0; --i) s.push_back(r.Byte());
      break;
    case 11:  // bytes that start packets, alone
      for (uint32_t i = 1 + r.Below(3); i > 0; --i) {
        static constexpr uint8_t kStarts[] = {0x10, 0x14, '9', '5', '_', ';',
                                              '=',  '7',  '{', 'S', 0x00};
        s.push_back(kStarts[r.Below(sizeof kStarts)]);
      }
      break;
    default:  // a NUL, which ends whatever block is open
      s.push_back(0x00);
      break;
  }
}

Bytes RandomStream(Random& r) {
  Bytes s;
  for (uint32_t pieces = 1 + r.Below(12); pieces > 0; --pieces) AddPiece(r, s);
  return s;
}

// A block that never ends, longer than the remainder bound, then more traffic.
Bytes RunawayStream(Random& r) {
  Bytes s;
  if (r.OneIn(2)) AddPiece(r, s);
  s.push_back(r.OneIn(2) ? '_' : ';');
  s.push_back(0x81);
  const size_t filler = kPrnReplyRemainderMax + r.Below(3000);
  for (size_t i = 0; i < filler; ++i) s.push_back(static_cast<uint8_t>(0x80 | r.Byte()));
  for (uint32_t pieces = r.Below(6); pieces > 0; --pieces) AddPiece(r, s);
  return s;
}

// Cuts a stream into chunks of random size, empty ones included.
std::vector<Bytes> RandomChunks(Random& r, const Bytes& s, uint32_t maxChunk) {
  std::vector<Bytes> chunks;
  size_t at = 0;
  while (at < s.size()) {
    const size_t n = std::min<size_t>(s.size() - at, r.OneIn(20) ? 0 : 1 + r.Below(maxChunk));
    chunks.emplace_back(s.begin() + at, s.begin() + at + n);
    at += n;
  }
  return chunks;
}

std::string Hex(const Bytes& b, size_t max = 200) {
  std::ostringstream os;
  os << std::hex;
  for (size_t i = 0; i < b.size() && i < max; ++i) os << (i ? " " : "") << int(b[i]);
  if (b.size() > max) os << " ... (" << std::dec << b.size() << " bytes)";
  return os.str();
}

std::string Describe(const std::vector<Packet>& packets) {
  std::ostringstream os;
  for (const Packet& p : packets) os << "\n  kind " << p.kind << ": " << Hex(p.bytes, 24);
  return os.str();
}

// Streams of the main run; sanitizer builds take a tenth.
constexpr int kStreams = kSanitizerBuild ? 20'000 : 200'000;

// Feeds one stream in the given chunks to model and splitter; false with a
// message on the first difference.
::testing::AssertionResult SameAsModel(const std::vector<Bytes>& chunks) {
  ModelSplitter model;
  RealSplitter real;
  for (size_t i = 0; i < chunks.size(); ++i) {
    model.Feed(chunks[i]);
    if (int rc = real.Feed(chunks[i]); rc != 0) {
      return ::testing::AssertionFailure() << "chunk " << i << " answered " << rc;
    }
    // Compared after every chunk: a packet delivered a call late is a fault too.
    if (real.packets != model.packets || real.Remainder() != model.pending) {
      std::ostringstream chunkText;
      for (const Bytes& c : chunks) chunkText << "\n  [" << Hex(c, 48) << "]";
      return ::testing::AssertionFailure() << "after chunk " << i << " of" << chunkText.str()
                                           << "\nsplitter packets:" << Describe(real.packets)
                                           << "\nmodel packets:" << Describe(model.packets)
                                           << "\nsplitter remainder: " << Hex(real.Remainder())
                                           << "\nmodel remainder: " << Hex(model.pending);
    }
  }
  return ::testing::AssertionSuccess();
}

TEST(ReplySplitterModel, RandomStreamsInRandomChunksMatchTheModel) {
  Random r(0x5EEDC0DE2026ull);
  for (int i = 0; i < kStreams; ++i) {
    const Bytes stream = RandomStream(r);
    const std::vector<Bytes> chunks = RandomChunks(r, stream, r.OneIn(4) ? 64 : 8);
    ASSERT_TRUE(SameAsModel(chunks)) << "stream " << i;
  }
}

// Blocks that never end run into the remainder bound; how much is dropped
// then depends on where the chunks end, which the model follows call by call.
TEST(ReplySplitterModel, RunawayBlocksMatchTheModel) {
  Random r(0xB0B0CAFEull);
  for (int i = 0; i < 16; ++i) {
    const Bytes stream = RunawayStream(r);
    const std::vector<Bytes> chunks = RandomChunks(r, stream, i % 2 ? 3000 : 9000);
    ASSERT_TRUE(SameAsModel(chunks)) << "stream " << i;
  }
}

// The model itself: below the bound, how a stream is cut must not matter.
TEST(ReplySplitterModel, ModelIgnoresWhereChunksEnd) {
  Random r(42);
  for (int i = 0; i < 2000; ++i) {
    const Bytes stream = RandomStream(r);
    ModelSplitter whole, cut;
    whole.Feed(stream);
    for (const Bytes& c : RandomChunks(r, stream, 5)) cut.Feed(c);
    ASSERT_EQ(cut.packets, whole.packets) << "stream " << i;
    ASSERT_EQ(cut.pending, whole.pending) << "stream " << i;
  }
}

}  // namespace
