// Linked into every test binary: before any test runs, discovery queries for
// an address outside 127/8 (the default 255.255.255.255 included) are turned
// to a loopback address where nobody listens, and so is the MAC-address
// broadcast, so a test that forgets its own destinations still sends nothing
// off the machine. 127.0.0.120 is the io tests' broadcast sink, kept free of
// listeners.

#include <cstdio>
#include <cstdlib>

#include "io/test_hooks.h"

namespace {

const bool kGuardInstalled = [] {
  if (tilo2::core::TiloIoInstallLoopbackGuard("127.0.0.120") != 0) {
    std::fputs("loopback guard: cannot be installed\n", stderr);
    std::abort();
  }
  tilo2::core::TiloIoKdpxSetBroadcastDestination("127.0.0.120");
  return true;
}();

}  // namespace
