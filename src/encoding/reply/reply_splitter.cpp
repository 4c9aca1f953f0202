// Reply stream splitter: scans the remainder and the new chunk as one joined
// stream without copying them together; only a packet that begins in the
// remainder is copied before it is handed over.

#include "encoding/reply/reply_splitter.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "encoding/alloc_hook.h"

namespace tilo2::core {

namespace {

// Remainder followed by the new bytes, addressed as one sequence.
class JoinedStream {
 public:
  JoinedStream(const uint8_t* kept, size_t keptLen, const uint8_t* fresh, size_t freshLen)
      : kept_(kept), keptLen_(keptLen), fresh_(fresh), total_(keptLen + freshLen) {}

  size_t Total() const { return total_; }
  size_t KeptLength() const { return keptLen_; }
  uint8_t At(size_t i) const { return i < keptLen_ ? kept_[i] : fresh_[i - keptLen_]; }
  const uint8_t* Fresh(size_t i) const { return fresh_ + (i - keptLen_); }

  void Copy(size_t from, size_t count, uint8_t* dst) const {
    if (from < keptLen_) {
      size_t n = keptLen_ - from < count ? keptLen_ - from : count;
      std::memcpy(dst, kept_ + from, n);
      dst += n;
      from += n;
      count -= n;
    }
    if (count != 0) std::memcpy(dst, fresh_ + (from - keptLen_), count);
  }

  // Index of the first 00h at or after `from`, Total() when there is none.
  // Scans start at non-decreasing positions, so the last answer is reused
  // while it still holds: a NUL that never comes costs one pass, not one per
  // dropped byte.
  size_t FindZero(size_t from) {
    if (zeroValid_ && zeroFrom_ <= from && from <= zeroAt_) return zeroAt_;
    zeroFrom_ = from;
    zeroAt_ = ScanZero(from);
    zeroValid_ = true;
    return zeroAt_;
  }

 private:
  size_t ScanZero(size_t from) const {
    if (from < keptLen_) {
      if (const void* z = std::memchr(kept_ + from, 0, keptLen_ - from))
        return static_cast<size_t>(static_cast<const uint8_t*>(z) - kept_);
      from = keptLen_;
    }
    if (from < total_) {
      if (const void* z = std::memchr(fresh_ + (from - keptLen_), 0, total_ - from))
        return keptLen_ + static_cast<size_t>(static_cast<const uint8_t*>(z) - fresh_);
    }
    return total_;
  }

