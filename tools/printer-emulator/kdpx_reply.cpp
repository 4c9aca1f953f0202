#include "kdpx_reply.h"

#include <algorithm>
#include <cstring>
#include <string>

namespace printer_emulator {

namespace {

constexpr char kMagic[5] = {'O', 'R', 'V', 'I', 'K'};
constexpr uint32_t kInterfaceStatusQuery = 0x03000010;
constexpr uint32_t kOnlineStatusQuery = 0x03000021;
constexpr uint32_t kInterfaceControl = 0x03000015;
constexpr uint32_t kClearConnectionTimeout = 0x03000016;
constexpr uint32_t kMacQuery = 0x00000010;
constexpr size_t kMacQueryPayload = 21;
constexpr size_t kMacReplyPayload = 23;

void putAddress(std::vector<uint8_t>& out, size_t at, uint32_t networkOrder) {
  std::memcpy(out.data() + at, &networkOrder, 4);
}

}  // namespace

std::optional<KdpxDatagram> parseKdpx(std::span<const uint8_t> bytes) {
  if (bytes.size() < kKdpxHeaderSize || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0) {
    return std::nullopt;
  }
  KdpxDatagram d;
  d.type = static_cast<char>(bytes[5]);
  d.command = (uint32_t{bytes[6]} << 24) | (uint32_t{bytes[7]} << 16) | (uint32_t{bytes[8]} << 8) |
              bytes[9];
  d.result = static_cast<uint16_t>((bytes[10] << 8) | bytes[11]);
  d.payload.assign(bytes.begin() + kKdpxHeaderSize, bytes.end());
  return d;
}

std::vector<uint8_t> encodeKdpx(const KdpxDatagram& d) {
  std::vector<uint8_t> out(kKdpxHeaderSize + d.payload.size());
  std::memcpy(out.data(), kMagic, sizeof kMagic);
  out[5] = static_cast<uint8_t>(d.type);
  out[6] = static_cast<uint8_t>(d.command >> 24);
  out[7] = static_cast<uint8_t>(d.command >> 16);
  out[8] = static_cast<uint8_t>(d.command >> 8);
  out[9] = static_cast<uint8_t>(d.command);
  out[10] = static_cast<uint8_t>(d.result >> 8);
  out[11] = static_cast<uint8_t>(d.result);
  const auto length = static_cast<uint16_t>(std::min<size_t>(d.payload.size(), 0xFFFF));
  out[12] = static_cast<uint8_t>(length >> 8);
  out[13] = static_cast<uint8_t>(length);
  std::copy(d.payload.begin(), d.payload.end(), out.begin() + kKdpxHeaderSize);
  return out;
}

std::optional<KdpxDatagram> answerKdpx(const KdpxDatagram& request, PrinterState& state,
                                       const ReplyContext& context) {
  KdpxDatagram reply;
  reply.type = static_cast<char>(request.type + 0x20);
  reply.command = request.command;

  if (request.type == 'Q' && request.command == kClientAddressQuery) {
    reply.payload.assign(4, 0);
    putAddress(reply.payload, 0, context.clientAddress);
  } else if (request.type == 'Q' && request.command == kInterfaceStatusQuery) {
    if (state.powerOff()) {
      // A printer that is off leaves its network interface to answer, or not.
      if (!state.powerOffStatusF000()) return std::nullopt;
      reply.result = 0xF000;
      return reply;
    }
    const auto status = state.interfaceStatus();
    reply.payload.assign(status.begin(), status.end());
  } else if (request.type == 'Q' && request.command == kOnlineStatusQuery) {
    const auto status = state.onlineStatus();
    reply.payload.assign(status.begin(), status.end());
  } else if (request.type == 'C' && request.command == kInterfaceControl) {
    if (request.payload.empty()) {
      reply.result = 0xF001;  // nothing to apply
    } else {
      reply.payload.push_back(state.applyInterfaceControl(request.payload[0]));
    }
  } else if (request.type == 'C' && request.command == kClearConnectionTimeout) {
    state.clearConnectionTimeout();
  } else if (request.type == 'Q' && request.command == kDiscoveryNameQuery) {
    const std::string name = state.name();
    reply.payload.assign(5, 0);
    reply.payload.insert(reply.payload.end(), name.begin(), name.end());
    reply.payload.push_back(0);
  } else if (request.type == 'Q' && request.command == kDiscoveryMacQuery) {
    const auto mac = state.mac();
    reply.payload.assign(1, 0);
    reply.payload.insert(reply.payload.end(), mac.begin(), mac.end());
    reply.payload.push_back(0);
    reply.payload.push_back(state.dhcp() ? kDiscoveryDhcpFlag : 0);
  } else if (request.type == 'P' && request.command == kMacQuery) {
    // Every printer on the segment sees the query; only the one it names answers.
    const auto mac = state.mac();
    if (request.payload.size() < kMacQueryPayload ||
        !std::equal(mac.begin(), mac.end(), request.payload.begin() + 1)) {
      return std::nullopt;
    }
    reply.payload.assign(kMacReplyPayload, 0);
    reply.payload[0] = 0x01;
    std::copy(mac.begin(), mac.end(), reply.payload.begin() + 1);
    putAddress(reply.payload, 9, context.ownAddress);
  } else {
    return std::nullopt;
  }
  return reply;
}

}  // namespace printer_emulator
