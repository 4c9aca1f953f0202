// The emulator's fault controls that the printer classes' tests stand on:
// error status bytes that the engine reads the same way from either of its
// two sources, job ends kept back and released, and a connection that ends
// just as a send begins. Addresses 580-599.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/status_word.h"
#include "io_test_support.h"
#include "printer_model.h"

namespace {

using namespace std::chrono_literals;
using printer_emulator::Disconnect;
using printer_emulator::DisconnectPoint;
using printer_emulator::Faults;
using printer_emulator::PrinterModel;
using Bytes = std::vector<uint8_t>;

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A job as the engine frames it: init, ASB on, a line of text, the trailer's
// job-end request.
Bytes job(const std::string& id) {
  Bytes out{0x1B, 0x3D, 0x01, 0x1B, 0x40, 0x1D, 0x61, 0xFF};
  const std::string line = "receipt " + id + "\n";
  out.insert(out.end(), line.begin(), line.end());
  out.insert(out.end(), {0x1D, 0x28, 0x48, 0x06, 0x00, 0x30, 0x30});
  out.insert(out.end(), id.begin(), id.end());
  return out;
}

Bytes jobEnd(const std::string& id) { return cat({{'7', 0x22}, Bytes(id.begin(), id.end()), {0}}); }

const Bytes kRealtime1{0x10, 0x04, 0x01};                                              // DLE EOT 1
const Bytes kClearBuffer{0x10, 0x14, 0x08, 0x01, 0x03, 0x14, 0x01, 0x06, 0x02, 0x08};  // DLE DC4 8

TEST(PrinterTestPeers, ErrorFaultsSetTheBitsTheEngineReadsFromEitherSource) {
  struct Case {
    const char* name;
    void (*set)(Faults&);
    std::array<uint8_t, 4> asb;
    std::array<uint8_t, 4> realtime;  // DLE EOT 1..4
  };
  const Case cases[] = {
      {"cover open",
       [](Faults& f) { f.coverOpen = true; },
       {0x38, 0, 0, 0},
       {0x1A, 0x16, 0x12, 0x12}},
      {"paper end",
       [](Faults& f) { f.paperEnd = true; },
       {0x18, 0, 0x04, 0},
       {0x1A, 0x32, 0x12, 0x72}},
      {"mechanical error",
       [](Faults& f) { f.mechanicalError = true; },
       {0x18, 0x04, 0, 0},
       {0x1A, 0x52, 0x16, 0x12}},
      {"autocutter error",
       [](Faults& f) { f.autocutterError = true; },
       {0x18, 0x08, 0, 0},
       {0x1A, 0x52, 0x1A, 0x12}},
      {"unrecoverable error",
       [](Faults& f) { f.unrecoverableError = true; },
       {0x18, 0x20, 0, 0},
       {0x1A, 0x52, 0x32, 0x12}},
      {"auto-recoverable error",
       [](Faults& f) { f.autoRecoverable = true; },
       {0x18, 0x40, 0, 0},
       {0x1A, 0x52, 0x52, 0x12}},
      {"cover open with an unrecoverable error",
       [](Faults& f) { f.coverOpen = f.unrecoverableError = true; },
       {0x38, 0x20, 0, 0},
       {0x1A, 0x56, 0x32, 0x12}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PrinterModel m;
    Faults f;
    c.set(f);
    m.setFaults(f);
    EXPECT_EQ(m.asb(), c.asb);
    uint8_t rt[4];
    for (int n = 1; n <= 4; ++n) {
      const Bytes query{0x10, 0x04, static_cast<uint8_t>(n)};
      const Bytes r = m.receive(query);
      ASSERT_EQ(r.size(), 1u);
      EXPECT_EQ(r[0], c.realtime[n - 1]) << "DLE EOT " << n;
      rt[n - 1] = r[0];
    }
    // The status the engine builds from the four real-time answers is the ASB
    // (its fourth byte is the engine's own filler).
    const uint8_t none[4] = {0xFF, 0, 0, 0};
    uint8_t built[4];
    tilo2::core::RealtimeStatusBytes(rt, 4, none, built);
    for (int i = 0; i < 3; ++i) EXPECT_EQ(built[i], c.asb[i]) << "byte " << i;
    // Every error leaves the printer offline with a reason the engine looks into.
    EXPECT_TRUE(tilo2::core::IsOfflineWithReason(c.asb.data()));
  }
}

// A plain client on the emulator's data port.
class Client {
 public:
  explicit Client(int n) : fd_(io_test::connectDataPort(io_test::address(n))) {}
  ~Client() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  void send(const Bytes& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(bytes.size()));
  }
  // Reads until the bytes received so far end with `tail`; all of them, or
  // what came before the deadline.
  Bytes readUntil(const Bytes& tail) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (!(got_.size() >= tail.size() &&
             std::equal(tail.begin(), tail.end(), got_.end() - tail.size()))) {
      if (std::chrono::steady_clock::now() > deadline || !readSome()) break;
    }
    return std::exchange(got_, {});
  }
  // 0 once the printer closed (FIN), -1 with errno after a reset, 1 for data.
  int waitForEnd() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return 1;
    uint8_t b[64];
    const ssize_t k = ::recv(fd_, b, sizeof b, 0);
    return k > 0 ? 1 : static_cast<int>(k);
  }

 private:
  bool readSome() {
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 200) < 0) return false;
    if (!(p.revents & POLLIN)) return true;
    uint8_t b[256];
    const ssize_t k = ::recv(fd_, b, sizeof b, 0);
    if (k <= 0) return false;
    got_.insert(got_.end(), b, b + k);
    return true;
  }
  int fd_;
  Bytes got_;
};