  const uint8_t* kept_;
  size_t keptLen_;
  const uint8_t* fresh_;
  size_t total_;
  bool zeroValid_ = false;
  size_t zeroFrom_ = 0;
  size_t zeroAt_ = 0;
};

enum class Step { Deliver, Incomplete, NoMatch };

struct Match {
  Step step;
  int kind = 0;
  size_t length = 0;
};

bool In40To7F(uint8_t b) { return b >= 0x40 && b <= 0x7F; }

// Status blocks of kinds 0, 1 and 2: four bytes checked as far as they came.
Match MatchStatusBlock(const JoinedStream& s, size_t p, int kind) {
  size_t avail = s.Total() - p;
  size_t have = avail < 4 ? avail : 4;
  for (size_t i = 1; i < have; ++i) {
    uint8_t b = s.At(p + i);
    bool ok = kind == kPrnReplyAutoStatus ? (b & 0x90) == 0 : (i < 3 ? In40To7F(b) : b == 0x00);
    if (!ok) return {Step::NoMatch};
  }
  if (have < 4) return {Step::Incomplete};
  return {Step::Deliver, kind, 4};
}

Match MatchNulBlock(JoinedStream& s, size_t p, int kind, size_t searchFrom) {
  size_t z = s.FindZero(p + searchFrom);
  if (z >= s.Total()) return {Step::Incomplete};
  return {Step::Deliver, kind, z - p + 1};
}

Match MatchAt(JoinedStream& s, size_t p) {
  const size_t avail = s.Total() - p;
  const uint8_t b0 = s.At(p);

  int statusKind = (b0 & 0x93) == 0x10 ? kPrnReplyAutoStatus
                   : b0 == 0x39        ? kPrnReplyBlock9
                   : b0 == 0x35        ? kPrnReplyBlock5
                                       : -1;
  if (statusKind >= 0) {
    Match m = MatchStatusBlock(s, p, statusKind);
    // None of the later forms starts with these bytes, so a failed block is dropped.
    return m;
  }
  if ((b0 & 0x93) == 0x12) return {Step::Deliver, kPrnReplyRealtimeByte, 1};
  if ((b0 & 0x90) == 0) return {Step::Deliver, kPrnReplyStatusByte, 1};
  if (b0 == 0x5F) return MatchNulBlock(s, p, kPrnReplyUnderscore, 1);

  int headerKind = b0 == 0x37   ? kPrnReplySeven
                   : b0 == 0x3B ? kPrnReplySemicolon
                   : b0 == 0x3D ? kPrnReplyEquals
                   : b0 == 0x7B ? kPrnReplyBrace
                                : -1;
  if (headerKind >= 0) {
    if (avail <= 2) return {Step::Incomplete};
    if (s.At(p + 1) == 0x00) return {Step::NoMatch};
    return MatchNulBlock(s, p, headerKind, 2);
  }
  if (b0 == 0x53) {
    if (avail < 5) return {Step::Incomplete};
    size_t len = s.At(p + 3) + 256u * s.At(p + 4);
    // A zero length never completes: no match, so it cannot stall the stream.
    if (len == 0) return {Step::NoMatch};
    if (len + 5 > avail) return {Step::Incomplete};
    return {Step::Deliver, kPrnReplyS, len + 5};
  }
  return {Step::NoMatch};
}

// Stores joined[from, total) as the new remainder, reusing the old block when
// the tail fits in it. 0, or 3 with the remainder emptied.
int KeepTail(PrnReplyRemainder_t* rem, const JoinedStream& s, size_t from) {
  size_t tail = s.Total() - from;
  if (tail == 0) {
    PrnReplyRemainderFree(rem);
    return 0;
  }
  size_t oldLen = static_cast<size_t>(rem->length);
  if (rem->bytes != nullptr && tail <= oldLen) {
    // The kept part of the old block lies at or after `from`, so moving it
    // down first never overwrites bytes still to be moved.
    size_t fromKept = from < oldLen ? oldLen - from : 0;
    if (fromKept != 0) std::memmove(rem->bytes, rem->bytes + from, fromKept);
    size_t freshFrom = from < oldLen ? oldLen : from;
    if (tail > fromKept) std::memcpy(rem->bytes + fromKept, s.Fresh(freshFrom), tail - fromKept);
    rem->length = static_cast<int32_t>(tail);
    return 0;
  }
  auto* block = static_cast<uint8_t*>(EncodingAlloc(tail));
  if (block == nullptr) {
    PrnReplyRemainderFree(rem);
    return 3;
  }
  s.Copy(from, tail, block);
  PrnReplyRemainderFree(rem);
  rem->bytes = block;
  rem->length = static_cast<int32_t>(tail);
  return 0;
}

}  // namespace

void PrnReplyRemainderFree(PrnReplyRemainder_t* remainder) {
  if (remainder == nullptr) return;
  std::free(remainder->bytes);
  remainder->bytes = nullptr;
  remainder->length = 0;
}

int PrnReplyRemainderCopy(PrnReplyRemainder_t* dst, const PrnReplyRemainder_t* src) {
  if (dst == nullptr || src == nullptr) return 1;
  dst->bytes = nullptr;
  dst->length = 0;
  if (src->bytes == nullptr || src->length <= 0) return 0;
  auto* block = static_cast<uint8_t*>(EncodingAlloc(static_cast<size_t>(src->length)));
  if (block == nullptr) return 3;
  std::memcpy(block, src->bytes, static_cast<size_t>(src->length));
  dst->bytes = block;
  dst->length = src->length;
  return 0;
}

int PrnSplitReplyStream(PrnReplyRemainder_t* remainder, const uint8_t* bytes, uint32_t length,
                        PrnReplyHandler handler, void* user) {
  if (remainder == nullptr || bytes == nullptr || handler == nullptr) return 1;
  if (remainder->length < 0 || (remainder->length > 0 && remainder->bytes == nullptr)) return 1;
  // The remainder's length is an i32; a chunk this large cannot come from a read.
  if (length > static_cast<uint32_t>(INT32_MAX) - static_cast<uint32_t>(remainder->length))
    return 1;

  JoinedStream s(remainder->bytes, static_cast<size_t>(remainder->length), bytes, length);
  const size_t total = s.Total();
  size_t p = 0;
  while (p < total) {
    Match m = MatchAt(s, p);
    // A NUL-terminated block longer than the remainder may hold is dropped
    // even when its end is at hand: fed in smaller reads it would have been
    // given up before the end came, and the packets must not depend on that.
    if (m.step == Step::NoMatch || (m.step == Step::Deliver && m.length > kPrnReplyRemainderMax)) {
      ++p;
      continue;
    }
    if (m.step == Step::Incomplete) {
      // A packet longer than the largest possible one never completes; give
      // up its first byte so later status and job-end packets still arrive.
      if (total - p > kPrnReplyRemainderMax) {
        ++p;
        continue;
      }
      break;
    }
    if (p >= s.KeptLength()) {
      handler(m.kind, s.Fresh(p), static_cast<uint32_t>(m.length), user);
    } else {
      auto* copy = static_cast<uint8_t*>(EncodingAlloc(m.length));
      if (copy == nullptr) {
        // Keep the packet and what follows for the next call rather than lose it.
        KeepTail(remainder, s, p);
        return 3;
      }
      s.Copy(p, m.length, copy);
      handler(m.kind, copy, static_cast<uint32_t>(m.length), user);
      std::free(copy);
    }
    p += m.length;
  }
  return KeepTail(remainder, s, p);
}

}  // namespace tilo2::core
