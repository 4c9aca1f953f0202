// Control protocol replies: the check that a received datagram answers the
// request (kdpxIsReply) and the copy of its result and payload
// (kdpxTakeReply), as the exchange runs them on every datagram it receives.
// No socket is opened. Oracle: the verdict equals the rule written out here,
// and an accepted reply hands out exactly its result field and the first
// min(capacity, payload) payload bytes, never writing past the capacity.
//
// Layout: flags (bit 0 broadcast MAC check, bit 1 make the header answer,
// bit 2 copy the MAC, bit 3 then change one byte at the position in the next
// byte, bit 4 null result, bit 5 null length), type, command (4), request
// payload length (0..63) and bytes, reply capacity (2 bytes, 0..599), then
// the received datagram.

#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "fuzz_input.h"
#include "io/kdpx.h"

using namespace tilo2::core;

namespace {

uint32_t Be32(const uint8_t* p) {
  return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | p[3];
}

bool ExpectedVerdict(const std::vector<uint8_t>& request, const std::vector<uint8_t>& got,
                     bool matchMac) {
  if (got.size() < kKdpxHeaderSize) return false;
  if (std::memcmp(got.data(), "ORVIK", 5) != 0) return false;
  if (got[5] != static_cast<uint8_t>(request[5] + 0x20)) return false;
  if (Be32(got.data() + 6) != Be32(request.data() + 6)) return false;
  if (!matchMac) return true;
  return request.size() >= 21 && got.size() >= 21 &&
         std::memcmp(got.data() + 15, request.data() + 15, 6) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in(data, size);
  const uint8_t flags = in.U8();
  const bool matchMac = flags & 1;
  const uint8_t typeByte = in.U8();
  static const char kTypes[] = {kKdpxQuery, kKdpxControl, kKdpxMacQuery};
  const char type = typeByte < 0xF0 ? kTypes[typeByte % 3] : static_cast<char>(typeByte);
  const uint32_t command = in.U32();
  const std::vector<uint8_t> payload = in.Bytes(63);
  const size_t capacity = in.U16() % 600;
  const uint8_t flipAt = (flags & 8) ? in.U8() : 0;
  std::vector<uint8_t> got = in.Rest();

  std::vector<uint8_t> request(kKdpxHeaderSize + payload.size());
  kdpxBuildDatagram(request.data(), type, command, payload.data(), payload.size());
  FUZZ_CHECK(std::memcmp(request.data(), "ORVIK", 5) == 0 &&
             request[5] == static_cast<uint8_t>(type));
  FUZZ_CHECK(Be32(request.data() + 6) == command && request[10] == 0 && request[11] == 0);
  FUZZ_CHECK(size_t{request[12]} * 256 + request[13] == payload.size());

  // Mostly-valid replies reach the payload handling; a changed byte probes
  // each field of the check.
  if ((flags & 2) && got.size() >= kKdpxHeaderSize) {
    std::memcpy(got.data(), request.data(), 10);
    got[5] = static_cast<uint8_t>(request[5] + 0x20);
  }
  if ((flags & 4) && got.size() >= 21 && request.size() >= 21)
    std::memcpy(got.data() + 15, request.data() + 15, 6);
  if ((flags & 8) && !got.empty()) got[flipAt % got.size()] ^= 0x01;

  // Exactly sized copies so a read or write past either trips the sanitizer.
  std::unique_ptr<uint8_t[]> gotExact(new uint8_t[got.empty() ? 1 : got.size()]);
  if (!got.empty()) std::memcpy(gotExact.get(), got.data(), got.size());
  std::unique_ptr<uint8_t[]> requestExact(new uint8_t[request.size()]);
  std::memcpy(requestExact.get(), request.data(), request.size());

  const bool accepted =
      kdpxIsReply(requestExact.get(), request.size(), gotExact.get(), got.size(), matchMac);
  FUZZ_CHECK(accepted == ExpectedVerdict(request, got, matchMac));
  if (!accepted && got.size() >= kKdpxHeaderSize) return 0;

  // The exchange takes only accepted replies; a short one must change nothing.
  std::unique_ptr<uint8_t[]> reply(new uint8_t[capacity == 0 ? 1 : capacity]);
  std::memset(reply.get(), 0xA5, capacity == 0 ? 1 : capacity);
  int result = -7;
  size_t length = capacity;
  kdpxTakeReply(gotExact.get(), got.size(), (flags & 16) ? nullptr : &result, reply.get(),
                (flags & 32) ? nullptr : &length);
  if (got.size() < kKdpxHeaderSize) {
    FUZZ_CHECK(result == -7 && length == capacity);
    return 0;
  }
  if (!(flags & 16))
    FUZZ_CHECK(result == ((got[10] << 8) | got[11]) && result >= 0 && result <= 0xFFFF);
  if (flags & 16) FUZZ_CHECK(result == -7);
  if (flags & 32) {
    FUZZ_CHECK(length == capacity);
    return 0;
  }
  const size_t available = got.size() - kKdpxHeaderSize;
  const size_t expected = capacity == 0 ? 0 : (capacity < available ? capacity : available);
  FUZZ_CHECK(length == expected);
  FUZZ_CHECK(expected == 0 ||
             std::memcmp(reply.get(), got.data() + kKdpxHeaderSize, expected) == 0);
  for (size_t i = expected; i < capacity; ++i) FUZZ_CHECK(reply[i] == 0xA5);
  return 0;
}
