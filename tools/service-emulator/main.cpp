// service-emulator: one printer's device service on a loopback address, for
// trying the client by hand. Prints every message and HTTP request.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <mutex>
#include <string>

#include "service_emulator.h"

namespace {

void usage(std::FILE* out) {
  std::fprintf(out,
               "usage: service-emulator --address 127.0.0.N [options]\n"
               "  --address A        loopback address to serve on (required)\n"
               "  --http-port N      HTTP port (default 80)\n"
               "  --https-port N     HTTPS port (default 443)\n"
               "  --device ID=TYPE   offer a device (TYPE: type_printer, type_hybrid_printer,\n"
               "                     type_display, type_keyboard, type_scanner,\n"
               "                     type_simple_serial); repeatable; default local_printer\n"
               "  --status N         status word of every device (decimal or 0x hex; default 0x2)\n"
               "  --admin NAME       administrator name of admin_info\n"
               "  --location TEXT    location of admin_info\n"
               "  --quiet            print nothing but errors\n"
               "TCP 8009 and TLS 8143 are fixed.\n");
}

bool parsePort(const char* text, uint16_t* port) {
  char* end = nullptr;
  const long v = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || v < 0 || v > 65535) return false;
  *port = static_cast<uint16_t>(v);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  service_emulator::Options options;
  options.address.clear();
  options.httpPort = 80;
  options.httpsPort = 443;
  options.keepNoLog = true;
  std::vector<std::pair<std::string, std::string>> devices;
  std::string admin, location;
  bool haveAdmin = false, haveLocation = false, quiet = false;
  uint32_t status = 0x2;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", name);
        std::exit(2);
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      usage(stdout);
      return 0;
    } else if (arg == "--address") {
      options.address = value("--address");
    } else if (arg == "--http-port") {
      if (!parsePort(value("--http-port"), &options.httpPort)) return 2;
    } else if (arg == "--https-port") {
      if (!parsePort(value("--https-port"), &options.httpsPort)) return 2;
    } else if (arg == "--device") {
      const std::string d = value("--device");
      const size_t eq = d.find('=');
      if (eq == std::string::npos || eq == 0) {
        std::fprintf(stderr, "--device wants ID=TYPE\n");
        return 2;
      }
      devices.emplace_back(d.substr(0, eq), d.substr(eq + 1));
    } else if (arg == "--status") {
      status = static_cast<uint32_t>(std::strtoul(value("--status"), nullptr, 0));
    } else if (arg == "--admin") {
      admin = value("--admin");
      haveAdmin = true;
    } else if (arg == "--location") {
      location = value("--location");
      haveLocation = true;
    } else if (arg == "--quiet") {
      quiet = true;
    } else {
      std::fprintf(stderr, "unknown option %s\n", arg.c_str());
      usage(stderr);
      return 2;
    }
  }
  if (options.address.empty()) {
    usage(stderr);
    return 2;
  }
  static std::mutex printMutex;
  if (!quiet) {
    options.trace = [](const std::string& line) {
      std::lock_guard lock(printMutex);
      std::cout << line << std::endl;
    };
  }
  // SIGINT and SIGTERM end the program; they are taken by sigwait below.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  service_emulator::ServiceEmulator emulator(options);
  if (!devices.empty()) emulator.removeDevice("local_printer");
  for (const auto& [id, type] : devices) {
    service_emulator::Device d;
    d.type = type;
    d.status = status;
    emulator.setDevice(id, d);
  }
  if (devices.empty()) {
    service_emulator::Device d;
    d.status = status;
    emulator.setDevice("local_printer", d);
  }
  if (haveAdmin || haveLocation) emulator.setAdmin(admin, location);
  std::string error;
  if (!emulator.start(&error)) {
    std::fprintf(stderr, "service-emulator: %s\n", error.c_str());
    return 1;
  }
  if (!quiet) {
    std::lock_guard lock(printMutex);
    std::cout << "serving on " << options.address << ": TCP 8009, TLS 8143, HTTP "
              << emulator.httpPort() << ", HTTPS " << emulator.httpsPort() << std::endl;
  }
  int signal = 0;
  sigwait(&signals, &signal);
  emulator.stop();
  return 0;
}
