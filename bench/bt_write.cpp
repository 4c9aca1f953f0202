// A 1 MB write through the connection interface to a simulated Bluetooth
// printer whose far end drains the link as fast as it can: the layer's own
// cost, which must stay far above any real radio link.

#include <benchmark/benchmark.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>
#include <vector>

#include "hal_sim.h"
#include "io/connection_interface.h"

using namespace tilo2::core;

namespace {

constexpr const char* kAddress = "00:1A:7D:DA:71:13";

void BM_BluetoothWrite1MB(benchmark::State& state) {
  auto sim = hal::SimBackend::Install();
  hal::SimBluetoothDevice device;
  device.address = kAddress;
  sim->AddBluetoothDevice(device);
  std::atomic<bool> stop{false};
  std::vector<std::thread> drains;
  sim->SetAcceptor(kAddress, [&](OwnedFd peer) {
    drains.emplace_back([&stop, fd = std::move(peer)] {
      std::vector<uint8_t> sink(1 << 16);
      while (!stop) {
        pollfd p{fd.Get(), POLLIN, 0};
        if (::poll(&p, 1, 50) <= 0) continue;
        if (::recv(fd.Get(), sink.data(), sink.size(), 0) <= 0) return;
      }
    });
  });
  TiloIoConnection_t* connection = nullptr;
  if (TiloIoOpen(nullptr, &connection, TILOIO_TYPE_BLUETOOTH, kAddress, 15000) != 0) {
    state.SkipWithError("open failed");
    return;
  }
  const std::vector<uint8_t> data(1 << 20, 0x41);
  for (auto _ : state) {
    size_t written = 0;
    if (TiloIoWrite(connection, data.data(), data.size(), 60000, &written) != 0 ||
        written != data.size()) {
      state.SkipWithError("write failed");
      break;
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                          static_cast<int64_t>(data.size()));
  TiloIoClose(connection);
  stop = true;
  sim->SetAcceptor(kAddress, nullptr);
  for (auto& t : drains) t.join();
  hal::SimBackend::Uninstall();
}
BENCHMARK(BM_BluetoothWrite1MB)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