TEST(PrinterTestPeers, WithheldJobEndsWaitWhileQueriesAreAnsweredAndComeOutInOrder) {
  const int n = 580;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  emu->setJobEndsWithheld(true);
  Client client(n);
  ASSERT_TRUE(client.ok());
  client.send(cat({job("0001"), job("0002")}));
  ASSERT_TRUE(emu->waitForWithheldJobEnds(2, 10s));
  // A query sent after both jobs is answered, and nothing came before it but
  // the ASB that each job's GS a asked for.
  client.send(kRealtime1);
  EXPECT_EQ(client.readUntil({0x12}), (Bytes{0x10, 0, 0, 0, 0x10, 0, 0, 0, 0x12}));

  emu->setJobEndsWithheld(false);
  EXPECT_EQ(client.readUntil(jobEnd("0002")), cat({jobEnd("0001"), jobEnd("0002")}));
  EXPECT_EQ(emu->state().jobEndsWithheld(), 0u);
}

TEST(PrinterTestPeers, ClearBufferDropsWithheldJobEnds) {
  const int n = 581;
  auto emu = io_test::startEmulator(n);
  ASSERT_TRUE(emu);
  emu->setJobEndsWithheld(true);
  Client client(n);
  ASSERT_TRUE(client.ok());
  client.send(job("0001"));
  ASSERT_TRUE(emu->waitForWithheldJobEnds(1, 10s));
  EXPECT_EQ(client.readUntil({0x10, 0, 0, 0}), (Bytes{0x10, 0, 0, 0}));
  // The recovery after a lost job end clears the buffer: the kept end is gone,
  // and the next job's end is the first to come once released.
  client.send(kClearBuffer);
  EXPECT_EQ(client.readUntil({'7', '%', 0}), (Bytes{'7', '%', 0}));
  EXPECT_EQ(emu->state().jobEndsWithheld(), 0u);
  emu->setJobEndsWithheld(false);
  client.send(job("0002"));
  EXPECT_EQ(client.readUntil(jobEnd("0002")), cat({{0x10, 0, 0, 0}, jobEnd("0002")}));
}

TEST(PrinterTestPeers, ConnectionEndsAsTheNextSendBeginsBeforeThePrinterTakesIt) {
  struct Case {
    const char* name;
    bool reset;
    int n;
  };
  for (const Case c : {Case{"FIN", false, 582}, Case{"RST", true, 583}}) {
    SCOPED_TRACE(c.name);
    auto emu = io_test::startEmulator(c.n);
    ASSERT_TRUE(emu);
    Client client(c.n);
    ASSERT_TRUE(client.ok());
    // The connection works until the cut is scheduled, and after it until bytes come.
    client.send(kRealtime1);
    EXPECT_EQ(client.readUntil({0x12}), Bytes{0x12});
    Disconnect cut;
    cut.point = DisconnectPoint::BeforeNextBytes;
    cut.reset = c.reset;
    emu->scheduleDisconnect(cut);
    EXPECT_TRUE(emu->clientConnected());
    const uint64_t before = emu->state().dataBytesReceived();

    client.send(job("0001"));
    const int end = client.waitForEnd();
    if (c.reset) {
      EXPECT_EQ(end, -1);
      EXPECT_EQ(errno, ECONNRESET);
    } else {
      EXPECT_EQ(end, 0);
    }
    ASSERT_TRUE(emu->waitForNoClient(10s));
    EXPECT_EQ(emu->state().dataBytesReceived(), before);  // not a byte of the job printed
    EXPECT_EQ(emu->commandCounts().count("GS ( H"), 0u);

    // The cut is taken once: the next client prints normally.
    Client again(c.n);
    ASSERT_TRUE(again.ok());
    again.send(job("0002"));
    EXPECT_EQ(again.readUntil(jobEnd("0002")), cat({{0x10, 0, 0, 0}, jobEnd("0002")}));
  }
}

}  // namespace
