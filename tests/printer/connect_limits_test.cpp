// A connect keeps the caller's limit on every path: nothing listening, a
// refused data port, a silent status query, a silent device service; opens of
// different printers run side by side; StartMonitor does not wait for the
// monitor's first cycle.
//
// Addresses (io_test::address): 2310-2320 and 2325.

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "../service/service_emulator_support.h"
#include "device/printer_access.h"
#include "engine/print_handle.h"
#include "io/kdpx.h"
#include "printer_test_support.h"

namespace printer_test {
namespace {

using Clock = std::chrono::steady_clock;

constexpr int32_t kLimitMs = 1000;
// Every connect ends by its limit and half a second.
constexpr auto kBound = std::chrono::milliseconds(kLimitMs + 500);

struct Timed {
  int32_t result;
  std::chrono::milliseconds elapsed;
};

Timed TimedConnect(Printer& printer, const std::string& target, int32_t limit = kLimitMs) {
  const auto start = Clock::now();
  const int32_t result = ResultOf(printer.ConnectAsync(String(target), limit));
  return {result, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)};
}

class ConnectLimits : public PrinterTest {};

TEST_F(ConnectLimits, EveryPathEndsWithinTheLimit) {
  // 2310: nothing listens at all.
  // 2311: the control port answers, the data port refuses.
  auto refusing = [] {
    io_test::claimAddress(2311);
    printer_emulator::Options options;
    options.address = io_test::address(2311);
    options.tcpPort = 9101;  // nobody listens on 9100 there
    auto emulator = std::make_unique<printer_emulator::PrinterEmulator>(options);
    return emulator->start() ? std::move(emulator) : nullptr;
  }();
  ASSERT_NE(refusing, nullptr);
  // 2312: a printer that never answers its interface status query.
  auto silentStatus = io_test::startEmulator(2312);
  ASSERT_NE(silentStatus, nullptr);
  printer_emulator::UdpRule silent;
  silent.silent = true;
  silentStatus->setUdpRule(::tilo2::core::kKdpxQuery, ::tilo2::core::KDPX_INTERFACE_STATUS, silent);
  // 2325: a printer whose data port takes the connection and never answers.
  auto silentData = io_test::startEmulator(2325);
  ASSERT_NE(silentData, nullptr);
  silentData->setTcpMode(printer_emulator::TcpMode::Silent);
  // 2313: a device service that takes the connection and never says a word.
  auto silentService = service_test::startServiceEmulator(2313);
  ASSERT_NE(silentService, nullptr);
  silentService->setAcceptMode(service_emulator::Transport::Plain,
                               service_emulator::AcceptMode::Silent);

  struct Case {
    const char* name;
    std::string target;
    bool mayConnect;  // a printer that is there but slow may still open in time
    int32_t failure;  // the error of a failed connect
  };
  const Case cases[] = {
      {"nothing listening", "TCP:" + io_test::address(2310), false, ErrorStatus::ErrConnect},
      {"refused data port", "TCP:" + io_test::address(2311), false, ErrorStatus::ErrConnect},
      {"silent status query", "TCP:" + io_test::address(2312), true, ErrorStatus::ErrTimeout},
      {"silent data port", "TCP:" + io_test::address(2325), true, ErrorStatus::ErrTimeout},
      {"silent device service", "TCP:" + io_test::address(2313) + "[local_printer]", false,
       ErrorStatus::ErrTimeout},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto printer = NewPrinter();
    const Timed t = TimedConnect(*printer, c.target);
    std::printf("[ connect  ] %s: %lld ms, result %08x\n", c.name,
                static_cast<long long>(t.elapsed.count()), static_cast<unsigned>(t.result));
    EXPECT_LE(t.elapsed, kBound);
    if (!c.mayConnect || t.result != 0) {
      EXPECT_EQ(t.result, c.failure);
    }
    if (t.result == 0) printer->DisconnectAsync().get();
  }
  refusing->stop();
  silentStatus->stop();
  silentData->stop();
  silentService->stop();
}

// A refused data port says all there is to say: no waiting for the limit.
TEST_F(ConnectLimits, ARefusedDataPortFailsAtOnce) {
  io_test::claimAddress(2320);
  printer_emulator::Options options;
  options.address = io_test::address(2320);
  options.tcpPort = 9101;
  printer_emulator::PrinterEmulator emulator(options);
  ASSERT_TRUE(emulator.start());
  auto printer = NewPrinter();
  const Timed t = TimedConnect(*printer, "TCP:" + io_test::address(2320), 10000);
  EXPECT_EQ(t.result, ErrorStatus::ErrConnect);
  EXPECT_LT(t.elapsed, std::chrono::milliseconds(1000));
  emulator.stop();
}

// Five printers, five threads: no open waits for another's.
TEST_F(ConnectLimits, OpensOfDifferentPrintersDoNotWaitForEachOther) {
  constexpr int kFirst = 2314;
  std::array<std::shared_ptr<Printer>, 5> printers;
  for (auto& p : printers) p = NewPrinter();
  std::array<Timed, 5> timed{};
  std::vector<std::thread> threads;
  for (size_t i = 0; i < printers.size(); ++i) {
    io_test::claimAddress(kFirst + static_cast<int>(i));
    threads.emplace_back([&, i] {
      timed[i] =
          TimedConnect(*printers[i], "TCP:" + io_test::address(kFirst + static_cast<int>(i)));
    });
  }
  for (auto& t : threads) t.join();
  for (size_t i = 0; i < timed.size(); ++i) {
    SCOPED_TRACE(i);
    std::printf("[ parallel ] open %zu: %lld ms\n", i,
                static_cast<long long>(timed[i].elapsed.count()));
    EXPECT_EQ(timed[i].result, ErrorStatus::ErrConnect);
    EXPECT_LE(timed[i].elapsed, kBound);
  }
}

// A printer that never answers on its data port opens (marked silent) and its
// monitor checks it again and again, each cycle taking seconds: StartMonitor
// does not wait for that, and the first events come from the monitor's thread.
TEST_F(ConnectLimits, StartMonitorReturnsPromptlyAgainstASilentPrinter) {
  Start(2319);
  emulator_->setTcpMode(printer_emulator::TcpMode::Silent);
  auto printer = NewPrinter();
  recorder_.Attach(*printer);
  const Timed opened = TimedConnect(*printer, target_, 10000);
  std::printf("[ monitor  ] open of a silent printer: %lld ms\n",
              static_cast<long long>(opened.elapsed.count()));
  ASSERT_EQ(opened.result, 0);
  const auto start = Clock::now();
  printer->StartMonitor();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  std::printf("[ monitor  ] StartMonitor: %lld ms\n", static_cast<long long>(took.count()));
  EXPECT_LT(took, std::chrono::milliseconds(500));
  ASSERT_TRUE(Eventually([&] { return !recorder_.Statuses().empty(); }));
  for (const auto& s : recorder_.Statuses()) EXPECT_NE(s.thread, std::this_thread::get_id());
  printer->StopMonitor();
  EXPECT_EQ(ResultOf(printer->DisconnectAsync()), 0);
}

}  // namespace
}  // namespace printer_test
