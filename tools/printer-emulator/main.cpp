// Runs one emulated network printer until interrupted, printing what arrives.
//   printer-emulator --address 127.0.0.N [--mac 02:1A:7C:10:20:30]
//                    [--status B0B1B2B3] [--offline] [--silent]

#include <arpa/inet.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "printer_emulator.h"

namespace {

std::atomic<bool> g_stop{false};

void onSignal(int) { g_stop = true; }

int usage() {
  std::fprintf(stderr,
               "usage: printer-emulator --address 127.0.0.N [--mac XX:XX:XX:XX:XX:XX]\n"
               "                        [--status B0B1B2B3] [--offline] [--silent]\n"
               "Ports: TCP 9100 (data), UDP 3289 (control). Loopback addresses only.\n");
  return 2;
}

bool parseMac(const char* text, printer_emulator::PrinterState::Mac& mac) {
  unsigned v[6];
  if (std::strlen(text) != 17 ||
      std::sscanf(text, "%2x:%2x:%2x:%2x:%2x:%2x", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5]) != 6) {
    return false;
  }
  for (int i = 0; i < 6; ++i) mac[i] = static_cast<uint8_t>(v[i]);
  return true;
}

bool parseStatus(const char* text, std::array<uint8_t, 4>& status) {
  unsigned v[4];
  if (std::strlen(text) != 8 || std::sscanf(text, "%2x%2x%2x%2x", &v[0], &v[1], &v[2], &v[3]) != 4)
    return false;
  for (int i = 0; i < 4; ++i) status[i] = static_cast<uint8_t>(v[i]);
  return true;
}

void print(const printer_emulator::Arrival& a) {
  char peer[INET_ADDRSTRLEN] = {};
  in_addr addr{};
  addr.s_addr = a.peerAddress;
  inet_ntop(AF_INET, &addr, peer, sizeof peer);
  std::printf("%s %s:%u %zu bytes:", a.channel == printer_emulator::Channel::Udp ? "UDP" : "TCP",
              peer, a.peerPort, a.bytes.size());
  const size_t shown = std::min<size_t>(a.bytes.size(), 64);
  for (size_t i = 0; i < shown; ++i) std::printf(" %02X", a.bytes[i]);
  std::printf(a.bytes.size() > shown ? " ...\n" : "\n");
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  printer_emulator::Options options;
  options.address.clear();
  printer_emulator::PrinterState::Mac mac{};
  std::array<uint8_t, 4> status{};
  bool haveMac = false, haveStatus = false, offline = false, silent = false;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--address" && hasValue) {
      options.address = argv[++i];
    } else if (arg == "--mac" && hasValue) {
      if (!parseMac(argv[++i], mac)) return usage();
      haveMac = true;
    } else if (arg == "--status" && hasValue) {
      if (!parseStatus(argv[++i], status)) return usage();
      haveStatus = true;
    } else if (arg == "--offline") {
      offline = true;
    } else if (arg == "--silent") {
      silent = true;
    } else {
      return usage();
    }
  }
  if (options.address.empty()) return usage();

  printer_emulator::PrinterEmulator emulator(options);
  if (haveMac) emulator.state().setMac(mac);
  if (haveStatus) emulator.state().setAutomaticStatus(status);
  emulator.state().setOffline(offline);
  if (silent) emulator.setTcpMode(printer_emulator::TcpMode::Silent);

  std::string error;
  if (!emulator.start(&error)) {
    std::fprintf(stderr, "printer-emulator: %s\n", error.c_str());
    return 1;
  }
  std::signal(SIGINT, onSignal);
  std::signal(SIGTERM, onSignal);
  std::printf("printer-emulator on %s: TCP %u, UDP %u\n", options.address.c_str(), options.tcpPort,
              options.udpPort);
  std::fflush(stdout);

  size_t shown = 0;
  while (!g_stop) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto log = emulator.arrivals();
    for (; shown < log.size(); ++shown) print(log[shown]);
  }
  emulator.stop();
  return 0;
}
