// A TCP link the printer dropped: it is known lost without waiting, even
// behind bytes not read yet, and it opens again in the same record, or stays
// lost while the printer cannot be had.
//
// Addresses (io_test::address): 2456-2459.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <vector>

#include "io/connection_interface.h"
#include "io_test_support.h"
#include "kdpx_reply.h"

using namespace tilo2::core;

namespace {

using namespace std::chrono_literals;

class TcpLink : public ::testing::Test {
 protected:
  void Open(int n) {
    emulator_ = io_test::startEmulator(n);
    ASSERT_NE(emulator_, nullptr);
    ASSERT_EQ(TiloIoOpen(nullptr, &connection_, TILOIO_TYPE_TCP, io_test::address(n).c_str(), 5000),
              0);
    ASSERT_TRUE(emulator_->waitForClient(5s));
  }
  void TearDown() override {
    if (connection_ != nullptr) {
      EXPECT_EQ(TiloIoClose(connection_), 0);
    }
    if (emulator_) emulator_->stop();
  }

  std::unique_ptr<printer_emulator::PrinterEmulator> emulator_;
  TiloIoConnection_t* connection_ = nullptr;
};

TEST_F(TcpLink, ACloseBehindUnreadBytesIsSeenAndTheLinkOpensAgain) {
  Open(2456);
  EXPECT_EQ(TiloIoCheckLink(connection_), 0);
  ASSERT_TRUE(emulator_->sendToClient({{0x37, 0x22, 0x30, 0x30, 0x30, 0x31, 0x00}}));
  emulator_->closeClient();
  ASSERT_TRUE(emulator_->waitForNoClient(5s));
  ASSERT_TRUE(io_test::Eventually([&] { return TiloIoCheckLink(connection_) == 3; }, 5s));
  // What came before the close is still there to read.
  uint8_t buffer[128];
  size_t count = 0;
  ASSERT_EQ(TiloIoRead(connection_, buffer, 1000, &count), 0);
  EXPECT_EQ(count, 7u);

  ASSERT_EQ(TiloIoReconnect(nullptr, connection_, 5000), 0);
  EXPECT_EQ(TiloIoCheckLink(connection_), 0);
  ASSERT_TRUE(emulator_->waitForClient(5s));
  EXPECT_EQ(emulator_->clientsAccepted(), 2);
  const std::vector<uint8_t> text = {'n', 'e', 'w', '\n'};
  size_t written = 0;
  EXPECT_EQ(TiloIoWrite(connection_, text.data(), text.size(), 1000, &written), 0);
  EXPECT_TRUE(emulator_->waitForTcpBytes(text.size(), 5s));
}

TEST_F(TcpLink, ALinkThatCannotBeHadAgainStaysLostAndFailsItsWrites) {
  Open(2457);
  printer_emulator::UdpRule refused;
  refused.result = 0xF000;
  emulator_->setUdpRule('Q', printer_emulator::kClientAddressQuery, refused);
  emulator_->resetClient();
  ASSERT_TRUE(emulator_->waitForNoClient(5s));
  ASSERT_TRUE(io_test::Eventually([&] { return TiloIoCheckLink(connection_) == 3; }, 5s));

  EXPECT_NE(TiloIoReconnect(nullptr, connection_, 2000), 0);
  EXPECT_EQ(TiloIoCheckLink(connection_), 3);
  const uint8_t byte = 0x0A;
  size_t written = 0;
  EXPECT_EQ(TiloIoWrite(connection_, &byte, 1, 1000, &written), 3);
  EXPECT_EQ(emulator_->clientsAccepted(), 1);
}

}  // namespace
