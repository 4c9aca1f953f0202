#pragma once
// The emulator's own reading of control datagrams on port 3289 and the
// printer's answers to them. Written apart from the SDK's client code, so a
// test against the emulator checks the client against an independent peer.

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "printer_state.h"

namespace printer_emulator {

inline constexpr size_t kKdpxHeaderSize = 14;
inline constexpr uint32_t kClientAddressQuery = 0x03000017;
// The two queries of a discovery, both of type 'Q' with no payload: the name
// (answered with five zero bytes, the name and a NUL) and the MAC (answered
// with a zero byte, the six MAC bytes, a zero byte and a flags byte whose
// bit 2 means DHCP).
inline constexpr uint32_t kDiscoveryNameQuery = 0x03000000;
inline constexpr uint32_t kDiscoveryMacQuery = 0x00000010;
inline constexpr uint8_t kDiscoveryDhcpFlag = 0x04;

struct KdpxDatagram {
  char type = 0;
  uint32_t command = 0;
  uint16_t result = 0;
  std::vector<uint8_t> payload;
};

// A datagram of at least 14 bytes that starts with "ORVIK"; the payload is
// everything behind the header, whatever its length field says.
std::optional<KdpxDatagram> parseKdpx(std::span<const uint8_t> bytes);

// Header with the length field set to the payload's size, then the payload.
std::vector<uint8_t> encodeKdpx(const KdpxDatagram& datagram);

struct ReplyContext {
  uint32_t clientAddress = 0;  // network byte order; 0 while no data client
  uint32_t ownAddress = 0;     // network byte order
};

// The printer's answer to a request, or nothing when a printer would stay
// silent (unknown request, MAC query for another printer).
std::optional<KdpxDatagram> answerKdpx(const KdpxDatagram& request, PrinterState& state,
                                       const ReplyContext& context);

}  // namespace printer_emulator
